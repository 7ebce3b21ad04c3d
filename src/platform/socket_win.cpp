// platform/socket_win.cpp -- the Windows twin of the socket services (Winsock 2), and Winsock's
// start-up for the other Windows twins.
#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "platform/file_io.h"
#include "platform/winsock_startup_win.h"

namespace kelvane::platform {
namespace {

// The largest piece one send hands to Winsock. A blocking send waits until Winsock took all of
// it, so the piece bounds how long a send may block past the moment select reported room.
constexpr size_t kSendPiece = 64 * 1024;

// What SendFileRange reads from the file per send.
constexpr size_t kFileBlock = 64 * 1024;

sockaddr_in ToSockaddr(const Ipv4Endpoint& endpoint) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(endpoint.port);
  sa.sin_addr.s_addr = htonl(endpoint.address);
  return sa;
}

SOCKET AsSocket(SocketHandle socket) { return static_cast<SOCKET>(socket); }

// Unlike Linux, Windows wakes neither a select nor a blocking receive or send of another thread
// when a socket is shut down. ShutdownBoth therefore cancels the socket's pending calls and
// records the socket here until it is closed: a cancelled call does not start again, and
// WaitReadable, whose select may begin just after the cancellation, waits in slices of
// kShutCheckMs and looks here between them.
constexpr int64_t kShutCheckMs = 100;
std::mutex g_shut_lock;
std::unordered_set<SocketHandle>& ShutSockets() {
  static auto* const shut = new std::unordered_set<SocketHandle>;  // never destroyed: threads
  return *shut;                                                     // may outlive static objects
}
bool WasShut(SocketHandle socket) {
  std::lock_guard<std::mutex> hold(g_shut_lock);
  return ShutSockets().count(socket) != 0;
}

// Keeps a new socket out of the processes this one starts.
SocketHandle NotInherited(SOCKET socket) {
  if (socket != INVALID_SOCKET) {
    ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
  }
  return static_cast<SocketHandle>(socket);
}

bool SetTimeout(SocketHandle socket, int option, int milliseconds) {
  const DWORD value = milliseconds < 0 ? 0 : static_cast<DWORD>(milliseconds);
  return ::setsockopt(AsSocket(socket), SOL_SOCKET, option, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0;
}

// The socket's SO_SNDTIMEO in milliseconds; 0 for none or when it cannot be read.
int64_t SendTimeoutMs(SocketHandle socket) {
  DWORD value = 0;
  int length = sizeof value;
  if (::getsockopt(AsSocket(socket), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char*>(&value),
                   &length) != 0) {
    return 0;
  }
  return static_cast<int64_t>(value);
}

// The system's text for a Winsock error, without the line end FormatMessage appends.
std::string ErrorText(int code) {
  char text[512] = {};
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
  std::string result(text, n);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ')) {
    result.pop_back();
  }
  return result;
}

bool IsTransientAcceptError(int code) {
  switch (code) {
    case WSAEMFILE:
    case WSAENOBUFS:
    case WSAEWOULDBLOCK:
    case WSAENETDOWN:
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAEHOSTDOWN:
    case WSAECONNREFUSED:  // a conditional accept or a firewall rule turned the client away
    case WSAEACCES:
    case WSATRY_AGAIN:
      return true;
    default:
      return false;
  }
}

// Waits until the socket may take bytes or |timeout_ms| passed (-1: no bound). 1 when it may
// (also when it is in error or shut down: the next send tells why), 0 when the time passed,
// -1 when select failed.
int WaitWritable(SocketHandle socket, int64_t timeout_ms) {
  for (;;) {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(AsSocket(socket), &writable);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(AsSocket(socket), &failed);
    timeval tv{};
    timeval* bound = nullptr;
    if (timeout_ms >= 0) {
      tv.tv_sec = static_cast<long>(timeout_ms / 1000);
      tv.tv_usec = static_cast<long>((timeout_ms % 1000) * 1000);
      bound = &tv;
    }
    const int n = ::select(0, nullptr, &writable, &failed, bound);
    if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEINTR && !WasShut(socket)) continue;
    if (n == SOCKET_ERROR) return -1;
    return n > 0 ? 1 : 0;
  }
}

}  // namespace

bool EnsureWinsock() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    WSADATA data{};
    started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return started;
}

bool CloseSocket(SocketHandle socket) {
  {
    std::lock_guard<std::mutex> hold(g_shut_lock);
    ShutSockets().erase(socket);  // the system hands the value out again
  }
  return ::closesocket(AsSocket(socket)) == 0;
}

UniqueSocket NewStreamSocket() {
  EnsureWinsock();
  return UniqueSocket(NotInherited(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
}

// Windows lets a listener bind over TIME_WAIT connections without an option; its SO_REUSEADDR
// would instead let another program bind the same port and take connections away. The exclusive
// option also keeps a second listener of this program off a port that is taken.
bool SetReuseAddress(SocketHandle socket) {
  const BOOL on = TRUE;
  return ::setsockopt(AsSocket(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                      reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

bool Bind(SocketHandle socket, const Ipv4Endpoint& local) {
  const sockaddr_in sa = ToSockaddr(local);
  return ::bind(AsSocket(socket), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

bool Listen(SocketHandle socket, int backlog) { return ::listen(AsSocket(socket), backlog) == 0; }

uint16_t LocalPort(SocketHandle socket) {
  sockaddr_in sa{};
  int length = sizeof sa;
  if (::getsockname(AsSocket(socket), reinterpret_cast<sockaddr*>(&sa), &length) != 0) return 0;
  return ntohs(sa.sin_port);
}

bool LocalEndpoint(SocketHandle socket, Ipv4Endpoint* local) {
  sockaddr_in sa{};
  int length = sizeof sa;
  if (::getsockname(AsSocket(socket), reinterpret_cast<sockaddr*>(&sa), &length) != 0 ||
      sa.sin_family != AF_INET) {
    return false;
  }
  local->address = ntohl(sa.sin_addr.s_addr);
  local->port = ntohs(sa.sin_port);
  return true;
}

bool SetNonBlocking(SocketHandle socket) {
  u_long on = 1;
  return ::ioctlsocket(AsSocket(socket), FIONBIO, &on) == 0;
}

namespace {

// The next queued client, passing over interrupted calls and clients that reset while they
// were queued (the next one may be waiting); INVALID_SOCKET with |*code| when none was taken.
SOCKET AcceptQueued(SocketHandle listen_socket, Ipv4Endpoint* peer, int* code) {
  for (;;) {
    sockaddr_in sa{};
    int length = sizeof sa;
    const SOCKET accepted =
        ::accept(AsSocket(listen_socket), reinterpret_cast<sockaddr*>(&sa), &length);
    if (accepted != INVALID_SOCKET) {
      peer->address = ntohl(sa.sin_addr.s_addr);
      peer->port = ntohs(sa.sin_port);
      return accepted;
    }
    *code = ::WSAGetLastError();
    if ((*code != WSAEINTR || WasShut(listen_socket)) && *code != WSAECONNRESET) {
      return INVALID_SOCKET;
    }
  }
}

}  // namespace

UniqueSocket AcceptNow(SocketHandle listen_socket, Ipv4Endpoint* peer) {
  int code = 0;
  UniqueSocket owned(NotInherited(AcceptQueued(listen_socket, peer, &code)));
  // A Windows socket inherits its listener's non-blocking mode; the senders expect blocking.
  u_long off = 0;
  if (owned.valid() && ::ioctlsocket(AsSocket(owned.get()), FIONBIO, &off) != 0) {
    return UniqueSocket();
  }
  return owned;
}

UniqueSocket Accept(SocketHandle listen_socket, Ipv4Endpoint* peer, AcceptError* error) {
  int code = 0;
  UniqueSocket owned(NotInherited(AcceptQueued(listen_socket, peer, &code)));
  if (error != nullptr) {
    *error = owned.valid() ? AcceptError{}
                           : AcceptError{IsTransientAcceptError(code) ? AcceptFailure::kTransient
                                                                      : AcceptFailure::kFatal,
                                         ErrorText(code)};
  }
  return owned;
}

bool Connect(SocketHandle socket, const Ipv4Endpoint& remote) {
  const sockaddr_in sa = ToSockaddr(remote);
  return ::connect(AsSocket(socket), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

bool SetSendTimeout(SocketHandle socket, int milliseconds) {
  return SetTimeout(socket, SO_SNDTIMEO, milliseconds);
}

bool SetReceiveTimeout(SocketHandle socket, int milliseconds) {
  return SetTimeout(socket, SO_RCVTIMEO, milliseconds);
}

// The socket stays blocking (its mode cannot be read back on Windows, and another thread's
// receive must keep waiting): select waits for room with what is left of the time-out since the
// last progress, then one send hands over at most kSendPiece bytes. A blocking send may still
// wait for room for its piece; the socket's own SO_SNDTIMEO bounds that wait.
long SendAll(SocketHandle socket, const void* data, size_t size, int flags, size_t* taken) {
  using Clock = std::chrono::steady_clock;
  const auto* in = static_cast<const char*>(data);
  const int64_t timeout_ms = SendTimeoutMs(socket);
  Clock::time_point last_progress = Clock::now();
  size_t sent = 0;
  const auto result = [&](long value) {
    if (taken != nullptr) *taken = sent;
    return value;
  };
  while (sent < size) {
    int64_t wait_ms = -1;
    if (timeout_ms > 0) {
      wait_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                    last_progress + std::chrono::milliseconds(timeout_ms) - Clock::now())
                    .count();
      if (wait_ms <= 0) {
        ::WSASetLastError(WSAETIMEDOUT);
        return result(-1);
      }
    }
    const int ready = WaitWritable(socket, wait_ms);
    if (ready < 0) return result(-1);
    if (ready == 0) continue;  // the time-out is due: the top of the loop fails
    const int piece = static_cast<int>(std::min(size - sent, kSendPiece));
    const int n = ::send(AsSocket(socket), in + sent, piece, flags);
    if (n == SOCKET_ERROR) {
      const int code = ::WSAGetLastError();
      if (code == WSAEINTR || code == WSAEWOULDBLOCK) continue;
      return result(-1);
    }
    if (n == 0) return result(-1);
    sent += static_cast<size_t>(n);
    last_progress = Clock::now();
  }
  return result(static_cast<long>(sent));
}

bool LastSendTimedOut() {
  const int code = ::WSAGetLastError();
  return code == WSAETIMEDOUT || code == WSAEWOULDBLOCK;
}

long ReceiveSome(SocketHandle socket, void* buffer, size_t size) {
  const int want = static_cast<int>(std::min<size_t>(size, 0x7FFFFFFF));
  for (;;) {
    const int n = ::recv(AsSocket(socket), static_cast<char*>(buffer), want, 0);
    if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEINTR && !WasShut(socket)) continue;
    return n == SOCKET_ERROR ? -1 : static_cast<long>(n);
  }
}

bool WaitReadable(SocketHandle socket, int64_t timeout_microseconds) {
  // Rounded up to milliseconds like the Linux twin, so that both wait alike.
  const int64_t timeout_ms = (std::max<int64_t>(timeout_microseconds, 0) + 999) / 1000;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    // A shut socket counts as readable: the next receive fails at once.
    if (WasShut(socket)) return true;
    const int64_t left_ms = std::max<int64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count(), 0);
    const int64_t slice_ms = std::min(left_ms, kShutCheckMs);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(AsSocket(socket), &readable);
    timeval tv{};
    tv.tv_sec = static_cast<long>(slice_ms / 1000);
    tv.tv_usec = static_cast<long>((slice_ms % 1000) * 1000);
    const int n = ::select(0, &readable, nullptr, nullptr, &tv);
    if (n == 1) return true;
    if (n == SOCKET_ERROR && ::WSAGetLastError() != WSAEINTR) return false;
    if (n == 0 && slice_ms == left_ms) return WasShut(socket);
  }
}

long PendingBytes(SocketHandle socket) {
  u_long count = 0;
  if (::ioctlsocket(AsSocket(socket), FIONREAD, &count) != 0) return -1;
  return static_cast<long>(count);
}

bool ShutdownBoth(SocketHandle socket) {
  const bool shut = ::shutdown(AsSocket(socket), SD_BOTH) == 0;
  {
    std::lock_guard<std::mutex> hold(g_shut_lock);
    ShutSockets().insert(socket);
  }
  // After the record, so that a cancelled call sees it and does not start again.
  ::CancelIoEx(reinterpret_cast<HANDLE>(AsSocket(socket)), nullptr);
  return shut;
}

// Reads the file in blocks and sends each with SendAll; each block's send keeps the time-out
// from the last progress, so the whole call keeps it as SendAll does. The reads are positioned:
// see file_io.h on the shared file pointer.
long SendFileRange(SocketHandle socket, int in_fd, int64_t* offset, size_t count) {
  std::vector<char> block(std::min(count, kFileBlock));
  size_t sent = 0;
  while (sent < count) {
    const size_t want = std::min(count - sent, block.size());
    const long got = ReadFullAt(in_fd, block.data(), want, *offset);
    if (got <= 0) break;  // the file ended early, or could not be read: fewer bytes
    size_t taken = 0;
    if (SendAll(socket, block.data(), static_cast<size_t>(got), 0, &taken) < 0) {
      *offset += static_cast<int64_t>(taken);
      return -1;
    }
    *offset += got;
    sent += static_cast<size_t>(got);
    if (static_cast<size_t>(got) < want) break;
  }
  return static_cast<long>(sent);
}

bool SetNoDelay(SocketHandle socket) {
  const BOOL on = TRUE;
  return ::setsockopt(AsSocket(socket), IPPROTO_TCP, TCP_NODELAY,
                      reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

std::string FormatDotted(uint32_t address) {
  char text[16] = {};
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xFFu, (address >> 16) & 0xFFu,
                (address >> 8) & 0xFFu, address & 0xFFu);
  return text;
}

// Parsed here rather than by InetPton, so that both platforms take exactly the texts the Linux
// twin's inet_pton takes: four decimal parts of 0..255 without leading zeros, nothing around.
uint32_t ParseDotted(const std::string& text) {
  uint32_t address = 0;
  size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (at >= text.size() || text[at] != '.') return kNoneAddress;
      ++at;
    }
    const size_t begin = at;
    uint32_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - begin < 3) {
      value = value * 10 + static_cast<uint32_t>(text[at] - '0');
      ++at;
    }
    const size_t digits = at - begin;
    if (digits == 0 || value > 255 || (digits > 1 && text[begin] == '0')) return kNoneAddress;
    address = (address << 8) | value;
  }
  return at == text.size() ? address : kNoneAddress;
}

// Windows has no SIGPIPE: a send to a closed peer fails with an error.
void IgnoreBrokenPipe() {}

bool ShutdownSend(SocketHandle socket) { return ::shutdown(AsSocket(socket), SD_SEND) == 0; }

bool SetOobInline(SocketHandle socket) {
  const BOOL on = TRUE;
  return ::setsockopt(AsSocket(socket), SOL_SOCKET, SO_OOBINLINE,
                      reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

bool SetResetOnClose(SocketHandle socket) {
  linger abortive{};
  abortive.l_onoff = 1;
  abortive.l_linger = 0;
  return ::setsockopt(AsSocket(socket), SOL_SOCKET, SO_LINGER,
                      reinterpret_cast<const char*>(&abortive), sizeof abortive) == 0;
}

}  // namespace kelvane::platform
