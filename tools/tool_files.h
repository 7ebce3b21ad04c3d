// tools/tool_files.h -- the few system services kelvane-pack needs beyond platform/file_io.h:
// file times as FILETIMEs, UTC dates, the text of the last system error, truncation, a terminal
// test for stderr, wildcard matching, and an output file that appears only once it is complete.
// tool_files_linux.cpp and tool_files_win.cpp are the only files of tools/ that call the system
// themselves.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "platform/unique_fd.h"

namespace kelvane::pack {

struct FileTimes {
  uint64_t creation = 0;     // FILETIME; the birth time where the file system keeps one,
  uint64_t last_access = 0;  // else the last write time
  uint64_t last_write = 0;
};

// The times of |path| (on Linux symbolic links followed; on Windows a link's own), or nullopt when it cannot be examined
// (LastErrorText() then tells why).
std::optional<FileTimes> ReadFileTimes(const std::string& path);

// The system's text for the error of the last failed call on this thread ("Permission
// denied"). Call it before anything else that may fail.
std::string LastErrorText();

// Cuts or extends the open file to |length| bytes; false when the system refuses.
bool TruncateFile(int fd, uint64_t length);

// Fills |*parts| with |moment| in UTC; false when the system cannot convert it (on Windows,
// times before 1970 or after 3000).
bool UtcTime(std::time_t moment, std::tm* parts);

// The current time as a FILETIME.
uint64_t FileTimeNow();

// Whether stderr is a terminal.
bool StderrIsTerminal();

// Whether |text| matches the shell wildcard |pattern| as fnmatch matches it; with
// |slash_separates| no wildcard matches '/'.
bool WildcardMatch(const std::string& pattern, const std::string& text, bool slash_separates);

// A temporary file beside |output| that becomes |output| on Commit; until then no file named
// |output| is created or changed, and the destructor removes the temporary file.
class PendingOutput {
 public:
  PendingOutput() = default;
  ~PendingOutput();
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;

  // Creates the temporary file. False, with |*error| set, when it cannot be created.
  bool Create(const std::string& output, std::string* error);

  int fd() const { return file_.get(); }

  // Flushes and closes the file, gives it mode 0755 less the umask (on Linux; Windows has no
  // mode bits) and renames it to the output, replacing a file of that name. False, with |*error| set and the temporary file removed, on any failure.
  bool Commit(std::string* error);

 private:
  platform::UniqueFd file_;
  std::string output_;
  std::string temp_path_;  // empty once committed or removed
};

}  // namespace kelvane::pack
