// support/trace_capture.cpp -- the trace capture helper.
#include "support/trace_capture.h"

#include <algorithm>

#include "trace/trace.h"

namespace kelvane::test {

TraceCapture::TraceCapture() {
  trace::TraceClose();
  if (dir_.path().empty()) return;
  file_ = dir_.File("trace.log");
  ok_ = trace::TraceOpenFile(file_.c_str());
}

TraceCapture::~TraceCapture() { trace::TraceClose(); }

std::string TraceCapture::Finish() {
  trace::TraceClose();
  if (!ok_) return {};
  return ReadWholeFile(file_).value_or(std::string());
}

std::vector<std::string> TraceCapture::FinishMessages() { return TraceMessages(Finish()); }

std::vector<std::string> TraceMessages(std::string_view text) {
  std::vector<std::string> messages;
  while (!text.empty()) {
    const size_t end = text.find("\r\n");
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 2);
    // The prefix is "<source>(<digits>): "; a line without one is kept whole.
    const size_t close = line.find("): ");
    const size_t open = line.rfind('(', close);
    if (close != std::string_view::npos && open != std::string_view::npos && open + 1 < close &&
        std::all_of(line.begin() + open + 1, line.begin() + close,
                    [](char c) { return c >= '0' && c <= '9'; })) {
      line.remove_prefix(close + 3);
    }
    messages.emplace_back(line);
  }
  return messages;
}

int CountMessage(const std::vector<std::string>& messages, std::string_view message) {
  return static_cast<int>(std::count(messages.begin(), messages.end(), message));
}

}  // namespace kelvane::test
