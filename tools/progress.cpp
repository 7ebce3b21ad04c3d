// tools/progress.cpp -- drawing of the progress bar.
#include "tools/progress.h"

#include <algorithm>
#include <cstdio>

#include "tools/tool_files.h"

namespace kelvane::pack {

ProgressBar::ProgressBar(std::string label, uint64_t total)
    : enabled_(total > kThreshold && StderrIsTerminal()), label_(std::move(label)), total_(total) {
  Draw();
}

void ProgressBar::Advance(uint64_t count) {
  if (!enabled_) return;
  done_ += count;
  Draw();
}

void ProgressBar::Finish() {
  if (!enabled_) return;
  enabled_ = false;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
}

void ProgressBar::Draw() {
  if (!enabled_) return;
  // Sizes read during the work may exceed the total counted before it.
  const int percent = static_cast<int>(std::min<uint64_t>(done_, total_) * 100 / total_);
  if (percent == drawn_percent_) return;  // redraw only when the figure changes
  drawn_percent_ = percent;
  constexpr int kWidth = 40;
  char bar[kWidth + 1];
  const int filled = percent * kWidth / 100;
  for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '.';
  bar[kWidth] = '\0';
  std::fprintf(stderr, "\r%s [%s] %3d%% of %.1f MiB", label_.c_str(), bar, percent,
               static_cast<double>(total_) / (1024.0 * 1024.0));
  std::fflush(stderr);
}

}  // namespace kelvane::pack
