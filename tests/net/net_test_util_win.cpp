// net/net_test_util_win.cpp -- loopback sockets and bounded reads for the network tests (Winsock).
#include "net_test_util.h"
#include "net_test_twin.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>

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

SOCKET S(platform::SocketHandle fd) { return static_cast<SOCKET>(fd); }

// Starts Winsock for the helpers that may run before the code under test made a socket.
platform::SocketHandle NewSocket() {
  static const bool started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) return platform::kInvalidSocket;
  return static_cast<platform::SocketHandle>(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
}

void SetReceiveTimeout(platform::SocketHandle fd, int milliseconds_value) {
  const DWORD value = static_cast<DWORD>(milliseconds_value);
  ::setsockopt(S(fd), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value), sizeof value);
}

// Whether |fd| is readable within |timeout_ms|: 1, 0 when the time passed, -1 on an error.
int PollReadable(platform::SocketHandle fd, int timeout_ms) {
  WSAPOLLFD p{};
  p.fd = S(fd);
  p.events = POLLRDNORM;
  const int n = ::WSAPoll(&p, 1, timeout_ms);
  return n == SOCKET_ERROR ? -1 : n;
}

}  // namespace

platform::UniqueSocket ListenLoopback(uint16_t* port, bool reuse) {
  platform::UniqueSocket fd(NewSocket());
  if (!fd.valid()) return fd;
  if (reuse) {
    const BOOL on = TRUE;
    ::setsockopt(S(fd.get()), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
  }
  const sockaddr_in sa = LoopbackAddress(0);
  if (::bind(S(fd.get()), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
      ::listen(S(fd.get()), 64) != 0) {
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
  platform::UniqueSocket fd(NewSocket());
  if (fd.valid()) SetReceiveTimeout(fd.get(), kTestReceiveTimeoutMs);
  return fd;
}

bool ConnectSocket(platform::SocketHandle fd, uint16_t port) {
  const sockaddr_in sa = LoopbackAddress(port);
  return ::connect(S(fd), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

platform::UniqueSocket AcceptWithin(platform::SocketHandle listen_fd, milliseconds bound) {
  if (!ReadableWithin(listen_fd, bound)) return platform::UniqueSocket();
  platform::UniqueSocket fd(static_cast<platform::SocketHandle>(::accept(S(listen_fd), nullptr, nullptr)));
  if (fd.valid()) SetReceiveTimeout(fd.get(), kTestReceiveTimeoutMs);
  return fd;
}

uint16_t ClosedPort() {
  platform::UniqueSocket fd(NewSocket());
  const sockaddr_in sa = LoopbackAddress(0);
  if (!fd.valid() || ::bind(S(fd.get()), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    return 0;
  }
  return LocalPortOf(fd.get());
}

uint16_t LocalPortOf(platform::SocketHandle fd) {
  sockaddr_in sa{};
  int length = sizeof sa;
  if (::getsockname(S(fd), reinterpret_cast<sockaddr*>(&sa), &length) != 0) return 0;
  return ntohs(sa.sin_port);
}

bool ShutdownWrite(platform::SocketHandle fd) { return ::shutdown(S(fd), SD_SEND) == 0; }

bool SendAllBytes(platform::SocketHandle fd, std::string_view data) {
  while (!data.empty()) {
    const int n = ::send(S(fd), data.data(), static_cast<int>(data.size()), 0);
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool SendLastByteUrgent(platform::SocketHandle fd, std::string_view data) {
  if (data.empty()) return true;
  return SendAllBytes(fd, data.substr(0, data.size() - 1)) &&
         ::send(S(fd), data.data() + data.size() - 1, 1, MSG_OOB) == 1;
}


bool ReadableWithin(platform::SocketHandle fd, milliseconds bound) {
  const Clock::time_point deadline = Clock::now() + bound;
  return PollReadable(fd, RemainingMs(deadline)) == 1;
}

long QueuedBytes(platform::SocketHandle fd) {
  u_long count = 0;
  if (::ioctlsocket(S(fd), FIONREAD, &count) != 0) return -1;
  return static_cast<long>(count);
}

bool SetReceiveBuffer(platform::SocketHandle fd, int bytes) {
  return ::setsockopt(S(fd), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                      sizeof bytes) == 0;
}

bool SetSendBuffer(platform::SocketHandle fd, int bytes) {
  return ::setsockopt(S(fd), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes),
                      sizeof bytes) == 0;
}

bool NoDelayOn(platform::SocketHandle fd) {
  BOOL on = FALSE;
  int length = sizeof on;
  return ::getsockopt(S(fd), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on), &length) == 0 &&
         on != FALSE;
}

void SetNoDelay(platform::SocketHandle fd) {
  const BOOL on = TRUE;
  ::setsockopt(S(fd), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

long ReceiveWithin(platform::SocketHandle fd, char* buffer, size_t size,
                   std::chrono::steady_clock::time_point deadline) {
  if (PollReadable(fd, RemainingMs(deadline)) != 1) return kReceiveTimedOut;
  const int n = ::recv(S(fd), buffer, static_cast<int>(std::min<size_t>(size, 0x7FFFFFFF)), 0);
  return n < 0 ? -1 : static_cast<long>(n);
}

// Winsock cannot report a socket's mode; the Windows twins never change it.
bool NonBlocking(platform::SocketHandle) { return false; }

// Windows has no descriptor limit to lower, nor a listing of its handles: the tests that need
// them skip when ok() is false or the count is -1.
int OpenDescriptorCount() { return -1; }

DescriptorLimit::DescriptorLimit(int) {}

bool DescriptorLimit::Lower() { return false; }

DescriptorLimit::~DescriptorLimit() { Restore(); }

void DescriptorLimit::Restore() { lowered_ = false; }

}  // namespace kelvane::net::nettest
