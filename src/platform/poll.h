// platform/poll.h -- waiting on many sockets at once (Poller), a receive that never waits,
// and WakeEvent, which another thread signals to end such a wait early.
//
// A Poller belongs to the thread that waits on it. WakeEvent::Signal may be called from any
// thread, also while another thread waits on the event.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/socket_handle.h"

namespace kelvane::platform {

// What ReceiveNow returns when nothing is waiting to be read.
inline constexpr long kNothingWaiting = -2;

// One receive of up to |size| bytes that returns at once, whatever the socket's mode: the
// count, 0 when the peer closed, kNothingWaiting, or -1 on error (a reset among others).
long ReceiveNow(SocketHandle socket, void* buffer, size_t size);

// Waits until one of the sockets added since Clear can be read (a closed or failed
// socket counts as readable: the next receive tells what happened). A slot holding
// kInvalidSocket is never readable and is not handed to the system (Windows' WSAPoll would
// refuse the whole wait).
class Poller {
 public:
  void Clear() { slots_.clear(); }
  // Adds |socket|; returns its index for Readable.
  size_t Add(SocketHandle socket);
  // Waits up to |timeout_ms| (-1: without bound). The number of readable sockets; 0 when
  // the time passed or a signal interrupted the wait (the caller recomputes its deadlines and
  // waits again); -1 when the system refused the wait.
  int Wait(int timeout_ms);
  bool Readable(size_t index) const;

 private:
  struct Slot {
    SocketHandle socket;
    short ready;  // the events poll reported
  };
  std::vector<Slot> slots_;
};

// A handle that Poller waits on like a socket, readable once signalled until Drain: an eventfd
// on Linux, a loopback datagram socket that sends to itself on Windows.
class WakeEvent {
 public:
  WakeEvent();
  ~WakeEvent();
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;
  bool valid() const { return handle_ != kInvalidSocket; }
  SocketHandle handle() const { return handle_; }
  void Signal();
  void Drain();

 private:
  SocketHandle handle_ = kInvalidSocket;
};

}  // namespace kelvane::platform
