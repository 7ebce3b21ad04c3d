// platform/poll_win.cpp -- the Windows twin of the poller (WSAPoll), the receive that never
// waits and the wake event (a loopback datagram socket that sends to itself).
#include "platform/poll.h"

#include <winsock2.h>

#include "platform/winsock_startup_win.h"

namespace kelvane::platform {
namespace {

SOCKET AsSocket(SocketHandle socket) { return static_cast<SOCKET>(socket); }

}  // namespace

long ReceiveNow(SocketHandle socket, void* buffer, size_t size) {
  // The socket's blocking mode cannot be read back on Windows: ask select first, so that the
  // receive below finds bytes or the end of the stream and returns at once.
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(AsSocket(socket), &readable);
  timeval none{};
  const int ready = ::select(0, &readable, nullptr, nullptr, &none);
  if (ready == SOCKET_ERROR) return -1;
  if (ready == 0) return kNothingWaiting;
  const int want = static_cast<int>(size > 0x7FFFFFFF ? 0x7FFFFFFF : size);
  const int n = ::recv(AsSocket(socket), static_cast<char*>(buffer), want, 0);
  return n == SOCKET_ERROR ? -1 : static_cast<long>(n);
}

size_t Poller::Add(SocketHandle socket) {
  slots_.push_back(Slot{socket, 0});
  return slots_.size() - 1;
}

int Poller::Wait(int timeout_ms) {
  // WSAPoll refuses an invalid socket among valid ones: such slots are left out, never ready.
  std::vector<WSAPOLLFD> polled;
  std::vector<size_t> slot_of;
  for (size_t i = 0; i < slots_.size(); ++i) {
    slots_[i].ready = 0;
    if (slots_[i].socket == kInvalidSocket) continue;
    polled.push_back(WSAPOLLFD{AsSocket(slots_[i].socket), POLLRDNORM, 0});
    slot_of.push_back(i);
  }
  if (polled.empty()) {
    ::Sleep(timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
    return 0;
  }
  const int n = ::WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), timeout_ms);
  if (n == SOCKET_ERROR) return ::WSAGetLastError() == WSAEINTR ? 0 : -1;
  for (size_t j = 0; j < polled.size(); ++j) slots_[slot_of[j]].ready = polled[j].revents;
  return n;
}

bool Poller::Readable(size_t index) const {
  return index < slots_.size() &&
         (slots_[index].ready & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

WakeEvent::WakeEvent() {
  EnsureWinsock();
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return;
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof self;
  u_long non_blocking = 1;
  if (::bind(s, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&self), &length) != 0 ||
      ::connect(s, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
      ::ioctlsocket(s, FIONBIO, &non_blocking) != 0) {
    ::closesocket(s);
    return;
  }
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  handle_ = static_cast<SocketHandle>(s);
}

WakeEvent::~WakeEvent() {
  if (valid()) ::closesocket(AsSocket(handle_));
}

void WakeEvent::Signal() {
  if (!valid()) return;
  // A datagram already waiting wakes the waiter too: a send that fails for a full buffer
  // loses nothing.
  const char one = 1;
  ::send(AsSocket(handle_), &one, 1, 0);
}

void WakeEvent::Drain() {
  if (!valid()) return;
  char bytes[64];
  while (::recv(AsSocket(handle_), bytes, sizeof bytes, 0) > 0) {
  }
}

}  // namespace kelvane::platform
