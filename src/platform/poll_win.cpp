// platform/poll_win.cpp -- the Windows twin of the poller (WSAPoll), the receive that never waits
// and the wake event (a loopback datagram socket connected to itself).
#include "platform/poll.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>

#include "platform/socket.h"
#include "platform/winsock_startup_win.h"

namespace kelvane::platform {
namespace {

SOCKET AsSocket(SocketHandle socket) { return static_cast<SOCKET>(socket); }

// Whether |socket| has bytes (or an end or error) waiting, without waiting for it.
bool ReadableNow(SOCKET socket) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  timeval zero{};
  return ::select(0, &readable, nullptr, nullptr, &zero) == 1;
}

}  // namespace

// The socket stays in its mode (Windows cannot read it back): select with no time-out says
// whether a receive would wait.
long ReceiveNow(SocketHandle socket, void* buffer, size_t size) {
  if (!ReadableNow(AsSocket(socket))) return kNothingWaiting;
  const int want = static_cast<int>(std::min<size_t>(size, 0x7FFFFFFF));
  for (;;) {
    const int n = ::recv(AsSocket(socket), static_cast<char*>(buffer), want, 0);
    if (n != SOCKET_ERROR) return n;
    const int code = ::WSAGetLastError();
    if (code == WSAEINTR) continue;
    if (code == WSAEWOULDBLOCK) return kNothingWaiting;
    return -1;
  }
}

size_t Poller::Add(SocketHandle socket) {
  slots_.push_back(Slot{socket, 0});
  return slots_.size() - 1;
}

// WSAPoll refuses invalid handles (poll on Linux skips negative descriptors), and it refuses an
// empty set: slots holding kInvalidSocket stay out of the call, and a wait on nothing sleeps.
int Poller::Wait(int timeout_ms) {
  std::vector<WSAPOLLFD> fds;
  std::vector<size_t> slot_of;
  fds.reserve(slots_.size());
  slot_of.reserve(slots_.size());
  for (size_t i = 0; i < slots_.size(); ++i) {
    slots_[i].ready = 0;
    if (slots_[i].socket == kInvalidSocket) continue;
    WSAPOLLFD p{};
    p.fd = AsSocket(slots_[i].socket);
    p.events = POLLRDNORM;
    fds.push_back(p);
    slot_of.push_back(i);
  }
  if (fds.empty()) {
    ::Sleep(timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
    return 0;
  }
  const int n = ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeout_ms);
  if (n == SOCKET_ERROR) return ::WSAGetLastError() == WSAEINTR ? 0 : -1;
  for (size_t k = 0; k < fds.size(); ++k) slots_[slot_of[k]].ready = fds[k].revents;
  return n;
}

bool Poller::Readable(size_t index) const {
  return index < slots_.size() &&
         (slots_[index].ready & (POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR)) != 0;
}

WakeEvent::WakeEvent() {
  EnsureWinsock();
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return;
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(kLoopback);
  int length = sizeof self;
  u_long non_blocking = 1;  // Signal and Drain never wait
  if (::bind(s, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&self), &length) != 0 ||
      ::connect(s, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
      ::ioctlsocket(s, FIONBIO, &non_blocking) != 0) {
    ::closesocket(s);
    return;
  }
  handle_ = static_cast<SocketHandle>(s);
}

WakeEvent::~WakeEvent() {
  if (valid()) ::closesocket(AsSocket(handle_));
}

void WakeEvent::Signal() {
  if (!valid()) return;
  const char one = 1;
  // A full receive buffer already holds a datagram that wakes the waiter: a failure loses nothing.
  ::send(AsSocket(handle_), &one, 1, 0);
}

void WakeEvent::Drain() {
  if (!valid()) return;
  char datagram[16];
  for (;;) {
    const int n = ::recv(AsSocket(handle_), datagram, sizeof datagram, 0);
    // WSAEMSGSIZE cannot come (every datagram is one byte); a WSAECONNRESET would only report an
    // unreachable earlier send: both are taken off and the draining goes on.
    if (n != SOCKET_ERROR) continue;
    const int code = ::WSAGetLastError();
    if (code == WSAEINTR || code == WSAEMSGSIZE || code == WSAECONNRESET) continue;
    return;  // WSAEWOULDBLOCK: nothing waits any more
  }
}

}  // namespace kelvane::platform
