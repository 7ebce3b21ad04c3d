// logview/log_sink.h -- where services send their activity log lines.
//
// The FTP service writes through this interface so that it never depends on who shows or keeps
// the lines; LogView implements it. AddLine may be called from any thread at any time.
#pragma once

#include <string_view>

namespace kelvane::logview {

class LogSink {
 public:
  virtual ~LogSink() = default;
  // Adds one line (no line end, no time stamp); with |copy_to_file| it also goes to the log
  // file when file copying is on. Returns 0.
  virtual int AddLine(std::string_view text, bool copy_to_file) = 0;
};

}  // namespace kelvane::logview
