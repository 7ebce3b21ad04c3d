// platform/poll_linux.cpp -- the Linux twin of the poller, the receive that never waits and the
// wake event (an eventfd).
#include "platform/poll.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvane::platform {

long ReceiveNow(SocketHandle socket, void* buffer, size_t size) {
  for (;;) {
    const ssize_t n = ::recv(socket, buffer, size, MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kNothingWaiting;
    return -1;
  }
}

size_t Poller::Add(SocketHandle socket) {
  slots_.push_back(Slot{socket, 0});
  return slots_.size() - 1;
}

int Poller::Wait(int timeout_ms) {
  std::vector<pollfd> fds(slots_.size());
  for (size_t i = 0; i < slots_.size(); ++i) fds[i] = pollfd{slots_[i].socket, POLLIN, 0};
  const int n = ::poll(fds.data(), fds.size(), timeout_ms);
  for (size_t i = 0; i < slots_.size(); ++i) slots_[i].ready = n > 0 ? fds[i].revents : 0;
  if (n < 0) return errno == EINTR ? 0 : -1;
  return n;
}

bool Poller::Readable(size_t index) const {
  return index < slots_.size() && (slots_[index].ready & (POLLIN | POLLHUP | POLLERR)) != 0;
}

WakeEvent::WakeEvent() : handle_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WakeEvent::~WakeEvent() {
  if (valid()) ::close(handle_);
}

void WakeEvent::Signal() {
  if (!valid()) return;
  const uint64_t one = 1;
  // A full counter already wakes the waiter: a failed write loses nothing.
  while (::write(handle_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void WakeEvent::Drain() {
  uint64_t count = 0;
  while (::read(handle_, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

}  // namespace kelvane::platform
