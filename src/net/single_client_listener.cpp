// net/single_client_listener.cpp -- the listener of one expected client; its refusals are traced
// from here.
#include "net/single_client_listener.h"

#include <algorithm>
#include <thread>

#include "trace/trace.h"

namespace kelvane::net {
namespace {

// Room for the expected client and a few others that try their luck meanwhile.
constexpr int kBacklog = 8;

// A listening, non-blocking socket on |address|:|port|, or an invalid one.
platform::UniqueSocket ListenOn(uint32_t address, uint16_t port) {
  platform::UniqueSocket socket = platform::NewStreamSocket();
  if (!socket.valid()) return socket;
  // A port of the range comes round again while connections of its last transfer linger.
  platform::SetReuseAddress(socket.get());
  if (!platform::Bind(socket.get(), {address, port}) ||
      !platform::Listen(socket.get(), kBacklog) || !platform::SetNonBlocking(socket.get())) {
    return platform::UniqueSocket();
  }
  return socket;
}

}  // namespace

std::unique_ptr<SingleClientListener> SingleClientListener::Open(uint32_t address,
                                                                 uint16_t first, uint16_t last,
                                                                 uint32_t hint) {
  if (first == 0) {
    platform::UniqueSocket socket = ListenOn(address, 0);
    const uint16_t port = socket.valid() ? platform::LocalPort(socket.get()) : 0;
    if (port == 0) return nullptr;
    return std::unique_ptr<SingleClientListener>(new SingleClientListener(std::move(socket), port));
  }
  if (last < first) return nullptr;
  const uint32_t count = uint32_t{last} - first + 1;
  for (uint32_t i = 0; i < count; ++i) {
    const auto port = static_cast<uint16_t>(first + (hint + i) % count);
    platform::UniqueSocket socket = ListenOn(address, port);
    if (socket.valid()) {
      return std::unique_ptr<SingleClientListener>(
          new SingleClientListener(std::move(socket), port));
    }
  }
  KELVANE_TRACE("SingleClientListener: no free port from %u to %u\n", first, last);
  return nullptr;
}

platform::UniqueSocket SingleClientListener::TakeWaiting(uint32_t peer_address) {
  for (;;) {
    platform::Ipv4Endpoint peer;
    platform::UniqueSocket client = platform::AcceptNow(socket_.get(), &peer);
    if (!client.valid() || peer.address == peer_address) return client;
    KELVANE_TRACE("SingleClientListener: connection from %s to port %u refused\n",
                  platform::FormatDotted(peer.address).c_str(), port_);
    platform::ShutdownBoth(client.get());
  }
}

platform::UniqueSocket SingleClientListener::Accept(
    uint32_t peer_address, std::chrono::steady_clock::time_point deadline,
    const std::function<bool()>& stop) {
  using std::chrono::steady_clock;
  bool was_readable = false;
  for (;;) {
    platform::UniqueSocket client = TakeWaiting(peer_address);
    if (client.valid()) return client;
    if (stop && stop()) return client;
    const int64_t left_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now())
            .count();
    if (left_ms <= 0) return client;
    const int64_t slice_ms = std::min<int64_t>(left_ms, kSliceMs);
    if (was_readable) {
      // Readable, yet nothing could be accepted (descriptors ran out, or the client went away
      // while queued): pause instead of spinning on a listener that stays readable.
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(slice_ms, 10)));
    }
    was_readable = platform::WaitReadable(socket_.get(), slice_ms * 1000);
  }
}

}  // namespace kelvane::net
