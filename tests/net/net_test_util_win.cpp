// net/net_test_util_win.cpp -- loopback sockets and bounded reads for the network tests (Winsock).
#include "net_test_util.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>

namespace kelvane::net::nettest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTestReceiveTimeoutMs = 30000;

sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sa;
}

SOCKET S(platform::SocketHandle fd) { return static_cast<SOCKET>(fd); }

// Starts Winsock for the helpers that may run before the code under test made a socket.
platform::SocketHandle NewSocket() {
  static const bool started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) return platform::kInvalidSocket;
  return static_cast<platform::SocketHandle>(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
}

void SetReceiveTimeout(platform::SocketHandle fd, int milliseconds_value) {
  const DWORD value = static_cast<DWORD>(milliseconds_value);
  ::setsockopt(S(fd), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value), sizeof value);
}

// Whether |fd| is readable within |timeout_ms|: 1, 0 when the time passed, -1 on an error.
int PollReadable(platform::SocketHandle fd, int timeout_ms) {
  WSAPOLLFD p{};
  p.fd = S(fd);
  p.events = POLLRDNORM;
  const int n = ::WSAPoll(&p, 1, timeout_ms);
  return n == SOCKET_ERROR ? -1 : n;
}

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

platform::UniqueSocket ListenLoopback(uint16_t* port, bool reuse) {
  platform::UniqueSocket fd(NewSocket());
  if (!fd.valid()) return fd;
  if (reuse) {
    const BOOL on = TRUE;
    ::setsockopt(S(fd.get()), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
  }
  const sockaddr_in sa = LoopbackAddress(0);
  if (::bind(S(fd.get()), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
      ::listen(S(fd.get()), 64) != 0) {
    return platform::UniqueSocket();
  }
  *port = LocalPortOf(fd.get());
  return fd;
}

platform::UniqueSocket ConnectLoopback(uint16_t port) {
  platform::UniqueSocket fd = NewLoopbackSocket();
  if (!fd.valid() || !ConnectSocket(fd.get(), port)) return platform::UniqueSocket();
  return fd;
}

platform::UniqueSocket NewLoopbackSocket() {
  platform::UniqueSocket fd(NewSocket());
  if (fd.valid()) SetReceiveTimeout(fd.get(), kTestReceiveTimeoutMs);
  return fd;
}

bool ConnectSocket(platform::SocketHandle fd, uint16_t port) {
  const sockaddr_in sa = LoopbackAddress(port);
  return ::connect(S(fd), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

platform::UniqueSocket AcceptWithin(platform::SocketHandle listen_fd, milliseconds bound) {
  if (!ReadableWithin(listen_fd, bound)) return platform::UniqueSocket();
  platform::UniqueSocket fd(static_cast<platform::SocketHandle>(::accept(S(listen_fd), nullptr, nullptr)));
  if (fd.valid()) SetReceiveTimeout(fd.get(), kTestReceiveTimeoutMs);
  return fd;
}

uint16_t ClosedPort() {
  platform::UniqueSocket fd(NewSocket());
  const sockaddr_in sa = LoopbackAddress(0);
  if (!fd.valid() || ::bind(S(fd.get()), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    return 0;
  }
  return LocalPortOf(fd.get());
}

uint16_t LocalPortOf(platform::SocketHandle fd) {
  sockaddr_in sa{};
  int length = sizeof sa;
  if (::getsockname(S(fd), reinterpret_cast<sockaddr*>(&sa), &length) != 0) return 0;
  return ntohs(sa.sin_port);
}

bool ShutdownWrite(platform::SocketHandle fd) { return ::shutdown(S(fd), SD_SEND) == 0; }

bool SendAllBytes(platform::SocketHandle fd, std::string_view data) {
  while (!data.empty()) {
    const int n = ::send(S(fd), data.data(), static_cast<int>(data.size()), 0);
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool SendLastByteUrgent(platform::SocketHandle fd, std::string_view data) {
  if (data.empty()) return true;
  return SendAllBytes(fd, data.substr(0, data.size() - 1)) &&
         ::send(S(fd), data.data() + data.size() - 1, 1, MSG_OOB) == 1;
}

void SendBytewise(platform::SocketHandle fd, std::string_view data, platform::SocketHandle reader_fd) {
  const BOOL on = TRUE;
  ::setsockopt(S(fd), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  for (char c : data) {
    WaitUntil([reader_fd] { return QueuedBytes(reader_fd) == 0; });
    if (!SendAllBytes(fd, std::string_view(&c, 1))) return;
  }
}

bool ReadableWithin(platform::SocketHandle fd, milliseconds bound) {
  const Clock::time_point deadline = Clock::now() + bound;
  return PollReadable(fd, RemainingMs(deadline)) == 1;
}

ReadResult ReadUntilEof(platform::SocketHandle fd, milliseconds bound, size_t limit) {
  const Clock::time_point deadline = Clock::now() + bound;
  ReadResult result;
  char buffer[64 * 1024];
  while (result.bytes.size() < limit) {
    if (PollReadable(fd, RemainingMs(deadline)) != 1) break;  // the deadline passed
    const int n = ::recv(S(fd), buffer, sizeof buffer, 0);
    if (n < 0) {
      result.error = true;
      break;
    }
    if (n == 0) {
      result.eof = true;
      break;
    }
    result.bytes.append(buffer, static_cast<size_t>(n));
  }
  return result;
}

long QueuedBytes(platform::SocketHandle fd) {
  u_long count = 0;
  if (::ioctlsocket(S(fd), FIONREAD, &count) != 0) return -1;
  return static_cast<long>(count);
}

bool SetReceiveBuffer(platform::SocketHandle fd, int bytes) {
  return ::setsockopt(S(fd), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                      sizeof bytes) == 0;
}

bool SetSendBuffer(platform::SocketHandle fd, int bytes) {
  return ::setsockopt(S(fd), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes),
                      sizeof bytes) == 0;
}

bool NoDelayOn(platform::SocketHandle fd) {
  BOOL on = FALSE;
  int length = sizeof on;
  return ::getsockopt(S(fd), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on), &length) == 0 &&
         on != FALSE;
}

// Winsock cannot report a socket's mode; the Windows twins never change it.
bool NonBlocking(platform::SocketHandle) { return false; }

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

SlowReader::SlowReader(platform::SocketHandle fd, size_t piece, milliseconds pause, milliseconds bound)
    : thread_([this, fd, piece, pause, bound] {
        const Clock::time_point deadline = Clock::now() + bound;
        const size_t fast_piece = 64 * 1024;
        std::string buffer(std::max(piece, fast_piece), '\0');
        for (;;) {
          // At most |piece| bytes, however much is waiting.
          const bool hurry = hurry_.load();
          const size_t want = hurry ? fast_piece : piece;
          size_t got = 0;
          while (got < want) {
            if (PollReadable(fd, RemainingMs(deadline)) != 1) return;  // the deadline passed
            const int n = ::recv(S(fd), buffer.data() + got, static_cast<int>(want - got), 0);
            if (n <= 0) {
              result_.bytes.append(buffer.data(), got);
              (n == 0 ? result_.eof : result_.error) = true;
              return;
            }
            got += static_cast<size_t>(n);
          }
          result_.bytes.append(buffer.data(), got);
          if (!hurry) std::this_thread::sleep_for(pause);
        }
      }) {}

SlowReader::~SlowReader() {
  if (thread_.joinable()) thread_.join();
}

ReadResult SlowReader::Join() {
  if (thread_.joinable()) thread_.join();
  return result_;
}

// Windows has no descriptor limit to lower, nor a listing of its handles: the tests that need
// them skip when ok() is false or the count is -1.
int OpenDescriptorCount() { return -1; }

DescriptorLimit::DescriptorLimit(int) {}

bool DescriptorLimit::Lower() { return false; }

DescriptorLimit::~DescriptorLimit() { Restore(); }

void DescriptorLimit::Restore() { lowered_ = false; }

bool WaitUntil(const std::function<bool()>& done, milliseconds bound) {
  const Clock::time_point deadline = Clock::now() + bound;
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return done();
    std::this_thread::sleep_for(milliseconds(1));
  }
}

StreamReader::StreamReader(platform::SocketHandle fd, milliseconds bound, size_t limit)
    : thread_([this, fd, bound, limit] { result_ = ReadUntilEof(fd, bound, limit); }) {}

StreamReader::~StreamReader() {
  if (thread_.joinable()) thread_.join();
}

ReadResult StreamReader::Join() {
  if (thread_.joinable()) thread_.join();
  return result_;
}

}  // namespace kelvane::net::nettest
