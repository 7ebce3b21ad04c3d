// platform/poll.h -- waiting on many descriptors at once (Poller), a receive that never waits,
// and WakeEvent, which another thread signals to end such a wait early.
//
// A Poller belongs to the thread that waits on it. WakeEvent::Signal may be called from any
// thread, also while another thread waits on the event's descriptor.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/unique_fd.h"

namespace kelvane::platform {

// What ReceiveNow returns when nothing is waiting to be read.
inline constexpr long kNothingWaiting = -2;

// One receive of up to |size| bytes that returns at once, whatever the socket's mode: the
// count, 0 when the peer closed, kNothingWaiting, or -1 on error (a reset among others).
long ReceiveNow(int fd, void* buffer, size_t size);

// Waits until one of the descriptors added since Clear can be read (a closed or failed
// descriptor counts as readable: the next receive tells what happened).
class Poller {
 public:
  void Clear() { slots_.clear(); }
  // Adds |fd|; returns its index for Readable.
  size_t Add(int fd);
  // Waits up to |timeout_ms| (-1: without bound). The number of readable descriptors; 0 when
  // the time passed or a signal interrupted the wait (the caller recomputes its deadlines and
  // waits again); -1 when the system refused the wait.
  int Wait(int timeout_ms);
  bool Readable(size_t index) const;

 private:
  struct Slot {
    int fd;
    short ready;  // the events poll reported
  };
  std::vector<Slot> slots_;
};

// A descriptor that becomes readable when signalled and stays so until Drain.
class WakeEvent {
 public:
  WakeEvent();
  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  void Signal();
  void Drain();

 private:
  UniqueFd fd_;
};

}  // namespace kelvane::platform
