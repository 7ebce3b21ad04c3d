// tools/tool_files_win.cpp -- file times, error texts, truncation, the terminal test, wildcard
// matching and the pending output file on Windows. Descriptors are C runtime descriptors over
// Win32 handles, as platform/file_io_win.cpp hands them out.
#include "tools/tool_files.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "tools/glob_match.h"

namespace kelvane::pack {
namespace {

uint64_t FromFileTime(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

}  // namespace

std::string LastErrorText() {
  const DWORD code = ::GetLastError();
  // A failed C runtime call (_close and the like) sets errno and leaves the Win32 error alone.
  if (code == ERROR_SUCCESS) return std::strerror(errno);
  char* text = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = length > 0 ? std::string(text, length) : "error " + std::to_string(code);
  if (text != nullptr) ::LocalFree(text);
  // The system's texts end in ".\r\n"; the messages around them bring their own punctuation.
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                             result.back() == ' ' || result.back() == '.')) {
    result.pop_back();
  }
  return result;
}

bool TruncateFile(int fd, uint64_t length) {
  if (length > static_cast<uint64_t>(INT64_MAX)) {
    ::SetLastError(ERROR_FILE_TOO_LARGE);
    return false;
  }
  // SetEndOfFile cuts at the file pointer; the caller's offset is put back afterwards, as
  // ftruncate leaves it on Linux.
  const HANDLE handle = HandleOf(fd);
  LARGE_INTEGER zero{};
  LARGE_INTEGER was{};
  if (!::SetFilePointerEx(handle, zero, &was, FILE_CURRENT)) return false;
  LARGE_INTEGER to{};
  to.QuadPart = static_cast<LONGLONG>(length);
  const bool ok = ::SetFilePointerEx(handle, to, nullptr, FILE_BEGIN) && ::SetEndOfFile(handle);
  const DWORD error = ::GetLastError();
  ::SetFilePointerEx(handle, was, nullptr, FILE_BEGIN);
  ::SetLastError(error);
  return ok;
}

std::optional<FileTimes> ReadFileTimes(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  FileTimes times;
  times.creation = FromFileTime(data.ftCreationTime);
  times.last_access = FromFileTime(data.ftLastAccessTime);
  times.last_write = FromFileTime(data.ftLastWriteTime);
  return times;
}

bool UtcTime(std::time_t moment, std::tm* parts) { return ::gmtime_s(parts, &moment) == 0; }

uint64_t FileTimeNow() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  return FromFileTime(now);
}

bool StderrIsTerminal() { return ::_isatty(2) != 0; }

bool WildcardMatch(const std::string& pattern, const std::string& text, bool slash_separates) {
  return GlobMatch(pattern, text, slash_separates);
}

PendingOutput::~PendingOutput() {
  file_.Reset();
  if (!temp_path_.empty()) ::DeleteFileA(temp_path_.c_str());
}

bool PendingOutput::Create(const std::string& output, std::string* error) {
  const std::filesystem::path out(output);
  const std::string stem =
      (out.parent_path() / ('.' + out.filename().string() + '.')).string();
  // CREATE_NEW fails on a name that exists, so a few names are tried; the process id and the
  // tick count keep two builds into one folder apart.
  const unsigned long seed = ::GetCurrentProcessId() * 2654435761u ^ ::GetTickCount();
  for (unsigned attempt = 0; attempt < 16; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08lx", (seed + attempt * 40503u) & 0xFFFFFFFFu);
    const std::string name = stem + suffix;
    // Others may read the file while it is written (the check of the written package opens
    // it again); FILE_WRITE_ATTRIBUTES lets the writer set its times.
    const HANDLE handle = ::CreateFileA(
        name.c_str(), GENERIC_READ | GENERIC_WRITE | FILE_WRITE_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      if (::GetLastError() == ERROR_FILE_EXISTS) continue;
      break;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (fd < 0) {
      ::CloseHandle(handle);
      ::DeleteFileA(name.c_str());
      break;
    }
    file_.Reset(fd);
    output_ = output;
    temp_path_ = name;
    return true;
  }
  *error = "cannot create a temporary file beside " + output + ": " + LastErrorText();
  return false;
}

bool PendingOutput::Commit(std::string* error) {
  bool ok = ::FlushFileBuffers(HandleOf(file_.get())) != 0;
  const DWORD flush_error = ::GetLastError();
  const bool closed = ::_close(file_.Release()) == 0;
  if (!ok) {
    ::SetLastError(flush_error);
  } else if (!closed) {
    ok = false;
    ::SetLastError(ERROR_SUCCESS);  // LastErrorText then reports errno from _close
  }
  ok = ok && ::MoveFileExA(temp_path_.c_str(), output_.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  if (!ok) {
    *error = "cannot write " + output_ + ": " + LastErrorText();
    ::DeleteFileA(temp_path_.c_str());
    temp_path_.clear();
    return false;
  }
  temp_path_.clear();
  return true;
}

}  // namespace kelvane::pack
