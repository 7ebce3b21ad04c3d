// platform/socket_handle.h -- the handle of one socket and its owner. A socket is a descriptor
// on Linux and a SOCKET (a pointer-sized handle, not a descriptor) on Windows, so the core keeps
// sockets apart from file descriptors and never compares a socket with -1 itself.
#pragma once

#include <cstdint>
#include <utility>

namespace kelvane::platform {

#if defined(_WIN32)
using SocketHandle = uintptr_t;  // SOCKET
inline constexpr SocketHandle kInvalidSocket = ~static_cast<uintptr_t>(0);  // INVALID_SOCKET
#else
using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;
#endif

// Closes a socket the caller released from its owner; false when the system reported an error
// (the socket is gone either way).
bool CloseSocket(SocketHandle socket);

// Owns one socket and closes it exactly once.
class UniqueSocket {
 public:
  UniqueSocket() = default;
  explicit UniqueSocket(SocketHandle socket) : socket_(socket) {}
  UniqueSocket(UniqueSocket&& other) noexcept : socket_(other.Release()) {}
  UniqueSocket& operator=(UniqueSocket&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  UniqueSocket(const UniqueSocket&) = delete;
  UniqueSocket& operator=(const UniqueSocket&) = delete;
  ~UniqueSocket() { Reset(); }

  bool valid() const { return socket_ != kInvalidSocket; }
  SocketHandle get() const { return socket_; }
  SocketHandle Release() { return std::exchange(socket_, kInvalidSocket); }
  void Reset(SocketHandle socket = kInvalidSocket) {
    if (socket_ != kInvalidSocket) CloseSocket(socket_);
    socket_ = socket;
  }

 private:
  SocketHandle socket_ = kInvalidSocket;
};

}  // namespace kelvane::platform
