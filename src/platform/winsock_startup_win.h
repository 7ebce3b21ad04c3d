// platform/winsock_startup_win.h -- Winsock's start-up, shared by the Windows twins that make
// sockets (socket_win.cpp, poll_win.cpp). Included by no file outside platform/.
#pragma once

namespace kelvane::platform {

// Starts Winsock 2.2 once per process (any thread, any number of calls). It is never cleaned up:
// sockets may live until the process exits. False when Winsock could not be started; the
// socket calls then fail on their own.
bool EnsureWinsock();

}  // namespace kelvane::platform
