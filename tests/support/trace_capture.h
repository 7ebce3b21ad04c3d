// support/trace_capture.h -- captures what the process-wide trace writes during a test.
//
// The trace is global: only one TraceCapture may live at a time, and tests that use it must not
// run tracing threads beyond its lifetime.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "support/fixture_package.h"

namespace kelvane::test {

class TraceCapture {
 public:
  // Closes any trace file already open (ARC2, an earlier test) and opens a fresh temporary one.
  TraceCapture();
  // Closes the trace file.
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  bool ok() const { return ok_; }
  // Closes the trace file and returns everything written to it, byte for byte.
  std::string Finish();
  // Finish, then TraceMessages.
  std::vector<std::string> FinishMessages();

 private:
  TempDir dir_;
  std::string file_;
  bool ok_ = false;
};

// The messages of a trace text: each CR LF line without its "<source>(<line>): " prefix.
std::vector<std::string> TraceMessages(std::string_view text);

// How many of |messages| equal |message|.
int CountMessage(const std::vector<std::string>& messages, std::string_view message);

}  // namespace kelvane::test
