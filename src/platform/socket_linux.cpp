// platform/socket_linux.cpp -- the Linux twin of the socket services (POSIX sockets).
#include "platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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

// The socket's SO_SNDTIMEO in milliseconds (rounded up); 0 for none or when it cannot be read.
int64_t SendTimeoutMs(int fd) {
  timeval tv{};
  socklen_t length = sizeof tv;
  if (::getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &length) != 0) return 0;
  return static_cast<int64_t>(tv.tv_sec) * 1000 + (tv.tv_usec + 999) / 1000;
}

// Bytes the socket holds that the peer has not acknowledged (sent or not); -1 when unknown.
long UnacknowledgedBytes(int fd) {
  int count = 0;
  if (::ioctl(fd, SIOCOUTQ, &count) != 0) return -1;
  return count;
}

// The send time-out of SendAll and SendFileRange, kept across the calls of the one operation.
//
// SO_SNDTIMEO cannot be left to the kernel: it bounds one kernel send call, and a call that
// copied any byte returns that partial count when its time runs out. Against a peer that reads
// nothing, the calls kept copying a little: the kernel lets a send copy while the queue is below
// the send buffer's size but wakes a blocked one only once a third of the buffer is free, and
// the buffer grew by autotuning meanwhile. So a call slept its whole time-out and returned a
// partial count, and the next found a little room and slept again: 256 KiB sends to a stalled
// peer failed after three time-outs (92 s of 30), 1 MiB sendfiles (a kernel send per 64 KiB
// pipe buffer inside, each with a time-out of its own) after four (123 s). So the sends here do
// not block, and this waits for room with the time left since the last progress.
//
// Progress is a byte the socket took, or a byte the peer acknowledged: poll reports room
// (POLLOUT) by the same third, which a slow but steady reader may take longer than the
// time-out to free. Acknowledgements are looked at every Slice() at the latest, so a stall is
// noticed within the time-out plus one slice.
class SendClock {
 public:
  using Clock = std::chrono::steady_clock;

  explicit SendClock(int fd) : fd_(fd), last_progress_(Clock::now()) {}

  // The socket took bytes.
  void Progressed() {
    last_progress_ = Clock::now();
    unacknowledged_ = -1;
  }

  // Waits until the socket may take bytes again. False, with errno EAGAIN, when neither the
  // socket took a byte nor the peer acknowledged one for the send time-out; false with poll's
  // errno when polling failed. True also when the socket is in error or shut down: the next
  // send tells why.
  bool WaitWritable() {
    if (timeout_ms_ < 0) timeout_ms_ = SendTimeoutMs(fd_);
    if (unacknowledged_ < 0) unacknowledged_ = UnacknowledgedBytes(fd_);
    for (;;) {
      int wait_ms = -1;  // no time-out: wait for ever
      if (timeout_ms_ > 0) {
        const int64_t left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 last_progress_ + std::chrono::milliseconds(timeout_ms_) -
                                 Clock::now())
                                 .count();
        if (left <= 0) {
          if (PeerAcknowledged()) return true;
          errno = EAGAIN;
          return false;
        }
        wait_ms = static_cast<int>(std::min(left, Slice()));
      }
      pollfd p{fd_, POLLOUT, 0};
      const int n = ::poll(&p, 1, wait_ms);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (n > 0) return true;
      // A slice ran out: bytes the peer acknowledged meanwhile count as progress, and the
      // socket may take some although it did not report room.
      if (PeerAcknowledged()) return true;
    }
  }

 private:
  // The longest single wait: a twentieth of the time-out, between 10 and 500 ms.
  int64_t Slice() const { return std::clamp<int64_t>(timeout_ms_ / 20, 10, 500); }

  // Whether the peer acknowledged bytes since the last look; if so that counts as progress.
  bool PeerAcknowledged() {
    const long now = UnacknowledgedBytes(fd_);
    if (now < 0 || unacknowledged_ < 0 || now >= unacknowledged_) return false;
    unacknowledged_ = now;
    last_progress_ = Clock::now();
    return true;
  }

  int fd_;
  Clock::time_point last_progress_;
  int64_t timeout_ms_ = -1;   // read from the socket at the first wait
  long unacknowledged_ = -1;  // at the last look; -1 before the first look after progress
};

// Keeps SIGPIPE from this thread while it lives: sendfile has no MSG_NOSIGNAL. A SIGPIPE that
// came meanwhile is taken out; one that was pending before is left alone.
class NoBrokenPipeScope {
 public:
  NoBrokenPipeScope() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    was_pending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    blocked_ = ::pthread_sigmask(SIG_BLOCK, &pipe_, &old_) == 0;
  }
  ~NoBrokenPipeScope() {
    if (!blocked_) return;
    const int saved = errno;
    if (!was_pending_) {
      sigset_t pending;
      sigemptyset(&pending);
      if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
        const timespec none{0, 0};
        while (sigtimedwait(&pipe_, nullptr, &none) < 0 && errno == EINTR) {
        }
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    errno = saved;
  }
  NoBrokenPipeScope(const NoBrokenPipeScope&) = delete;
  NoBrokenPipeScope& operator=(const NoBrokenPipeScope&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_;
  bool was_pending_ = false;
  bool blocked_ = false;
};

// Makes the socket non-blocking while it lives (sendfile has no per-call flag), restoring its
// mode after.
class NonBlockingScope {
 public:
  explicit NonBlockingScope(int fd) : fd_(fd), flags_(::fcntl(fd, F_GETFL)) {
    if (flags_ >= 0 && (flags_ & O_NONBLOCK) == 0) {
      changed_ = ::fcntl(fd_, F_SETFL, flags_ | O_NONBLOCK) == 0;
    }
  }
  ~NonBlockingScope() {
    if (changed_) {
      const int saved = errno;
      ::fcntl(fd_, F_SETFL, flags_);
      errno = saved;
    }
  }
  NonBlockingScope(const NonBlockingScope&) = delete;
  NonBlockingScope& operator=(const NonBlockingScope&) = delete;

  // Whether sends on the socket now return instead of blocking.
  bool ok() const { return flags_ >= 0 && (changed_ || (flags_ & O_NONBLOCK) != 0); }

 private:
  int fd_;
  int flags_;
  bool changed_ = false;
};

}  // namespace

bool CloseSocket(SocketHandle socket) {
  return ::close(socket) == 0;  // Linux frees the descriptor even on EINTR: never retry close.
}

UniqueSocket NewStreamSocket() { return UniqueSocket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)); }

bool SetReuseAddress(SocketHandle fd) {
  const int on = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

bool Bind(SocketHandle fd, const Ipv4Endpoint& local) {
  const sockaddr_in sa = ToSockaddr(local);
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

bool Listen(SocketHandle fd, int backlog) { return ::listen(fd, backlog) == 0; }

uint16_t LocalPort(SocketHandle fd) {
  sockaddr_in sa{};
  socklen_t length = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0) return 0;
  return ntohs(sa.sin_port);
}

bool LocalEndpoint(SocketHandle fd, Ipv4Endpoint* local) {
  sockaddr_in sa{};
  socklen_t length = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0 ||
      sa.sin_family != AF_INET) {
    return false;
  }
  local->address = ntohl(sa.sin_addr.s_addr);
  local->port = ntohs(sa.sin_port);
  return true;
}

bool SetNonBlocking(SocketHandle fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

namespace {

// The next queued client, passing over interrupted calls and clients that went away while they
// were queued (the next one may be waiting); -1 with |*code| when none was taken. Accepted
// sockets never take the listener's O_NONBLOCK on Linux: they block.
int AcceptQueued(SocketHandle listen_fd, Ipv4Endpoint* peer, int* code) {
  for (;;) {
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    const int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&sa), &length, SOCK_CLOEXEC);
    if (fd >= 0) {
      peer->address = ntohl(sa.sin_addr.s_addr);
      peer->port = ntohs(sa.sin_port);
      return fd;
    }
    *code = errno;
    if (*code != EINTR && *code != ECONNABORTED) return -1;
  }
}

bool IsTransientAcceptError(int code) {
  switch (code) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case EPROTO:
    case EPERM:
    case EAGAIN:
    case ENETDOWN:
    case EHOSTUNREACH:
    case ENONET:
    case ENETUNREACH:
    case EOPNOTSUPP:
    case ENOPROTOOPT:
    case EHOSTDOWN:
      return true;
    default:
      return false;
  }
}

}  // namespace

UniqueSocket AcceptNow(SocketHandle listen_fd, Ipv4Endpoint* peer) {
  int code = 0;
  return UniqueSocket(AcceptQueued(listen_fd, peer, &code));
}

UniqueSocket Accept(SocketHandle listen_fd, Ipv4Endpoint* peer, AcceptError* error) {
  int code = 0;
  UniqueSocket client(AcceptQueued(listen_fd, peer, &code));
  if (error != nullptr) {
    *error = client.valid() ? AcceptError{}
                            : AcceptError{IsTransientAcceptError(code) ? AcceptFailure::kTransient
                                                                       : AcceptFailure::kFatal,
                                          std::strerror(code)};
  }
  return client;
}

bool Connect(SocketHandle fd, const Ipv4Endpoint& remote) {
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

bool SetSendTimeout(SocketHandle fd, int milliseconds) { return SetTimeout(fd, SO_SNDTIMEO, milliseconds); }

bool SetReceiveTimeout(SocketHandle fd, int milliseconds) {
  return SetTimeout(fd, SO_RCVTIMEO, milliseconds);
}

long SendAll(SocketHandle fd, const void* data, size_t size, int flags, size_t* taken) {
  const auto* in = static_cast<const char*>(data);
  size_t sent = 0;
  SendClock clock(fd);
  const auto result = [&](long value) {
    if (taken != nullptr) *taken = sent;
    return value;
  };
  while (sent < size) {
    const ssize_t n = ::send(fd, in + sent, size - sent, flags | MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!clock.WaitWritable()) return result(-1);
      continue;
    }
    if (n <= 0) return result(-1);
    sent += static_cast<size_t>(n);
    clock.Progressed();
  }
  return result(static_cast<long>(sent));
}

bool LastSendTimedOut() { return errno == EAGAIN || errno == EWOULDBLOCK; }

long ReceiveSome(SocketHandle fd, void* buffer, size_t size) {
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, size, 0);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

bool WaitReadable(SocketHandle fd, int64_t timeout_microseconds) {
  pollfd p{fd, POLLIN, 0};
  // Rounded up, so that a wait of a few microseconds still polls once.
  const int timeout_ms = static_cast<int>((timeout_microseconds + 999) / 1000);
  for (;;) {
    const int n = ::poll(&p, 1, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    return n == 1;
  }
}

long PendingBytes(SocketHandle fd) {
  int count = 0;
  if (::ioctl(fd, FIONREAD, &count) != 0) return -1;
  return count;
}

bool ShutdownBoth(SocketHandle fd) { return ::shutdown(fd, SHUT_RDWR) == 0; }

long SendFileRange(SocketHandle socket_fd, int in_fd, int64_t* offset, size_t count) {
  NoBrokenPipeScope no_broken_pipe;
  // A blocking sendfile would restart the socket's time-out inside, at every pipe buffer.
  NonBlockingScope non_blocking(socket_fd);
  if (!non_blocking.ok()) return -1;
  SendClock clock(socket_fd);
  size_t sent = 0;
  while (sent < count) {
    off_t position = static_cast<off_t>(*offset);
    const ssize_t n = ::sendfile(socket_fd, in_fd, &position, count - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!clock.WaitWritable()) return -1;
      continue;
    }
    if (n < 0) return -1;
    if (n == 0) break;  // the file ended early
    *offset = position;
    sent += static_cast<size_t>(n);
    clock.Progressed();
  }
  return static_cast<long>(sent);
}

bool SetNoDelay(SocketHandle fd) {
  const int on = 1;
  return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
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

bool ShutdownSend(SocketHandle fd) { return ::shutdown(fd, SHUT_WR) == 0; }

bool SetOobInline(SocketHandle fd) {
  const int on = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on) == 0;
}

bool SetResetOnClose(SocketHandle fd) {
  const linger abortive{1, 0};
  return ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive) == 0;
}

}  // namespace kelvane::platform
