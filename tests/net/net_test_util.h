// net/net_test_util.h -- the client side of the network tests: loopback sockets, bounded reads
// and waits, and a thread that drains a socket.
//
// These helpers make their system calls directly rather than through platform/ (POSIX sockets in
// net_test_util_linux.cpp, Winsock in net_test_util_win.cpp), so that a fault
// in the socket layer under test cannot hide itself in the test's own client. Every wait is
// bounded; every socket made here gets a receive time-out so that no test can hang in recv.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/socket_handle.h"

namespace kelvane::net::nettest {

using std::chrono::milliseconds;

// Bound for anything that should happen at once on loopback (a connect, an accept, a reply).
inline constexpr milliseconds kPromptly{5000};
// How long a test watches for something that must not happen.
inline constexpr milliseconds kQuietPeriod{300};

// What the server side says, as a client receives it.
inline constexpr char kConnectSuccessful[] = "Connect Successful ... Now Disconnecting.";
inline constexpr char kTooManyConnections[] = "Too Many Connections, Please Try Later.";

// A socket listening on 127.0.0.1 at a port the system picks (stored in |*port|); invalid on
// failure. No SO_REUSEADDR unless |reuse|.
platform::UniqueSocket ListenLoopback(uint16_t* port, bool reuse = false);

// A socket connected to 127.0.0.1:|port|; invalid when the connect failed.
platform::UniqueSocket ConnectLoopback(uint16_t port);

// A stream socket with the tests' receive time-out, not connected yet; invalid on failure.
platform::UniqueSocket NewLoopbackSocket();
// Connects |fd| to 127.0.0.1:|port|; false when the connect failed.
bool ConnectSocket(platform::SocketHandle fd, uint16_t port);

// Accepts one client of |listen_fd| if one arrives within |bound|; invalid otherwise.
platform::UniqueSocket AcceptWithin(platform::SocketHandle listen_fd, milliseconds bound);

// Binds a socket to 127.0.0.1 at a free port, closes it and returns the port: nothing listens
// there afterwards.
uint16_t ClosedPort();

// The local port of a socket; 0 on failure.
uint16_t LocalPortOf(platform::SocketHandle fd);

// Ends the sending direction (the peer reads end of stream); false on failure.
bool ShutdownWrite(platform::SocketHandle fd);

// Sends every byte; false on a failed send.
bool SendAllBytes(platform::SocketHandle fd, std::string_view data);

// Sends |data| with its last byte as urgent (out-of-band) data, as FTP clients send ABOR;
// false on a failed send.
bool SendLastByteUrgent(platform::SocketHandle fd, std::string_view data);

// Sends |data| one byte per send (TCP_NODELAY on), each after the previous one has been taken
// out of |reader_fd|'s receive queue (waiting at most kPromptly per byte, then sending anyway).
void SendBytewise(platform::SocketHandle fd, std::string_view data, platform::SocketHandle reader_fd);

// True when |fd| becomes readable (data or end of stream) within |bound|.
bool ReadableWithin(platform::SocketHandle fd, milliseconds bound);

// What a bounded read to the end of a stream found.
struct ReadResult {
  std::string bytes;
  bool eof = false;    // the peer closed (recv returned 0)
  bool error = false;  // recv failed (reset, time-out)
};

// Reads until the peer closes, an error, |limit| bytes or the deadline |bound| from now.
ReadResult ReadUntilEof(platform::SocketHandle fd, milliseconds bound, size_t limit = size_t{1} << 30);

// Bytes waiting in |fd|'s receive queue; -1 on error.
long QueuedBytes(platform::SocketHandle fd);

// Sets SO_RCVBUF (which also ends its autotuning): set on a listening socket, accepted sockets
// inherit it. A slow reader's kernel then opens its window in steps of a known size; false on
// failure.
bool SetReceiveBuffer(platform::SocketHandle fd, int bytes);
// Sets SO_SNDBUF (and ends its autotuning); false on failure.
bool SetSendBuffer(platform::SocketHandle fd, int bytes);

// Whether TCP_NODELAY is on for |fd|.
bool NoDelayOn(platform::SocketHandle fd);

// Whether |fd| is in non-blocking mode (O_NONBLOCK).
bool NonBlocking(platform::SocketHandle fd);

// Milliseconds since |start|.
long long MillisecondsSince(std::chrono::steady_clock::time_point start);

// A thread that reads |fd| slowly but steadily: |piece| bytes, then a pause of |pause|, until
// the peer closes or an error (or the deadline |bound| from now). Join returns what it read.
class SlowReader {
 public:
  SlowReader(platform::SocketHandle fd, size_t piece, milliseconds pause, milliseconds bound = milliseconds(60000));
  ~SlowReader();
  SlowReader(const SlowReader&) = delete;
  SlowReader& operator=(const SlowReader&) = delete;

  // From now on reads as fast as it can (to drain what is left once the point is made).
  void Hurry() { hurry_.store(true); }
  ReadResult Join();

 private:
  std::atomic<bool> hurry_{false};
  ReadResult result_;
  std::thread thread_;
};

// Lowers the soft limit of open descriptors (RLIMIT_NOFILE) so that exactly |free| more can be
// opened, and puts the old limit back on destruction. ok() is false when it could not.
class DescriptorLimit {
 public:
  explicit DescriptorLimit(int free);
  ~DescriptorLimit();
  DescriptorLimit(const DescriptorLimit&) = delete;
  DescriptorLimit& operator=(const DescriptorLimit&) = delete;

  bool ok() const { return ok_; }
  // Puts the old limit back (idempotent).
  void Restore();
  // Lowers the limit again to what the constructor set (descriptors opened meanwhile above it
  // stay open). True when it did.
  bool Lower();

 private:
  unsigned long long old_soft_ = 0;
  unsigned long long lowered_soft_ = 0;
  bool ok_ = false;
  bool lowered_ = false;
};

// The descriptors this process has open.
int OpenDescriptorCount();

// Polls |done| every millisecond until it answers true or |bound| passes; its last answer.
bool WaitUntil(const std::function<bool()>& done, milliseconds bound = kPromptly);

// A thread that reads |fd| to the end (ReadUntilEof with a generous bound); Join returns what it
// read. The socket stays owned by the caller and must outlive Join.
class StreamReader {
 public:
  explicit StreamReader(platform::SocketHandle fd, milliseconds bound = milliseconds(60000),
                        size_t limit = size_t{1} << 30);
  ~StreamReader();
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  ReadResult Join();

 private:
  ReadResult result_;
  std::thread thread_;
};

}  // namespace kelvane::net::nettest
