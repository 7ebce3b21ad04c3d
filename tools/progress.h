// tools/progress.h -- a one-line progress bar on stderr for long runs of kelvane-pack.
// Drawn only when stderr is a terminal and the work is large; otherwise every call does
// nothing, so scripts and logs never see it.
#pragma once

#include <cstdint>
#include <string>

namespace kelvane::pack {

class ProgressBar {
 public:
  // Work at or below this many bytes finishes too quickly to need a bar.
  static constexpr uint64_t kThreshold = 16 * 1024 * 1024;

  ProgressBar(std::string label, uint64_t total);
  ~ProgressBar() { Finish(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void Advance(uint64_t count);
  // Clears the bar's line so that later messages start on a clean line.
  void Finish();

 private:
  void Draw();

  bool enabled_;
  std::string label_;
  uint64_t total_;
  uint64_t done_ = 0;
  int drawn_percent_ = -1;
};

}  // namespace kelvane::pack
