// tools/tool_files_linux.cpp -- file times, error texts, truncation, the terminal test, wildcard
// matching and the pending output file on Linux.
#include "tools/tool_files.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "archive/archive_format.h"

namespace kelvane::pack {
namespace {

// Computed in FILETIME ticks, which cover far more years than int64 nanoseconds do; times
// before 1601 become 0 and times past the year 30000 or so are clamped.
uint64_t ToFileTime(int64_t seconds, int64_t nanoseconds) {
  constexpr int64_t kEpochSeconds = archive::kFileTimeUnixEpoch / 10000000;
  constexpr int64_t kMaxSeconds = INT64_MAX / 10000000 - kEpochSeconds - 1;
  if (seconds < -kEpochSeconds) return 0;
  if (seconds > kMaxSeconds) seconds = kMaxSeconds;
  return static_cast<uint64_t>((seconds + kEpochSeconds) * 10000000 + nanoseconds / 100);
}

}  // namespace

std::string LastErrorText() { return std::strerror(errno); }

bool TruncateFile(int fd, uint64_t length) {
  if (length > static_cast<uint64_t>(INT64_MAX)) {
    errno = EFBIG;
    return false;
  }
  int result;
  do {
    result = ::ftruncate(fd, static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

std::optional<FileTimes> ReadFileTimes(const std::string& path) {
  struct statx stx {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &stx) == 0) {
    FileTimes times;
    times.last_access = ToFileTime(stx.stx_atime.tv_sec, stx.stx_atime.tv_nsec);
    times.last_write = ToFileTime(stx.stx_mtime.tv_sec, stx.stx_mtime.tv_nsec);
    times.creation = (stx.stx_mask & STATX_BTIME) != 0
                         ? ToFileTime(stx.stx_btime.tv_sec, stx.stx_btime.tv_nsec)
                         : times.last_write;
    return times;
  }
  if (errno != ENOSYS) return std::nullopt;
  // Kernels before 4.11 have no statx.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  FileTimes times;
  times.last_access = ToFileTime(st.st_atim.tv_sec, st.st_atim.tv_nsec);
  times.last_write = ToFileTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  times.creation = times.last_write;
  return times;
}

bool UtcTime(std::time_t moment, std::tm* parts) { return ::gmtime_r(&moment, parts) != nullptr; }

uint64_t FileTimeNow() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return archive::UnixNanosToFileTime(
      std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count());
}

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

bool WildcardMatch(const std::string& pattern, const std::string& text, bool slash_separates) {
  return ::fnmatch(pattern.c_str(), text.c_str(), slash_separates ? FNM_PATHNAME : 0) == 0;
}

PendingOutput::~PendingOutput() {
  file_.Reset();
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
}

bool PendingOutput::Create(const std::string& output, std::string* error) {
  const std::filesystem::path out(output);
  const std::string pattern =
      (out.parent_path() / ('.' + out.filename().string() + ".XXXXXX")).string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot create a temporary file beside " + output + ": " + LastErrorText();
    return false;
  }
  file_.Reset(fd);
  output_ = output;
  temp_path_ = name.data();
  return true;
}

bool PendingOutput::Commit(std::string* error) {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  bool ok = ::fchmod(file_.get(), 0755 & ~mask) == 0;
  // close() reports write-back errors some file systems defer until then.
  ok = ok && ::close(file_.Release()) == 0;
  ok = ok && ::rename(temp_path_.c_str(), output_.c_str()) == 0;
  if (!ok) {
    *error = "cannot write " + output_ + ": " + LastErrorText();
    return false;
  }
  temp_path_.clear();
  return true;
}

}  // namespace kelvane::pack
