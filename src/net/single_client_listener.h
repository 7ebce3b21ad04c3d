// net/single_client_listener.h -- a listening socket opened for one expected client: bound to
// one local address at a port from a range, it hands over the first connection that comes from
// the expected address and closes every other one, with a trace line each (so that nobody else
// can take a connection meant for that client).
//
// Made, used and destroyed by one thread (an FTP session's, for one passive transfer).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/socket.h"

namespace kelvane::net {

class SingleClientListener {
 public:
  // The longest single wait of Accept: |stop| is asked at least this often.
  static constexpr int kSliceMs = 100;

  // Listens on |address| at a free port from |first| to |last|, trying them in turn from
  // first + |hint| % (range size) on and wrapping; |first| 0 takes any port the system gives.
  // nullptr when no port could be bound.
  static std::unique_ptr<SingleClientListener> Open(uint32_t address, uint16_t first,
                                                    uint16_t last, uint32_t hint);

  uint16_t port() const { return port_; }

  // The first waiting client from |peer_address|, waiting until |deadline| at most (a
  // deadline already past looks once, without waiting) and asking |stop| (when given) between
  // waits. Invalid when none came in time or |stop| answered true.
  platform::UniqueSocket Accept(uint32_t peer_address,
                                std::chrono::steady_clock::time_point deadline,
                                const std::function<bool()>& stop);

 private:
  SingleClientListener(platform::UniqueSocket socket, uint16_t port)
      : socket_(std::move(socket)), port_(port) {}
  // One waiting client from |peer_address|, closing the others that wait before it; invalid
  // when none is waiting.
  platform::UniqueSocket TakeWaiting(uint32_t peer_address);

  platform::UniqueSocket socket_;
  uint16_t port_ = 0;
};

}  // namespace kelvane::net
