// net/net_test_util_linux.cpp -- loopback sockets and bounded reads for the network tests (POSIX).
#include "net_test_util.h"
#include "net_test_twin.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>
#include <cstdlib>

namespace kelvane::net::nettest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTestReceiveTimeoutMs = 30000;

sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sa;
}

void SetReceiveTimeout(platform::SocketHandle fd, int milliseconds_value) {
  timeval tv{};
  tv.tv_sec = milliseconds_value / 1000;
  tv.tv_usec = (milliseconds_value % 1000) * 1000;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

}  // namespace

platform::UniqueSocket ListenLoopback(uint16_t* port, bool reuse) {
  platform::UniqueSocket fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return fd;
  if (reuse) {
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  const sockaddr_in sa = LoopbackAddress(0);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
      ::listen(fd.get(), 64) != 0) {
    return platform::UniqueSocket();
  }
  *port = LocalPortOf(fd.get());
  return fd;
}

platform::UniqueSocket ConnectLoopback(uint16_t port) {
  platform::UniqueSocket fd = NewLoopbackSocket();
  if (!fd.valid() || !ConnectSocket(fd.get(), port)) return platform::UniqueSocket();
  return fd;
}

platform::UniqueSocket NewLoopbackSocket() {
  platform::UniqueSocket fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.valid()) SetReceiveTimeout(fd.get(), kTestReceiveTimeoutMs);
  return fd;
}

bool ConnectSocket(platform::SocketHandle fd, uint16_t port) {
  const sockaddr_in sa = LoopbackAddress(port);
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

platform::UniqueSocket AcceptWithin(platform::SocketHandle listen_fd, milliseconds bound) {
  if (!ReadableWithin(listen_fd, bound)) return platform::UniqueSocket();
  platform::UniqueSocket fd(::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
  if (fd.valid()) SetReceiveTimeout(fd.get(), kTestReceiveTimeoutMs);
  return fd;
}

uint16_t ClosedPort() {
  platform::UniqueSocket fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in sa = LoopbackAddress(0);
  if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    return 0;
  }
  return LocalPortOf(fd.get());
}

uint16_t LocalPortOf(platform::SocketHandle fd) {
  sockaddr_in sa{};
  socklen_t length = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0) return 0;
  return ntohs(sa.sin_port);
}

bool ShutdownWrite(platform::SocketHandle fd) { return ::shutdown(fd, SHUT_WR) == 0; }

bool SendAllBytes(platform::SocketHandle fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool SendLastByteUrgent(platform::SocketHandle fd, std::string_view data) {
  if (data.empty()) return true;
  // Linux marks the last byte of an MSG_OOB send as the urgent one.
  return SendAllBytes(fd, data.substr(0, data.size() - 1)) &&
         ::send(fd, data.data() + data.size() - 1, 1, MSG_OOB | MSG_NOSIGNAL) == 1;
}


bool ReadableWithin(platform::SocketHandle fd, milliseconds bound) {
  const Clock::time_point deadline = Clock::now() + bound;
  pollfd p{fd, POLLIN, 0};
  for (;;) {
    const int n = ::poll(&p, 1, RemainingMs(deadline));
    if (n < 0 && errno == EINTR) continue;
    return n == 1;
  }
}

long QueuedBytes(platform::SocketHandle fd) {
  int count = 0;
  if (::ioctl(fd, FIONREAD, &count) != 0) return -1;
  return count;
}

bool SetReceiveBuffer(platform::SocketHandle fd, int bytes) {
  return ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

bool SetSendBuffer(platform::SocketHandle fd, int bytes) {
  return ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0;
}

bool NoDelayOn(platform::SocketHandle fd) {
  int on = 0;
  socklen_t length = sizeof on;
  return ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &length) == 0 && on != 0;
}

void SetNoDelay(platform::SocketHandle fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

long ReceiveWithin(platform::SocketHandle fd, char* buffer, size_t size,
                   std::chrono::steady_clock::time_point deadline) {
  pollfd p{fd, POLLIN, 0};
  for (;;) {
    const int ready = ::poll(&p, 1, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready != 1) return kReceiveTimedOut;
    const ssize_t n = ::recv(fd, buffer, size, 0);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : static_cast<long>(n);
  }
}

bool NonBlocking(platform::SocketHandle fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && (flags & O_NONBLOCK) != 0;
}

int OpenDescriptorCount() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;  // the listing's own descriptor
}

DescriptorLimit::DescriptorLimit(int free) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  old_soft_ = limit.rlim_cur;
  // New descriptors take the lowest free numbers below the limit; open ones at or above it
  // (inherited from the parent, say) stay open and do not count.
  std::vector<bool> open;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return;
  const int own = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = std::atoi(entry->d_name);
    if (fd == own) continue;
    if (static_cast<size_t>(fd) >= open.size()) open.resize(static_cast<size_t>(fd) + 1);
    open[static_cast<size_t>(fd)] = true;
  }
  ::closedir(dir);
  // The lowest limit with exactly |free| unused numbers below it.
  rlim_t wanted = 0;
  for (int unused = 0; unused < free; ++wanted) {
    if (wanted >= open.size() || !open[wanted]) ++unused;
  }
  if (wanted > limit.rlim_cur) return;
  lowered_soft_ = wanted;
  ok_ = Lower();
}

bool DescriptorLimit::Lower() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  limit.rlim_cur = static_cast<rlim_t>(lowered_soft_);
  lowered_ = ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
  return lowered_;
}

DescriptorLimit::~DescriptorLimit() { Restore(); }

void DescriptorLimit::Restore() {
  if (!lowered_) return;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  limit.rlim_cur = static_cast<rlim_t>(old_soft_);
  ::setrlimit(RLIMIT_NOFILE, &limit);
  lowered_ = false;
}

}  // namespace kelvane::net::nettest
