// net/socket_send_test.cpp -- the send time-out of platform::SendAll and SendFileRange against
// a loopback peer that never reads, one that reads slowly but steadily, and one that reads only
// after a while; a send ended by ShutdownBoth; TCP_NODELAY.
//
// The time-out bounds the time without progress, not a kernel call: the kernel's own
// SO_SNDTIMEO restarts with every call that takes a few bytes, so a stalled peer used to take
// three to four time-outs to fail.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "net_test_util.h"
#include "platform/socket.h"
#include "platform/unique_fd.h"
#include "support/fixture_package.h"

namespace kelvane::net {
namespace {

using namespace nettest;
using Clock = std::chrono::steady_clock;

// The time-out against a peer that never reads. The kernel's own took three to four of them to
// fail; this must fail after one (plus the filling of the buffers and a last look at the
// acknowledgements), well before two and a half.
constexpr int kTimeoutMs = 400;
constexpr long long kStallBoundMs = kTimeoutMs * 5 / 2;

// A connected loopback pair: |sender| (the side under test) and |peer|, whose receive buffer is
// |peer_buffer| bytes when given.
struct Pair {
  platform::UniqueSocket listener;
  platform::UniqueSocket sender;
  platform::UniqueSocket peer;

  explicit Pair(int peer_buffer = 0) {
    uint16_t port = 0;
    listener = ListenLoopback(&port);
    if (!listener.valid()) return;
    if (peer_buffer > 0 && !SetReceiveBuffer(listener.get(), peer_buffer)) return;
    sender = ConnectLoopback(port);
    if (!sender.valid()) return;
    peer = AcceptWithin(listener.get(), kPromptly);
  }
  bool ok() const { return peer.valid(); }
};

// A file of |size| bytes (a hole: reads as zeros and takes no disk), open for reading.
platform::UniqueFd SparseFile(const test::TempDir& dir, off_t size) {
  const std::string path = dir.File("sparse.bin");
  platform::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (fd.valid() && ::ftruncate(fd.get(), size) != 0) fd.Reset();
  return fd;
}

TEST(SocketSendTest, SendAllToAPeerThatNeverReadsFailsAfterTheTimeout) {
  Pair pair;
  ASSERT_TRUE(pair.ok());
  ASSERT_TRUE(platform::SetSendTimeout(pair.sender.get(), kTimeoutMs));
  const std::string data(64u << 20, 'x');
  const Clock::time_point start = Clock::now();
  size_t taken = 0;
  EXPECT_EQ(-1, platform::SendAll(pair.sender.get(), data.data(), data.size(), 0, &taken));
  const long long took = MillisecondsSince(start);
  EXPECT_GE(took, kTimeoutMs);
  EXPECT_LT(took, kStallBoundMs) << "the time-out restarted";
  // What the socket took before the time-out still arrives, and is all that does.
  pair.sender.Reset();
  const ReadResult read = ReadUntilEof(pair.peer.get(), kPromptly);
  EXPECT_TRUE(read.eof);
  EXPECT_GT(taken, 0u);
  EXPECT_EQ(taken, read.bytes.size());
}

// As the inflating sender does: one SendAll per 256 KiB piece.
TEST(SocketSendTest, SendAllInPiecesToAPeerThatNeverReadsFailsAfterTheTimeout) {
  Pair pair;
  ASSERT_TRUE(pair.ok());
  ASSERT_TRUE(platform::SetSendTimeout(pair.sender.get(), kTimeoutMs));
  const std::string piece(256u << 10, 'x');
  const Clock::time_point start = Clock::now();
  Clock::time_point last_success = start;
  long result = 0;
  for (int i = 0; i < 256 && result >= 0; ++i) {
    result = platform::SendAll(pair.sender.get(), piece.data(), piece.size());
    if (result >= 0) last_success = Clock::now();
  }
  EXPECT_EQ(-1, result);
  EXPECT_LT(MillisecondsSince(last_success), kStallBoundMs) << "the last piece took too long";
  EXPECT_LT(MillisecondsSince(start), kStallBoundMs) << "the time-out restarted";
}

// As the stored-entry sender does: one SendFileRange per MiB.
TEST(SocketSendTest, SendFileRangeToAPeerThatNeverReadsFailsAfterTheTimeout) {
  test::TempDir dir;
  platform::UniqueFd file = SparseFile(dir, 64 << 20);
  ASSERT_TRUE(file.valid());
  Pair pair;
  ASSERT_TRUE(pair.ok());
  ASSERT_TRUE(platform::SetSendTimeout(pair.sender.get(), kTimeoutMs));
  int64_t offset = 0;
  long result = 0;
  const Clock::time_point start = Clock::now();
  while (result >= 0 && offset < (64 << 20)) {
    result = platform::SendFileRange(pair.sender.get(), file.get(), &offset, 1u << 20);
  }
  const long long took = MillisecondsSince(start);
  EXPECT_EQ(-1, result);
  EXPECT_GT(offset, 0);
  EXPECT_GE(took, kTimeoutMs);
  EXPECT_LT(took, kStallBoundMs) << "the time-out restarted";
  EXPECT_FALSE(NonBlocking(pair.sender.get())) << "the socket's mode was not restored";
  // The offset went past every byte the socket took, those of the failed call too.
  pair.sender.Reset();
  const ReadResult read = ReadUntilEof(pair.peer.get(), kPromptly);
  EXPECT_TRUE(read.eof);
  EXPECT_EQ(static_cast<size_t>(offset), read.bytes.size());
}

// A slow but steady reader: 64 KiB every 300 ms against a time-out of two seconds. The whole
// transfer takes longer than the time-out, but each stretch without progress is short: its
// receive buffer is fixed at 64 KiB, so that its kernel opens the window in small steps (an
// autotuned buffer of several MiB is reopened only once a sixteenth of it is free). The kernel
// reports room to the sender (POLLOUT) only once a third of the send buffer is free, which
// takes this reader several seconds on loopback (4 MiB buffers): the acknowledgements count as
// progress too. Once the sender is done, the reader drains the rest at full speed.
constexpr int kSteadyTimeoutMs = 2000;
constexpr int kSlowReaderBuffer = 64 << 10;
constexpr size_t kSlowPiece = 64u << 10;
constexpr milliseconds kSlowPause{300};
constexpr size_t kSlowTotal = 5u << 20;

TEST(SocketSendTest, SendAllToASlowButSteadyReaderIsNotCut) {
  Pair pair(kSlowReaderBuffer);
  ASSERT_TRUE(pair.ok());
  ASSERT_TRUE(platform::SetSendTimeout(pair.sender.get(), kSteadyTimeoutMs));
  SlowReader reader(pair.peer.get(), kSlowPiece, kSlowPause);
  const std::string data(kSlowTotal, 'y');
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(static_cast<long>(data.size()),
            platform::SendAll(pair.sender.get(), data.data(), data.size()));
  const long long took = MillisecondsSince(start);
  reader.Hurry();
  ASSERT_TRUE(ShutdownWrite(pair.sender.get()));
  const ReadResult got = reader.Join();
  EXPECT_TRUE(got.eof);
  EXPECT_EQ(data.size(), got.bytes.size());
  EXPECT_GT(took, kSteadyTimeoutMs) << "the reader was not slow enough to show anything";
}

TEST(SocketSendTest, SendFileRangeToASlowButSteadyReaderIsNotCut) {
  test::TempDir dir;
  platform::UniqueFd file = SparseFile(dir, kSlowTotal);
  ASSERT_TRUE(file.valid());
  Pair pair(kSlowReaderBuffer);
  ASSERT_TRUE(pair.ok());
  ASSERT_TRUE(platform::SetSendTimeout(pair.sender.get(), kSteadyTimeoutMs));
  SlowReader reader(pair.peer.get(), kSlowPiece, kSlowPause);
  int64_t offset = 0;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(static_cast<long>(kSlowTotal),
            platform::SendFileRange(pair.sender.get(), file.get(), &offset, kSlowTotal));
  const long long took = MillisecondsSince(start);
  reader.Hurry();
  EXPECT_EQ(static_cast<int64_t>(kSlowTotal), offset);
  ASSERT_TRUE(ShutdownWrite(pair.sender.get()));
  const ReadResult got = reader.Join();
  EXPECT_TRUE(got.eof);
  EXPECT_EQ(kSlowTotal, got.bytes.size());
  EXPECT_EQ(std::string(kSlowTotal, '\0'), got.bytes);
  EXPECT_GT(took, kSteadyTimeoutMs) << "the reader was not slow enough to show anything";
  EXPECT_FALSE(NonBlocking(pair.sender.get()));
}

// Time-out 0: a send waits as long as the peer takes to start reading.
TEST(SocketSendTest, WithoutATimeoutASendWaitsForAPeerThatReadsLate) {
  Pair pair;
  ASSERT_TRUE(pair.ok());
  ASSERT_TRUE(platform::SetSendTimeout(pair.sender.get(), 0));
  const std::string data(16u << 20, 'z');
  std::thread late([&] {
    std::this_thread::sleep_for(milliseconds(1000));
    ReadUntilEof(pair.peer.get(), milliseconds(30000), data.size());
  });
  EXPECT_EQ(static_cast<long>(data.size()),
            platform::SendAll(pair.sender.get(), data.data(), data.size()));
  late.join();
}

// A socket already in non-blocking mode is waited for all the same, and stays non-blocking.
TEST(SocketSendTest, SendsOnANonBlockingSocketWaitForRoom) {
  test::TempDir dir;
  platform::UniqueFd file = SparseFile(dir, 8 << 20);
  ASSERT_TRUE(file.valid());
  Pair pair;
  ASSERT_TRUE(pair.ok());
  const int flags = ::fcntl(pair.sender.get(), F_GETFL);
  ASSERT_EQ(0, ::fcntl(pair.sender.get(), F_SETFL, flags | O_NONBLOCK));
  SlowReader reader(pair.peer.get(), kSlowPiece, milliseconds(1));
  const std::string data(8u << 20, 'n');
  EXPECT_EQ(static_cast<long>(data.size()),
            platform::SendAll(pair.sender.get(), data.data(), data.size()));
  int64_t offset = 0;
  EXPECT_EQ(8l << 20, platform::SendFileRange(pair.sender.get(), file.get(), &offset, 8u << 20));
  EXPECT_TRUE(NonBlocking(pair.sender.get()));
  ASSERT_TRUE(ShutdownWrite(pair.sender.get()));
  EXPECT_EQ(16u << 20, reader.Join().bytes.size());
}

TEST(SocketSendTest, ShutdownFromAnotherThreadEndsABlockedSend) {
  test::TempDir dir;
  platform::UniqueFd file = SparseFile(dir, 64 << 20);
  ASSERT_TRUE(file.valid());
  for (const bool use_file : {false, true}) {
    SCOPED_TRACE(use_file ? "SendFileRange" : "SendAll");
    Pair pair;
    ASSERT_TRUE(pair.ok());
    ASSERT_TRUE(platform::SetSendTimeout(pair.sender.get(), 0));  // only the shutdown ends it
    const std::string data(64u << 20, 'x');
    long result = 0;
    std::thread sender([&] {
      int64_t offset = 0;
      result = use_file
                   ? platform::SendFileRange(pair.sender.get(), file.get(), &offset, 64u << 20)
                   : platform::SendAll(pair.sender.get(), data.data(), data.size());
    });
    std::this_thread::sleep_for(kQuietPeriod);  // the buffers fill, the send waits
    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(platform::ShutdownBoth(pair.sender.get()));
    sender.join();
    EXPECT_EQ(-1, result);
    EXPECT_LT(MillisecondsSince(start), kPromptly.count());
  }
}

// sendfile has no MSG_NOSIGNAL: a peer that went away must not kill the process all the same.
TEST(SocketSendTest, SendFileRangeToAClosedPeerFailsWithoutSigpipe) {
  test::TempDir dir;
  platform::UniqueFd file = SparseFile(dir, 16 << 20);
  ASSERT_TRUE(file.valid());
  Pair pair;
  ASSERT_TRUE(pair.ok());
  // What a process that never called IgnoreBrokenPipe has.
  void (*const old_handler)(int) = std::signal(SIGPIPE, SIG_DFL);
  ASSERT_TRUE(SendAllBytes(pair.peer.get(), "unread"));
  pair.peer.Reset();  // unread input: the close resets the connection
  int64_t offset = 0;
  long result = 0;
  for (int i = 0; i < 16 && result >= 0; ++i) {
    result = platform::SendFileRange(pair.sender.get(), file.get(), &offset, 1u << 20);
  }
  EXPECT_EQ(-1, result);
  sigset_t pending;
  sigemptyset(&pending);
  ASSERT_EQ(0, sigpending(&pending));
  EXPECT_EQ(0, sigismember(&pending, SIGPIPE)) << "a SIGPIPE was left pending";
  std::signal(SIGPIPE, old_handler);
}

TEST(SocketSendTest, SetNoDelayTurnsNagleOff) {
  Pair pair;
  ASSERT_TRUE(pair.ok());
  EXPECT_FALSE(NoDelayOn(pair.peer.get()));
  EXPECT_TRUE(platform::SetNoDelay(pair.peer.get()));
  EXPECT_TRUE(NoDelayOn(pair.peer.get()));
  EXPECT_FALSE(platform::SetNoDelay(-1));
}

}  // namespace
}  // namespace kelvane::net
