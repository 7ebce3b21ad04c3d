// logview/dated_log_file.h -- the log file whose name carries the day's date: one file per local
// day, each line written as CR LF followed by the line and flushed at once.
//
// Not thread-safe: LogView calls it under its own lock.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace kelvane::logview {

// A local calendar date; zero fields mean "none".
struct LocalDate {
  int day = 0;    // 1..31
  int month = 0;  // 1..12
  int year = 0;   // four digits
  friend bool operator==(const LocalDate&, const LocalDate&) = default;
};

// Today's date in the local time zone of the process.
LocalDate TodayLocal();

class DatedLogFile {
 public:
  static constexpr size_t kMaxNameLength = 255;

  DatedLogFile() = default;
  ~DatedLogFile() { Close(); }
  DatedLogFile(const DatedLogFile&) = delete;
  DatedLogFile& operator=(const DatedLogFile&) = delete;

  // Takes a copy of |name| as the base name: 0, or 1 (the old name stays) when it has fewer
  // than 1 or more than 255 characters.
  int SetName(std::string_view name);
  bool has_name() const { return !name_.empty(); }

  // Closes the open file, remembers |today| as the file's date and opens the dated name for
  // appending. Returns false when a name is set and its file did not open: no file is open
  // then, attempted() and open_error() tell which and why, and the next attempt comes with the
  // next change of date. True otherwise (also without a name, when nothing is tried).
  bool Open(const LocalDate& today);

  // Opens the next day's file first when |today| differs from the file's date, then writes a
  // line break and |text| and flushes. Nothing is written while no file is open. Returns false
  // only when this call tried to open the day's file and could not.
  bool Write(std::string_view text, const LocalDate& today);

  void Close();

  // The dated name of the open file; empty while none is open.
  const std::string& path() const { return path_; }
  const LocalDate& date() const { return date_; }
  // The dated name of the last open attempt, and the system's error number when it failed
  // (0 after a success).
  const std::string& attempted() const { return attempted_; }
  int open_error() const { return open_error_; }

  // |base| with the stamp DDMMYYYY inserted before the first '.' of its file name (the part
  // after the last '/' or '\'; dots in folder names do not count), or appended when the file
  // name has none.
  static std::string DatedName(std::string_view base, const LocalDate& date);

 private:
  std::string name_;
  std::string path_;
  std::string attempted_;
  int open_error_ = 0;
  LocalDate date_;
  std::FILE* file_ = nullptr;
};

}  // namespace kelvane::logview
