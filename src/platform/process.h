// platform/process.h -- what the application asks of its own process: the executable's path,
// the environment, the temporary folder, the descriptor limit, the privilege to bind low ports,
// and the termination signals.
//
// The signal functions are for the window's thread; the others may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvane::platform {

// The full path of the running executable as the system reports it (symbolic links resolved);
// nullopt when it cannot be read.
std::optional<std::string> OwnExecutablePath();

// The characters that end a folder's name in a path: "/" on Linux (a backslash is an ordinary
// character of a file name there), "\\/" on Windows.
std::string_view PathSeparators();

// The value of the environment variable |name|; nullopt when it is not set.
std::optional<std::string> GetEnvironment(const char* name);

// The folder for temporary files, ending in '/': $TMPDIR when it names a directory, else /tmp;
// nullopt when neither is a directory. Windows: GetTempPath's folder, ending in a backslash; nullopt
// when it is not a directory.
std::optional<std::string> TemporaryFolder();

// Raises the soft limit of open descriptors to the hard limit, so that a burst of clients meets
// the system's real limit rather than a low default. False when it could not be raised.
bool RaiseDescriptorLimit();

// Whether this process may bind |port| as far as privileges go (whether the port is free is
// not looked at): ports from /proc/sys/net/ipv4/ip_unprivileged_port_start up (1024 when it
// cannot be read), and port 0, are open to everyone; lower ones need CAP_NET_BIND_SERVICE in
// the effective set (read from /proc/self/status; root counts when that cannot be read).
// Windows has no privileged ports (always true), nor a descriptor limit to raise (true).
bool MayBindPort(uint16_t port);

// Blocks SIGINT and SIGTERM for the calling thread and every thread it starts afterwards, so
// that only WaitForTerminationSignal receives them. False when the mask could not be set.
// Windows: installs a console control handler instead; it records the event for the waiter and
// keeps the process alive (for a close, log-off or shut-down, up to 4.5 s, after which the
// system ends the process) so that the waiter can end the program in order.
bool BlockTerminationSignals();

// Waits until SIGINT or SIGTERM arrives (both blocked before) and returns its number, or -1
// when waiting failed. Windows: SIGINT for Ctrl+C, SIGBREAK (21) for Ctrl+Break, SIGTERM for
// the console's close, a log-off or a shut-down.
int WaitForTerminationSignal();

}  // namespace kelvane::platform
