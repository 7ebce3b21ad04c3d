// platform/file_io_linux.cpp -- the Linux twin of the file services (POSIX descriptors).
#include "platform/file_io.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvane::platform {

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);  // Linux frees the descriptor even on EINTR: never retry close.
  fd_ = fd;
}

UniqueFd OpenReadOnly(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return UniqueFd(fd);
}

UniqueFd CreateForWriting(const std::string& path, bool* is_regular) {
  *is_regular = false;
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  UniqueFd result(fd);
  struct stat st {};
  if (result.valid() && ::fstat(fd, &st) == 0) *is_regular = S_ISREG(st.st_mode);
  return result;
}

UniqueFd OpenForAppending(const std::string& path, int* error_number) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  *error_number = fd < 0 ? errno : 0;
  return UniqueFd(fd);
}

int64_t SeekTo(int fd, int64_t offset) {
  if (offset < 0) return -1;
  return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET);
}

int64_t SeekFromEnd(int fd, int64_t offset) {
  return ::lseek(fd, -static_cast<off_t>(offset), SEEK_END);
}

int64_t FileSize(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return -1;
  return st.st_size;
}

long ReadFull(int fd, void* buffer, size_t size) {
  auto* out = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, out + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<long>(done);
}

long ReadFullAt(int fd, void* buffer, size_t size, int64_t offset) {
  auto* out = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<long>(done);
}

bool WriteAll(int fd, const void* data, size_t size) {
  const auto* in = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, in, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    in += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool SetFileTimes(int fd, int64_t access_ns, int64_t write_ns) {
  auto to_timespec = [](int64_t ns) {
    struct timespec ts {};
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    if (ts.tv_nsec < 0) {
      ts.tv_nsec += 1000000000;
      ts.tv_sec -= 1;
    }
    return ts;
  };
  const struct timespec times[2] = {to_timespec(access_ns), to_timespec(write_ns)};
  return ::futimens(fd, times) == 0;
}

bool MakeReadOnly(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  return ::fchmod(fd, st.st_mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

bool CloseFd(int fd) { return ::close(fd) == 0; }

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

}  // namespace kelvane::platform
