// net/platform_socket_test.cpp -- the platform's sockets and poller as both twins must behave:
// an exclusive listening port, the wake event across threads, slots without a socket, the
// receive that never waits, the send time-out, file ranges sent, dotted addresses, local
// endpoints, the accept that never waits, urgent bytes kept inline.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "net_test_util.h"
#include "platform/file_io.h"
#include "platform/poll.h"
#include "platform/socket.h"
#include "support/fixture_package.h"

namespace kelvane::net {
namespace {

using namespace nettest;
using Clock = std::chrono::steady_clock;

constexpr int kPromptlyMs = static_cast<int>(kPromptly.count());

platform::UniqueSocket ProductListener(uint16_t port) {
  platform::UniqueSocket socket = platform::NewStreamSocket();
  if (!socket.valid() || !platform::SetReuseAddress(socket.get()) ||
      !platform::Bind(socket.get(), {platform::kLoopback, port}) ||
      !platform::Listen(socket.get(), 8)) {
    return platform::UniqueSocket();
  }
  return socket;
}

// A connected pair: |local| from the platform layer, |remote| accepted by the test's helpers.
struct Pair {
  platform::UniqueSocket listener;
  platform::UniqueSocket local;
  platform::UniqueSocket remote;
  bool ok() const { return local.valid() && remote.valid(); }
};

Pair Connected() {
  Pair pair;
  uint16_t port = 0;
  pair.listener = ListenLoopback(&port);
  if (!pair.listener.valid()) return pair;
  pair.local = platform::NewStreamSocket();
  if (!pair.local.valid() || !platform::Connect(pair.local.get(), {platform::kLoopback, port})) {
    return Pair{};
  }
  pair.remote = AcceptWithin(pair.listener.get(), kPromptly);
  return pair;
}

TEST(PlatformSocketTest, AcceptNowTakesOnlyAWaitingClientAndHandsOverABlockingSocket) {
  platform::UniqueSocket listener = ProductListener(0);
  ASSERT_TRUE(listener.valid());
  ASSERT_TRUE(platform::SetNonBlocking(listener.get()));
  platform::Ipv4Endpoint local;
  ASSERT_TRUE(platform::LocalEndpoint(listener.get(), &local));
  EXPECT_EQ(platform::kLoopback, local.address);
  ASSERT_NE(0, local.port);

  platform::Ipv4Endpoint peer{1, 1};
  const auto start = Clock::now();
  EXPECT_FALSE(platform::AcceptNow(listener.get(), &peer).valid());
  EXPECT_LT(Clock::now() - start, kQuietPeriod);
  EXPECT_EQ(1u, peer.address);  // untouched

  platform::UniqueSocket client = ConnectLoopback(local.port);
  ASSERT_TRUE(client.valid());
  ASSERT_TRUE(platform::WaitReadable(listener.get(), kPromptlyMs * int64_t{1000}));
  platform::UniqueSocket accepted = platform::AcceptNow(listener.get(), &peer);
  ASSERT_TRUE(accepted.valid());
  EXPECT_EQ(platform::kLoopback, peer.address);
  EXPECT_EQ(LocalPortOf(client.get()), peer.port);
  ASSERT_TRUE(platform::LocalEndpoint(accepted.get(), &local));
  EXPECT_EQ(platform::kLoopback, local.address);

  // It blocks: a receive with nothing to read waits for its time-out instead of failing at
  // once as a non-blocking socket would.
  ASSERT_TRUE(platform::SetReceiveTimeout(accepted.get(), 300));
  char byte;
  const auto waited_from = Clock::now();
  EXPECT_EQ(-1, platform::ReceiveSome(accepted.get(), &byte, 1));
  EXPECT_GE(Clock::now() - waited_from, std::chrono::milliseconds(200));
}

TEST(PlatformSocketTest, WithOobInlineAnUrgentLastByteIsReadInTheStream) {
  Pair pair = Connected();
  ASSERT_TRUE(pair.ok());
  ASSERT_TRUE(platform::SetOobInline(pair.local.get()));
  ASSERT_TRUE(SendLastByteUrgent(pair.remote.get(), "ABOR\r\n"));
  std::string got;
  char buffer[16];
  const auto deadline = Clock::now() + kPromptly;
  while (got.size() < 6 && Clock::now() < deadline) {
    if (!platform::WaitReadable(pair.local.get(), 100000)) continue;
    const long n = platform::ReceiveSome(pair.local.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ("ABOR\r\n", got);
}

// A second listener on a port that is taken must fail to bind, also when both ask to reuse the
// address (on Windows SO_REUSEADDR would have let it take the port).
TEST(PlatformSocketTest, SecondListenerCannotTakeABoundPort) {
  platform::UniqueSocket first = ProductListener(0);
  ASSERT_TRUE(first.valid());
  const uint16_t port = platform::LocalPort(first.get());
  ASSERT_NE(0, port);
  platform::UniqueSocket second = platform::NewStreamSocket();
  ASSERT_TRUE(second.valid());
  ASSERT_TRUE(platform::SetReuseAddress(second.get()));
  EXPECT_FALSE(platform::Bind(second.get(), {platform::kLoopback, port}));
  // Once the first is gone the port is free again for a listener without connections.
  first.Reset();
  EXPECT_TRUE(ProductListener(port).valid());
}

TEST(PlatformPollerTest, WakeEventSignalledOnAnotherThreadEndsTheWait) {
  platform::WakeEvent wake;
  ASSERT_TRUE(wake.valid());
  platform::Poller poller;
  const size_t index = poller.Add(wake.handle());
  std::thread signaller([&wake] { wake.Signal(); });
  const Clock::time_point start = Clock::now();
  const int ready = poller.Wait(kPromptlyMs);
  signaller.join();
  EXPECT_EQ(1, ready);
  EXPECT_TRUE(poller.Readable(index));
  EXPECT_LT(MillisecondsSince(start), kPromptly.count());

  // Several signals are drained at once; the event is quiet after.
  wake.Signal();
  wake.Signal();
  wake.Drain();
  EXPECT_EQ(0, poller.Wait(0));
  EXPECT_FALSE(poller.Readable(index));
}

TEST(PlatformPollerTest, SlotsWithoutASocketAreSkippedAndNeverReadable) {
  Pair pair = Connected();
  ASSERT_TRUE(pair.ok());
  ASSERT_TRUE(SendAllBytes(pair.remote.get(), "x"));
  platform::Poller poller;
  const size_t empty_before = poller.Add(platform::kInvalidSocket);
  const size_t socket = poller.Add(pair.local.get());
  const size_t empty_after = poller.Add(platform::kInvalidSocket);
  EXPECT_EQ(1, poller.Wait(kPromptlyMs));
  EXPECT_FALSE(poller.Readable(empty_before));
  EXPECT_TRUE(poller.Readable(socket));
  EXPECT_FALSE(poller.Readable(empty_after));
  EXPECT_FALSE(poller.Readable(99));

  // Nothing but empty slots: the time passes, the system is not asked to refuse the wait.
  poller.Clear();
  poller.Add(platform::kInvalidSocket);
  EXPECT_EQ(0, poller.Wait(10));
  EXPECT_FALSE(poller.Readable(0));
}

TEST(PlatformPollerTest, ReceiveNowNeverWaitsOnABlockingSocket) {
  Pair pair = Connected();
  ASSERT_TRUE(pair.ok());
  platform::SetReceiveTimeout(pair.local.get(), 0);  // a receive that waits would wait for ever
  char buffer[16];
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(platform::kNothingWaiting, platform::ReceiveNow(pair.local.get(), buffer, sizeof buffer));
  EXPECT_LT(MillisecondsSince(start), 1000);

  ASSERT_TRUE(SendAllBytes(pair.remote.get(), "abc"));
  ASSERT_TRUE(ReadableWithin(pair.local.get(), kPromptly));
  EXPECT_EQ(3, platform::ReceiveNow(pair.local.get(), buffer, sizeof buffer));
  EXPECT_EQ("abc", std::string(buffer, 3));

  pair.remote.Reset();
  ASSERT_TRUE(ReadableWithin(pair.local.get(), kPromptly));
  EXPECT_EQ(0, platform::ReceiveNow(pair.local.get(), buffer, sizeof buffer));
}

// A peer that never reads: SendAll fails after the send time-out, not after many of them.
TEST(PlatformSocketTest, SendAllToAStalledPeerFailsAfterTheTimeOut) {
  constexpr int kTimeoutMs = 400;
  Pair pair = Connected();
  ASSERT_TRUE(pair.ok());
  ASSERT_TRUE(platform::SetSendTimeout(pair.local.get(), kTimeoutMs));
  const std::string data(64u << 20, 's');
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(-1, platform::SendAll(pair.local.get(), data.data(), data.size()));
  const long long took = MillisecondsSince(start);
  EXPECT_GE(took, kTimeoutMs);
  // The buffers fill first; the Windows twin may block one more time-out in its last send.
  EXPECT_LT(took, 8 * kTimeoutMs);
}

TEST(PlatformSocketTest, SendFileRangeSendsTheRangeAndStopsAtTheFileEnd) {
  test::TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  std::string content;
  for (int i = 0; i < 200000; ++i) content.push_back(static_cast<char>('a' + i % 23));
  const platform::UniqueFd file = platform::OpenReadOnly(dir.Write("range.bin", content));
  ASSERT_TRUE(file.valid());
  const struct {
    int64_t offset;
    size_t count;
    long sent;
  } cases[] = {
      {0, 5, 5}, {3, 100000, 100000}, {199990, 10, 10}, {199995, 100, 5}, {200000, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.count));
    Pair pair = Connected();
    ASSERT_TRUE(pair.ok());
    StreamReader reader(pair.remote.get(), kPromptly * 2);
    int64_t offset = c.offset;
    EXPECT_EQ(c.sent, platform::SendFileRange(pair.local.get(), file.get(), &offset, c.count));
    EXPECT_EQ(c.offset + c.sent, offset);
    pair.local.Reset();
    const ReadResult got = reader.Join();
    EXPECT_TRUE(got.eof);
    EXPECT_EQ(content.substr(static_cast<size_t>(c.offset), static_cast<size_t>(c.sent)),
              got.bytes);
  }
}

TEST(PlatformSocketTest, DottedAddressesParseAsOnLinux) {
  const struct {
    const char* text;
    uint32_t address;
  } cases[] = {
      {"127.0.0.1", 0x7F000001},     {"0.0.0.0", 0},          {"255.255.255.254", 0xFFFFFFFE},
      {"10.1.2.3", 0x0A010203},      {"1.2.3", platform::kNoneAddress},
      {"1.2.3.4.5", platform::kNoneAddress}, {"256.1.1.1", platform::kNoneAddress},
      {"01.2.3.4", platform::kNoneAddress},  {" 1.2.3.4", platform::kNoneAddress},
      {"1.2.3.4 ", platform::kNoneAddress},  {"1..3.4", platform::kNoneAddress},
      {"0x7f.0.0.1", platform::kNoneAddress}, {"", platform::kNoneAddress},
      {"1234.1.1.1", platform::kNoneAddress},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.address, platform::ParseDotted(c.text));
    if (c.address != platform::kNoneAddress) {
      EXPECT_EQ(c.text, platform::FormatDotted(c.address));
    }
  }
}

}  // namespace
}  // namespace kelvane::net
