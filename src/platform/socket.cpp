// platform/socket.cpp -- POSIX implementation of the socket services.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>

namespace kelvane::platform {
namespace {

sockaddr_in ToSockaddr(const Ipv4Endpoint& endpoint) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(endpoint.port);
  sa.sin_addr.s_addr = htonl(endpoint.address);
  return sa;
}

bool SetTimeout(int fd, int option, int milliseconds) {
  timeval tv{};
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = (milliseconds % 1000) * 1000;
  return ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

}  // namespace

UniqueFd NewStreamSocket() { return UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)); }

bool SetReuseAddress(int fd) {
  const int on = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

bool Bind(int fd, const Ipv4Endpoint& local) {
  const sockaddr_in sa = ToSockaddr(local);
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

bool Listen(int fd, int backlog) { return ::listen(fd, backlog) == 0; }

uint16_t LocalPort(int fd) {
  sockaddr_in sa{};
  socklen_t length = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0) return 0;
  return ntohs(sa.sin_port);
}

UniqueFd Accept(int listen_fd, Ipv4Endpoint* peer, AcceptError* error) {
  for (;;) {
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    const int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&sa), &length, SOCK_CLOEXEC);
    if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) continue;
    if (fd >= 0) {
      peer->address = ntohl(sa.sin_addr.s_addr);
      peer->port = ntohs(sa.sin_port);
      if (error != nullptr) *error = AcceptError{};
    } else if (error != nullptr) {
      const int code = errno;
      const bool transient = code == EMFILE || code == ENFILE || code == ENOBUFS ||
                             code == ENOMEM || code == EPROTO || code == EPERM ||
                             code == EAGAIN || code == ENETDOWN || code == EHOSTUNREACH ||
                             code == ENONET || code == ENETUNREACH || code == EOPNOTSUPP ||
                             code == ENOPROTOOPT || code == EHOSTDOWN;
      *error = AcceptError{transient ? AcceptFailure::kTransient : AcceptFailure::kFatal,
                           std::strerror(code)};
    }
    return UniqueFd(fd);
  }
}

bool Connect(int fd, const Ipv4Endpoint& remote) {
  const sockaddr_in sa = ToSockaddr(remote);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return true;
  if (errno != EINTR) return false;
  // An interrupted connect goes on in the background: wait for its outcome.
  pollfd p{fd, POLLOUT, 0};
  while (::poll(&p, 1, -1) < 0) {
    if (errno != EINTR) return false;
  }
  int error = 0;
  socklen_t length = sizeof error;
  return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

bool SetSendTimeout(int fd, int milliseconds) { return SetTimeout(fd, SO_SNDTIMEO, milliseconds); }

bool SetReceiveTimeout(int fd, int milliseconds) {
  return SetTimeout(fd, SO_RCVTIMEO, milliseconds);
}

long SendAll(int fd, const void* data, size_t size, int flags) {
  const auto* in = static_cast<const char*>(data);
  size_t sent = 0;
  while (sent < size) {
    const ssize_t n = ::send(fd, in + sent, size - sent, flags | MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    sent += static_cast<size_t>(n);
  }
  return static_cast<long>(sent);
}

long ReceiveSome(int fd, void* buffer, size_t size) {
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, size, 0);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

int ReceiveLine(int fd, char* buffer, int capacity) {
  int consumed = 0;
  int stored = 0;
  while (consumed < capacity - 1) {
    char c;
    const long n = ReceiveSome(fd, &c, 1);
    if (n <= 0) {
      buffer[stored] = '\0';
      if (n < 0) return -1;
      return consumed == 0 ? 0 : consumed + 1;
    }
    ++consumed;
    if (c == '\n') {
      buffer[stored] = '\0';
      return consumed;
    }
    if (c != '\r') buffer[stored++] = c;
  }
  buffer[stored] = '\0';
  return capacity;
}

bool WaitReadable(int fd, int64_t timeout_microseconds) {
  pollfd p{fd, POLLIN, 0};
  // Rounded up, so that a wait of a few microseconds still polls once.
  const int timeout_ms = static_cast<int>((timeout_microseconds + 999) / 1000);
  for (;;) {
    const int n = ::poll(&p, 1, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    return n == 1;
  }
}

long PendingBytes(int fd) {
  int count = 0;
  if (::ioctl(fd, FIONREAD, &count) != 0) return -1;
  return count;
}

bool ShutdownBoth(int fd) { return ::shutdown(fd, SHUT_RDWR) == 0; }

long SendFileRange(int socket_fd, int in_fd, int64_t* offset, size_t count) {
  size_t sent = 0;
  while (sent < count) {
    off_t position = static_cast<off_t>(*offset);
    const ssize_t n = ::sendfile(socket_fd, in_fd, &position, count - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;  // the file ended early
    *offset = position;
    sent += static_cast<size_t>(n);
  }
  return static_cast<long>(sent);
}

std::string FormatDotted(uint32_t address) {
  in_addr a{};
  a.s_addr = htonl(address);
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

uint32_t ParseDotted(const std::string& text) {
  in_addr a{};
  if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return kNoneAddress;
  return ntohl(a.s_addr);
}

void IgnoreBrokenPipe() {
  static std::once_flag once;
  std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

bool ShutdownSend(int fd) { return ::shutdown(fd, SHUT_WR) == 0; }

bool SetResetOnClose(int fd) {
  const linger abortive{1, 0};
  return ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive) == 0;
}

}  // namespace kelvane::platform
