// platform/process.cpp -- Linux implementation of the process services.
#include "platform/process.h"

#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace kelvane::platform {
namespace {

sigset_t TerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::optional<std::string> OwnExecutablePath() {
  // readlink does not say whether it cut the name: grow the buffer until the result fits.
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return std::nullopt;
    if (static_cast<size_t>(n) < buffer.size()) {
      return std::string(buffer.data(), static_cast<size_t>(n));
    }
    if (buffer.size() >= (1u << 20)) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
}

std::optional<std::string> GetEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> TemporaryFolder() {
  std::string folder;
  if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir != nullptr && IsDirectory(tmpdir)) {
    folder = tmpdir;
  } else if (IsDirectory("/tmp")) {
    folder = "/tmp";
  } else {
    return std::nullopt;
  }
  if (folder.back() != '/') folder.push_back('/');
  return folder;
}

bool BlockTerminationSignals() {
  const sigset_t set = TerminationSignals();
  return ::pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

int WaitForTerminationSignal() {
  const sigset_t set = TerminationSignals();
  for (;;) {
    int signal_number = 0;
    const int rc = ::sigwait(&set, &signal_number);
    if (rc == 0) return signal_number;
    if (rc != EINTR) return -1;
  }
}

bool RaiseDescriptorLimit() {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur == limit.rlim_max) return true;
  limit.rlim_cur = limit.rlim_max;
  return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

}  // namespace kelvane::platform
