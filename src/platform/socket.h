// platform/socket.h -- the socket services of the core, on POSIX sockets on Linux and Winsock 2
// on Windows (IPv4, blocking).
//
// Every EINTR and short-send loop of the network code lives in socket_<platform>.cpp; nothing
// here raises SIGPIPE (sends use MSG_NOSIGNAL; SendFileRange holds the signal back while it
// sends; Windows has no such signal). Sockets are owned by UniqueSocket. All functions may be
// called from any thread; a socket is used by one thread at a time, except ShutdownBoth, which
// another thread may call to unblock a receive or a send. On Windows Winsock is started by the
// first call that makes a socket, and is never cleaned up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/socket_handle.h"

namespace kelvane::platform {

// An IPv4 endpoint in host byte order.
struct Ipv4Endpoint {
  uint32_t address = 0;  // 127.0.0.1 is 0x7F000001
  uint16_t port = 0;
};

inline constexpr uint32_t kLoopback = 0x7F000001;
inline constexpr uint32_t kAnyAddress = 0;
inline constexpr uint32_t kNoneAddress = 0xFFFFFFFF;  // what an unparsable dotted host becomes

// A new IPv4 stream socket (close-on-exec; on Windows not inherited); invalid on failure.
UniqueSocket NewStreamSocket();

// Lets a listening socket bind at once to a port whose old connections still linger. On
// Windows, which allows that without an option, it sets SO_EXCLUSIVEADDRUSE instead, so that no
// other socket may bind the port while this one holds it (Windows' SO_REUSEADDR would let one).
bool SetReuseAddress(SocketHandle socket);

bool Bind(SocketHandle socket, const Ipv4Endpoint& local);
bool Listen(SocketHandle socket, int backlog);

// The port a bound socket got (useful after binding port 0); 0 on failure.
uint16_t LocalPort(SocketHandle socket);

// The local address and port of a bound or connected socket: for an accepted socket, the
// address the client reached. False (|*local| untouched) when the system cannot tell.
bool LocalEndpoint(SocketHandle socket, Ipv4Endpoint* local);

// Makes |socket| non-blocking for good; a listener so made is what AcceptNow takes.
bool SetNonBlocking(SocketHandle socket);

// Why an accept failed. Transient failures (descriptors or memory exhausted, a connection that
// went away while queued, a refusal by a firewall rule) leave the listening socket usable: the
// caller should pause briefly and accept again. Fatal ones mean the listening socket is gone or
// shut down.
enum class AcceptFailure { kNone, kTransient, kFatal };

struct AcceptError {
  AcceptFailure failure = AcceptFailure::kNone;
  std::string reason;  // the system's text for the failure, empty without one
};

// Waits for a client. Invalid on failure, with |*error| (when given) telling why; |*peer|
// receives the client's endpoint.
UniqueSocket Accept(SocketHandle listen_socket, Ipv4Endpoint* peer, AcceptError* error = nullptr);

// Takes one client waiting on a listener made non-blocking (SetNonBlocking) and never waits:
// invalid when none is waiting or the accept failed. The accepted socket blocks, whatever
// the listener's mode (a Windows socket would inherit it), and is close-on-exec (on Windows
// not inherited); |*peer| receives the client's endpoint.
UniqueSocket AcceptNow(SocketHandle listen_socket, Ipv4Endpoint* peer);

bool Connect(SocketHandle socket, const Ipv4Endpoint& remote);

// SO_SNDTIMEO / SO_RCVTIMEO in milliseconds (0: wait for ever). The send time-out is the one
// SendAll and SendFileRange keep (see there); the receive time-out bounds each receive.
bool SetSendTimeout(SocketHandle socket, int milliseconds);
bool SetReceiveTimeout(SocketHandle socket, int milliseconds);

// Turns Nagle's algorithm off (TCP_NODELAY), so that a small send goes out at once instead of
// waiting for the acknowledgement of the previous one.
bool SetNoDelay(SocketHandle socket);

// Sends every byte. It fails when the connection takes no byte for the socket's send time-out
// (SetSendTimeout; 0 waits for ever), counted from the call's start or the last byte the socket
// took or the peer acknowledged, however large |size| is; the whole call is otherwise
// unbounded. (A stall is noticed within a twentieth of the time-out after it is due, 500 ms at
// most.) |flags| go to every send, with MSG_NOSIGNAL and MSG_DONTWAIT added: the waiting is
// done here, and a caller's MSG_DONTWAIT does not stop it. Returns the bytes sent (all of
// them), or -1 after a failed send or the time-out (errno EAGAIN); ShutdownBoth from another
// thread makes it fail at once. |*taken| (when not null) receives the bytes the socket took,
// also when the call fails: those are on their way all the same.
// Windows: the socket stays blocking; select waits for room with the time left, and each send
// hands over at most 64 KiB, which the socket's SO_SNDTIMEO bounds in turn: a stall is noticed
// after one to two time-outs. ShutdownBoth makes the next wait or send fail.
long SendAll(SocketHandle socket, const void* data, size_t size, int flags = 0,
             size_t* taken = nullptr);

// Whether the SendAll or SendFileRange that just failed on this thread failed by the send
// time-out (the peer stalled) rather than by a lost connection. Ask right after the failure,
// before any other call that may set the thread's error.
bool LastSendTimedOut();

// One receive of up to |size| bytes: the count, 0 when the peer closed, -1 on error (a receive
// time-out included).
long ReceiveSome(SocketHandle socket, void* buffer, size_t size);

// Reads one line a byte per receive into |buffer| of |capacity| (>= 1) bytes: LF ends it and is
// not kept, CR is dropped wherever it occurs, the text is terminated. Returns the bytes consumed
// (LF included); |capacity| when capacity - 1 bytes came without a LF (the rest stays unread);
// consumed + 1 when the peer closed in mid-line; 0 when it closed before any byte; -1 on error.
int ReceiveLine(SocketHandle socket, char* buffer, int capacity);

// Waits until the socket is readable. True when it became readable (or closed) in time.
bool WaitReadable(SocketHandle socket, int64_t timeout_microseconds);

// Bytes waiting to be read; -1 on error.
long PendingBytes(SocketHandle socket);

// Shuts both directions down; false when the socket refused (e.g. not connected).
bool ShutdownBoth(SocketHandle socket);

// Copies |count| bytes of the file |in_fd| from |*offset| to the socket without passing them
// through user space (on Windows: positioned reads of 64 KiB and SendAll), advancing |*offset|
// past every byte the socket took, also when a send fails. Returns the bytes sent (fewer when
// the file ended early), or -1 on a failed send; the send time-out is kept as in SendAll,
// across the whole call. The socket is non-blocking while the call lasts and gets its own mode back after.
long SendFileRange(SocketHandle socket, int in_fd, int64_t* offset, size_t count);

// "a.b.c.d" for an address, and back; ParseDotted yields kNoneAddress for anything else
// (four decimal parts of 0..255 without leading zeros, on both platforms).
std::string FormatDotted(uint32_t address);
uint32_t ParseDotted(const std::string& text);

// Makes sure a peer that closes never kills the process with SIGPIPE (idempotent).
void IgnoreBrokenPipe();

// Ends the sending direction only: the peer reads the end of the stream, and this side may
// still receive. False when the socket refused (e.g. not connected).
bool ShutdownSend(SocketHandle socket);

// Keeps urgent (out-of-band) bytes in the ordinary stream (SO_OOBINLINE), so that a peer that
// sends a line's last byte as urgent data (clients do so with ABOR) is still read whole.
bool SetOobInline(SocketHandle socket);

// Makes the next close of |socket| abortive: the peer gets a reset instead of an end of stream, so
// that it can tell a cut-off answer from a complete one.
bool SetResetOnClose(SocketHandle socket);

}  // namespace kelvane::platform
