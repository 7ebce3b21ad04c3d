// platform/process_linux.cpp -- the Linux twin of the process services.
#include "platform/process.h"

#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

constexpr const char* kUnprivilegedPortStartFile =
    "/proc/sys/net/ipv4/ip_unprivileged_port_start";
constexpr const char* kOwnStatusFile = "/proc/self/status";
constexpr const char* kEffectiveCapabilitiesField = "CapEff:";
constexpr uint32_t kDefaultUnprivilegedPortStart = 1024;
constexpr int kNetBindServiceBit = 10;  // CAP_NET_BIND_SERVICE

// The first bytes of a small text file under /proc; nullopt when it cannot be read.
std::optional<std::string> ReadSmallFile(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return std::nullopt;
  std::string text(4096, '\0');
  const size_t n = std::fread(text.data(), 1, text.size(), file);
  std::fclose(file);
  text.resize(n);
  return text;
}

uint32_t UnprivilegedPortStart() {
  const std::optional<std::string> text = ReadSmallFile(kUnprivilegedPortStartFile);
  if (!text) return kDefaultUnprivilegedPortStart;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text->c_str(), &end, 10);
  if (end == text->c_str()) return kDefaultUnprivilegedPortStart;
  return static_cast<uint32_t>(value);
}

// Whether CAP_NET_BIND_SERVICE is in the effective set; nullopt when the set cannot be read.
std::optional<bool> HasNetBindService() {
  const std::optional<std::string> status = ReadSmallFile(kOwnStatusFile);
  if (!status) return std::nullopt;
  const size_t at = status->find(kEffectiveCapabilitiesField);
  if (at == std::string::npos) return std::nullopt;
  const char* digits = status->c_str() + at + std::strlen(kEffectiveCapabilitiesField);
  char* end = nullptr;
  const unsigned long long mask = std::strtoull(digits, &end, 16);
  if (end == digits) return std::nullopt;
  return ((mask >> kNetBindServiceBit) & 1u) != 0;
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

std::string_view PathSeparators() { return "/"; }

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

bool MayBindPort(uint16_t port) {
  if (port == 0 || port >= UnprivilegedPortStart()) return true;
  // The kernel asks for the capability itself; root has it unless it was dropped.
  return HasNetBindService().value_or(::geteuid() == 0);
}

}  // namespace kelvane::platform
