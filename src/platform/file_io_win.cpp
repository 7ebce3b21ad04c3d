// platform/file_io_win.cpp -- the Windows twin of the file services: Win32 file handles behind C
// runtime descriptors (_open_osfhandle), so that the core keeps int descriptors on both platforms.
#include "platform/file_io.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>

namespace kelvane::platform {
namespace {

// The largest single ReadFile or WriteFile; a DWORD counts the bytes.
constexpr size_t kMaxTransfer = 1u << 30;

// 1970-01-01 in FILETIME's units (100 ns since 1601-01-01).
constexpr int64_t kUnixEpochInFileTime = 116444736000000000LL;

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

int64_t MovePointer(HANDLE handle, int64_t distance, DWORD method) {
  LARGE_INTEGER move{};
  move.QuadPart = distance;
  LARGE_INTEGER reached{};
  if (!::SetFilePointerEx(handle, move, &reached, method)) return -1;
  return reached.QuadPart;
}

// One read of up to |size| bytes, at |offset| when it is >= 0: the count, 0 at the end of the
// file, -1 on an error.
long ReadOnce(HANDLE handle, void* buffer, size_t size, int64_t offset) {
  DWORD got = 0;
  OVERLAPPED at{};
  if (offset >= 0) {
    at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  }
  if (!::ReadFile(handle, buffer, static_cast<DWORD>(std::min(size, kMaxTransfer)), &got,
                  offset >= 0 ? &at : nullptr)) {
    const DWORD code = ::GetLastError();
    // A positioned read at or past the end, or a pipe whose writer closed, is the end.
    if (code == ERROR_HANDLE_EOF || code == ERROR_BROKEN_PIPE) return 0;
    return -1;
  }
  return static_cast<long>(got);
}

long ReadLoop(int fd, void* buffer, size_t size, int64_t offset) {
  const HANDLE handle = HandleOf(fd);
  if (handle == INVALID_HANDLE_VALUE) return -1;
  auto* out = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < size) {
    const long n = ReadOnce(handle, out + done, size - done,
                            offset >= 0 ? offset + static_cast<int64_t>(done) : -1);
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<long>(done);
}

FILETIME ToFileTime(int64_t ns_since_1970) {
  // Times before 1601 cannot be written: they become the earliest one.
  const int64_t units = std::max<int64_t>(ns_since_1970 / 100 + kUnixEpochInFileTime, 0);
  FILETIME time{};
  time.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(units) & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(units) >> 32);
  return time;
}

UniqueFd AdoptHandle(HANDLE handle, int flags) {
  if (handle == INVALID_HANDLE_VALUE) return UniqueFd();
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) {
    ::CloseHandle(handle);
    return UniqueFd();
  }
  return UniqueFd(fd);
}

}  // namespace

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::_close(fd_);  // closes the Win32 handle as well
  fd_ = fd;
}

// Shared for reading, writing and deleting, so that several clients, a second server and the
// packing tool may have the package open at once, as on Linux.
UniqueFd OpenReadOnly(const std::string& path) {
  const HANDLE handle =
      ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return AdoptHandle(handle, _O_RDONLY);
}

UniqueFd CreateForWriting(const std::string& path, bool* is_regular) {
  *is_regular = false;
  // FILE_READ_ATTRIBUTES lets MakeReadOnly read the attributes it adds to.
  const HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool disk_file = handle != INVALID_HANDLE_VALUE && ::GetFileType(handle) == FILE_TYPE_DISK;
  UniqueFd result = AdoptHandle(handle, _O_WRONLY);
  if (result.valid()) *is_regular = disk_file;
  return result;
}

UniqueFd OpenForAppending(const std::string& path, int* error_number) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end, as O_APPEND.
  const HANDLE handle = ::CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    switch (::GetLastError()) {
      case ERROR_ACCESS_DENIED:
      case ERROR_SHARING_VIOLATION: *error_number = EACCES; break;
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
      case ERROR_INVALID_NAME: *error_number = ENOENT; break;
      default: *error_number = EIO; break;
    }
    return UniqueFd();
  }
  UniqueFd result = AdoptHandle(handle, _O_WRONLY | _O_APPEND);
  *error_number = result.valid() ? 0 : EMFILE;
  return result;
}

int64_t SeekTo(int fd, int64_t offset) {
  if (offset < 0) return -1;
  const HANDLE handle = HandleOf(fd);
  if (handle == INVALID_HANDLE_VALUE) return -1;
  return MovePointer(handle, offset, FILE_BEGIN);
}

int64_t SeekFromEnd(int fd, int64_t offset) {
  const HANDLE handle = HandleOf(fd);
  if (handle == INVALID_HANDLE_VALUE) return -1;
  return MovePointer(handle, -offset, FILE_END);
}

int64_t FileSize(int fd) {
  const HANDLE handle = HandleOf(fd);
  LARGE_INTEGER size{};
  if (handle == INVALID_HANDLE_VALUE || !::GetFileSizeEx(handle, &size)) return -1;
  return size.QuadPart;
}

long ReadFull(int fd, void* buffer, size_t size) { return ReadLoop(fd, buffer, size, -1); }

// ReadFile at an offset moves the file pointer of a synchronous handle to the end of what it
// read; the pointer is put back, so that the call leaves the descriptor as pread does for a
// caller that has it to itself (see file_io.h for descriptors that threads share).
long ReadFullAt(int fd, void* buffer, size_t size, int64_t offset) {
  if (offset < 0) return -1;
  const HANDLE handle = HandleOf(fd);
  if (handle == INVALID_HANDLE_VALUE) return -1;
  const int64_t pointer = MovePointer(handle, 0, FILE_CURRENT);
  const long got = ReadLoop(fd, buffer, size, offset);
  if (pointer >= 0) MovePointer(handle, pointer, FILE_BEGIN);
  return got;
}

bool WriteAll(int fd, const void* data, size_t size) {
  const HANDLE handle = HandleOf(fd);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const auto* in = static_cast<const char*>(data);
  while (size > 0) {
    DWORD written = 0;
    if (!::WriteFile(handle, in, static_cast<DWORD>(std::min(size, kMaxTransfer)), &written,
                     nullptr) ||
        written == 0) {
      return false;
    }
    in += written;
    size -= written;
  }
  return true;
}

bool SetFileTimes(int fd, int64_t access_ns, int64_t write_ns) {
  const HANDLE handle = HandleOf(fd);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const FILETIME access = ToFileTime(access_ns);
  const FILETIME write = ToFileTime(write_ns);
  return ::SetFileTime(handle, nullptr, &access, &write) != 0;
}

// The read-only attribute: Windows has no permission bits that a program sets on its own files.
bool MakeReadOnly(int fd) {
  const HANDLE handle = HandleOf(fd);
  if (handle == INVALID_HANDLE_VALUE) return false;
  FILE_BASIC_INFO info{};
  if (!::GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info)) return false;
  // Zero times leave the file's times as they are.
  info.CreationTime.QuadPart = 0;
  info.LastAccessTime.QuadPart = 0;
  info.LastWriteTime.QuadPart = 0;
  info.ChangeTime.QuadPart = 0;
  info.FileAttributes = (info.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL)) |
                        FILE_ATTRIBUTE_READONLY;
  return ::SetFileInformationByHandle(handle, FileBasicInfo, &info, sizeof info) != 0;
}

bool CloseFd(int fd) { return ::_close(fd) == 0; }

// Linux removes a read-only file whose folder is writable; so does this, by taking the read-only
// attribute off first.
bool RemoveFile(const std::string& path) {
  if (::DeleteFileA(path.c_str())) return true;
  if (::GetLastError() != ERROR_ACCESS_DENIED) return false;
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return false;
  }
  if (!::SetFileAttributesA(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) {
    return false;
  }
  if (::DeleteFileA(path.c_str())) return true;
  ::SetFileAttributesA(path.c_str(), attributes);
  return false;
}

}  // namespace kelvane::platform
