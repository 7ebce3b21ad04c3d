// net/net_test_twin.h -- the few socket calls each platform's test helpers supply
// (net_test_util_linux.cpp, net_test_util_win.cpp) for the helpers both share
// (net_test_util.cpp).
#pragma once

#include <chrono>
#include <cstddef>

#include "platform/socket_handle.h"

namespace kelvane::net::nettest {

// What ReceiveWithin returns when |deadline| passed with nothing to read.
constexpr long kReceiveTimedOut = -2;

// Milliseconds from now to |deadline|, 0 once it has passed.
int RemainingMs(std::chrono::steady_clock::time_point deadline);

// One receive of at most |size| bytes once |fd| is readable: the bytes received, 0 when the
// peer closed, -1 on an error, kReceiveTimedOut when |deadline| came first.
long ReceiveWithin(platform::SocketHandle fd, char* buffer, size_t size,
                   std::chrono::steady_clock::time_point deadline);

void SetNoDelay(platform::SocketHandle fd);

}  // namespace kelvane::net::nettest
