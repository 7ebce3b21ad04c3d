// platform/temp_file_win.cpp -- the Windows twin of the scratch files: delete-on-close files in
// the temporary folder, behind C runtime descriptors like every other file of the core.
#include "platform/temp_file.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace kelvane::platform {
namespace {

// The largest single WriteFile; a DWORD counts the bytes.
constexpr size_t kMaxTransfer = 1u << 30;
// Names already taken (by another process's scratch file) are skipped this many times.
constexpr int kNameAttempts = 32;

std::atomic<unsigned> g_scratch_serial{0};

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

std::string ScratchName(const std::string& folder) {
  char name[96];
  std::snprintf(name, sizeof name, "kelvane-scratch-%lu-%u-%llu.tmp", ::GetCurrentProcessId(),
                g_scratch_serial.fetch_add(1), static_cast<unsigned long long>(::GetTickCount64()));
  std::string path = folder;
  if (!path.empty() && path.back() != '\\' && path.back() != '/') path.push_back('\\');
  return path + name;
}

}  // namespace

UniqueFd CreateUnnamedTempFile(const std::string& folder) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    // The name exists only while this process holds the handle: the system deletes the file
    // when the last handle closes, also when the process is ended by force. Deletion is shared
    // as well as reading and writing, so that a second handle on the file (a sender's, say)
    // meets no sharing violation.
    const HANDLE handle = ::CreateFileA(
        ScratchName(folder).c_str(), GENERIC_READ | GENERIC_WRITE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      if (::GetLastError() == ERROR_FILE_EXISTS) continue;
      return UniqueFd();
    }
    ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (fd < 0) {
      ::CloseHandle(handle);
      return UniqueFd();
    }
    return UniqueFd(fd);
  }
  return UniqueFd();
}

bool ScratchFilesAreNameless() { return false; }

std::optional<uint64_t> FreeSpace(const std::string& folder) {
  ULARGE_INTEGER available{};
  if (!::GetDiskFreeSpaceExA(folder.c_str(), &available, nullptr, nullptr)) return std::nullopt;
  return static_cast<uint64_t>(available.QuadPart);
}

bool WriteAllAt(int fd, const void* data, size_t size, int64_t offset) {
  const HANDLE handle = HandleOf(fd);
  if (handle == INVALID_HANDLE_VALUE || offset < 0) return false;
  const auto* in = static_cast<const char*>(data);
  while (size > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    DWORD written = 0;
    if (!::WriteFile(handle, in, static_cast<DWORD>(std::min(size, kMaxTransfer)), &written,
                     &at) ||
        written == 0) {
      return false;
    }
    in += written;
    offset += written;
    size -= written;
  }
  return true;
}

bool TruncateFile(int fd, int64_t size) {
  const HANDLE handle = HandleOf(fd);
  if (handle == INVALID_HANDLE_VALUE || size < 0) return false;
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = size;
  return ::SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end) != 0;
}

}  // namespace kelvane::platform
