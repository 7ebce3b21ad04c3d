// platform/temp_file_linux.cpp -- the Linux twin of the scratch files: O_TMPFILE, or mkstemp and
// unlink where the folder's file system does not offer it.
#include "platform/temp_file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <vector>

namespace kelvane::platform {
namespace {

// The name mkstemp completes; it exists only until the unlink right after.
constexpr char kScratchTemplate[] = "kelvane-scratch-XXXXXX";

UniqueFd MadeAndUnlinked(const std::string& folder) {
  std::string path = folder;
  if (!path.empty() && path.back() != '/') path.push_back('/');
  path += kScratchTemplate;
  std::vector<char> name(path.begin(), path.end());
  name.push_back('\0');
  UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
  if (!fd.valid()) return fd;
  if (::unlink(name.data()) != 0) return UniqueFd();  // a named file must not stay behind
  return fd;
}

}  // namespace

UniqueFd CreateUnnamedTempFile(const std::string& folder) {
  int fd;
  do {
    fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) return UniqueFd(fd);
  // EOPNOTSUPP or EISDIR: the file system (or an old kernel) has no unnamed files.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return UniqueFd();
  return MadeAndUnlinked(folder);
}

bool ScratchFilesAreNameless() { return true; }

std::optional<uint64_t> FreeSpace(const std::string& folder) {
  struct statvfs st {};
  if (::statvfs(folder.c_str(), &st) != 0) return std::nullopt;
  return static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
}

bool WriteAllAt(int fd, const void* data, size_t size, int64_t offset) {
  const auto* in = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, in, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    in += n;
    offset += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool TruncateFile(int fd, int64_t size) {
  int rc;
  do {
    rc = ::ftruncate(fd, static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace kelvane::platform
