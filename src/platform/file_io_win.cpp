// platform/file_io_win.cpp -- the Windows twin of the file services. Files are opened with
// CreateFileA and handed out as C runtime descriptors (_open_osfhandle), so that the core keeps
// one descriptor type on both platforms; every read and write goes to the Win32 handle.
#include "platform/file_io.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>

namespace kelvane::platform {
namespace {

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

// The largest piece one ReadFile or WriteFile call moves (they take a 32-bit count).
constexpr size_t kPiece = 1u << 30;

// 100-nanosecond ticks from 1601-01-01 to 1970-01-01.
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;

FILETIME FileTimeFromUnixNanos(int64_t ns) {
  const int64_t ticks = kUnixEpochTicks + ns / 100;
  const auto value = static_cast<uint64_t>(std::max<int64_t>(ticks, 0));
  FILETIME time{};
  time.dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(value >> 32);
  return time;
}

UniqueFd Adopt(HANDLE handle, int flags) {
  if (handle == INVALID_HANDLE_VALUE) return UniqueFd();
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
  if (fd < 0) {
    ::CloseHandle(handle);
    return UniqueFd();
  }
  return UniqueFd(fd);
}

}  // namespace

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::_close(fd_);  // closes the Win32 handle too
  fd_ = fd;
}

UniqueFd OpenReadOnly(const std::string& path) {
  // Others may read, write and rename the file meanwhile: several servers and kelvane-pack may
  // have one package open at once, as on Linux.
  const HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return Adopt(handle, _O_RDONLY | _O_BINARY);
}

UniqueFd CreateForWriting(const std::string& path, bool* is_regular) {
  *is_regular = false;
  // FILE_WRITE_ATTRIBUTES lets SetFileTimes and MakeReadOnly change the open file.
  const HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_WRITE | FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  UniqueFd result = Adopt(handle, _O_WRONLY | _O_BINARY);
  if (result.valid()) *is_regular = ::GetFileType(handle) == FILE_TYPE_DISK;
  return result;
}

int64_t SeekTo(int fd, int64_t offset) {
  if (offset < 0) return -1;
  LARGE_INTEGER to{};
  to.QuadPart = offset;
  LARGE_INTEGER reached{};
  if (!::SetFilePointerEx(HandleOf(fd), to, &reached, FILE_BEGIN)) return -1;
  return reached.QuadPart;
}

int64_t SeekFromEnd(int fd, int64_t offset) {
  LARGE_INTEGER to{};
  to.QuadPart = -offset;
  LARGE_INTEGER reached{};
  if (!::SetFilePointerEx(HandleOf(fd), to, &reached, FILE_END)) return -1;
  return reached.QuadPart;
}

int64_t FileSize(int fd) {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(HandleOf(fd), &size)) return -1;
  return size.QuadPart;
}

long ReadFull(int fd, void* buffer, size_t size) {
  auto* out = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < size) {
    DWORD n = 0;
    const auto piece = static_cast<DWORD>(std::min(size - done, kPiece));
    if (!::ReadFile(HandleOf(fd), out + done, piece, &n, nullptr)) return -1;
    if (n == 0) break;
    done += n;
  }
  return static_cast<long>(done);
}

long ReadFullAt(int fd, void* buffer, size_t size, int64_t offset) {
  auto* out = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < size) {
    const auto at = static_cast<uint64_t>(offset) + done;
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD n = 0;
    const auto piece = static_cast<DWORD>(std::min(size - done, kPiece));
    if (!::ReadFile(HandleOf(fd), out + done, piece, &n, &where)) {
      if (::GetLastError() == ERROR_HANDLE_EOF) break;
      return -1;
    }
    if (n == 0) break;
    done += n;
  }
  return static_cast<long>(done);
}

bool WriteAll(int fd, const void* data, size_t size) {
  const auto* in = static_cast<const char*>(data);
  while (size > 0) {
    DWORD n = 0;
    const auto piece = static_cast<DWORD>(std::min(size, kPiece));
    if (!::WriteFile(HandleOf(fd), in, piece, &n, nullptr) || n == 0) return false;
    in += n;
    size -= n;
  }
  return true;
}

bool SetFileTimes(int fd, int64_t access_ns, int64_t write_ns) {
  const FILETIME access = FileTimeFromUnixNanos(access_ns);
  const FILETIME write = FileTimeFromUnixNanos(write_ns);
  return ::SetFileTime(HandleOf(fd), nullptr, &access, &write) != 0;
}

bool MakeReadOnly(int fd) {
  FILE_BASIC_INFO info{};
  if (!::GetFileInformationByHandleEx(HandleOf(fd), FileBasicInfo, &info, sizeof info)) {
    return false;
  }
  info.FileAttributes |= FILE_ATTRIBUTE_READONLY;
  // Zero times mean "leave as they are", so the times SetFileTimes gave stay.
  info.CreationTime.QuadPart = 0;
  info.LastAccessTime.QuadPart = 0;
  info.LastWriteTime.QuadPart = 0;
  info.ChangeTime.QuadPart = 0;
  return ::SetFileInformationByHandle(HandleOf(fd), FileBasicInfo, &info, sizeof info) != 0;
}

bool CloseFd(int fd) { return ::_close(fd) == 0; }

bool RemoveFile(const std::string& path) { return ::DeleteFileA(path.c_str()) != 0; }

}  // namespace kelvane::platform
