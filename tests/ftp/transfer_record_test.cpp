// The record of downloads: its snapshots and totals under a fake clock, and what a live daemon
// reports to it for whole, damaged, cut, refused, aborted and stalled transfers and for many
// clients at once.
#include "ftp/transfer_record.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "ftp/ftp_commands.h"
#include "ftp/ftp_fixture.h"
#include "ftp/ftp_test_util.h"
#include "platform/socket.h"

namespace kelvane::ftp::ftptest {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using std::chrono::system_clock;

constexpr char kImage[] = "pub\\Dorvex\\Updates\\Image";
constexpr uint32_t kImageSize = 1206620;

TransferInfo Info(uint64_t id, uint32_t size) {
  return {id, "10.0.0." + std::to_string(id), "user" + std::to_string(id), "f" + std::to_string(id),
          size};
}

TEST(TransferRecordTest, KeepsRunningRowsTheLatestFinishedAndTheTotals) {
  steady_clock::time_point steady_now{};
  const system_clock::time_point wall_start = system_clock::from_time_t(1'800'000'000);
  system_clock::time_point wall_now = wall_start;
  TransferRecord record(2, {[&] { return wall_now; }, [&] { return steady_now; }});
  std::vector<TransferRow> heard;
  record.AddFinishedListener([&](const TransferRow& row) { heard.push_back(row); });

  const struct {
    TransferResult result;
    uint32_t sent;
  } ends[] = {
      {TransferResult::kComplete, 100},      {TransferResult::kDamaged, 40},
      {TransferResult::kConnectionLost, 7},  {TransferResult::kStalled, 8},
      {TransferResult::kRefused, 0},         {TransferResult::kAborted, 50},
      {TransferResult::kComplete, 100},
  };
  const uint64_t count = std::size(ends);
  for (uint64_t id = 1; id <= count; ++id) {
    record.OnTransferStart(Info(id, 100));
    wall_now += std::chrono::seconds(1);
  }
  steady_now += milliseconds(1500);
  record.OnTransferProgress(Info(3, 100), 60);
  record.OnTransferProgress(Info(99, 100), 60);  // never started: ignored

  TransferSnapshot snapshot = record.Snapshot();
  ASSERT_EQ(count, snapshot.in_progress.size());
  EXPECT_EQ(count, snapshot.totals.in_progress);
  EXPECT_TRUE(snapshot.finished.empty());
  const TransferRow& third = snapshot.in_progress[2];
  EXPECT_EQ(3u, third.id);
  EXPECT_EQ("10.0.0.3", third.client_address);
  EXPECT_EQ("user3", third.user_name);
  EXPECT_EQ(60u, third.sent);
  EXPECT_EQ(100u, third.total);
  EXPECT_EQ(milliseconds(1500), third.elapsed);
  EXPECT_EQ(wall_start + std::chrono::seconds(2), third.started);
  EXPECT_FALSE(third.result.has_value());

  for (uint64_t id = 1; id <= count; ++id) {
    const auto& end = ends[id - 1];
    record.OnTransferEnd(Info(id, 100), {end.sent, milliseconds(id * 10), end.result});
  }
  record.OnTransferEnd(Info(1, 100), {1, milliseconds(1), TransferResult::kComplete});  // again

  snapshot = record.Snapshot();
  EXPECT_TRUE(snapshot.in_progress.empty());
  EXPECT_EQ(0u, snapshot.totals.in_progress);
  EXPECT_EQ(2u, snapshot.totals.complete);
  EXPECT_EQ(4u, snapshot.totals.failed);
  EXPECT_EQ(1u, snapshot.totals.aborted);
  // Only the latest two, oldest first.
  ASSERT_EQ(2u, snapshot.finished.size());
  EXPECT_EQ(6u, snapshot.finished[0].id);
  EXPECT_EQ(7u, snapshot.finished[1].id);
  ASSERT_EQ(count, heard.size());
  for (uint64_t id = 1; id <= count; ++id) {
    SCOPED_TRACE(id);
    const TransferRow& row = heard[id - 1];
    EXPECT_EQ(id, row.id);
    EXPECT_EQ(ends[id - 1].sent, row.sent);
    EXPECT_EQ(milliseconds(id * 10), row.elapsed);
    EXPECT_EQ(ends[id - 1].result, row.result);
  }
}

// A data listener whose test decides what becomes of the connection it takes: cut at once, or
// held and read as the test pleases.
class RawListener {
 public:
  RawListener() : socket_(platform::NewStreamSocket()) {
    ok_ = socket_.valid() && platform::Bind(socket_.get(), {platform::kLoopback, 0}) &&
          platform::Listen(socket_.get(), 1);
    port_ = ok_ ? platform::LocalPort(socket_.get()) : 0;
  }
  bool ok() const { return ok_ && port_ != 0; }
  std::string PortArgument() const {
    return "127,0,0,1," + std::to_string(port_ >> 8) + "," + std::to_string(port_ & 0xFF);
  }
  platform::UniqueSocket Accept() {
    platform::Ipv4Endpoint peer;
    return platform::Accept(socket_.get(), &peer);
  }
  // Takes the client and resets the connection at once.
  bool AcceptAndCut() {
    platform::UniqueSocket client = Accept();
    if (!client.valid()) return false;
    platform::SetResetOnClose(client.get());
    client.Reset();
    return true;
  }

 private:
  platform::UniqueSocket socket_;
  bool ok_ = false;
  uint16_t port_ = 0;
};

class TransferReportTest : public testing::Test {
 protected:
  explicit TransferReportTest(const test::PackageBuilder& builder = FixturePackage())
      : harness_(builder) {}
  void SetUp() override {
    ASSERT_TRUE(harness_.ok());
    record_.AddFinishedListener([this](const TransferRow& row) {
      std::lock_guard<std::mutex> hold(mutex_);
      finished_.push_back(row);
    });
    harness_.daemon().SetTransferObserver(&record_);
  }
  void TearDown() override { harness_.daemon().SetTransferObserver(nullptr); }

  std::vector<TransferRow> Finished() {
    std::lock_guard<std::mutex> hold(mutex_);
    return finished_;
  }

  // Declared first: outlives the daemon's sessions.
  TransferRecord record_;
  std::mutex mutex_;
  std::vector<TransferRow> finished_;
  Harness harness_;
};

TEST_F(TransferReportTest, EachRetrEndsWithItsBytesAndResult) {
  Client client(harness_.port());
  ASSERT_TRUE(client.Login("tech"));
  const struct {
    const char* command;
    const char* path;
    uint32_t total;
    TransferResult result;
  } cases[] = {
      {"RETR pub/Dorvex/Updates/Image", kImage, kImageSize, TransferResult::kComplete},
      {"RETR pub/stored.bin", "pub\\stored.bin", 100000, TransferResult::kComplete},
      {"RETR pub/empty.txt", "pub\\empty.txt", 0, TransferResult::kComplete},
      {"RETR bad/damaged.bin", "bad\\damaged.bin", 0, TransferResult::kDamaged},
      // Inflates to 5 bytes where its record promises 10: all sent, yet damaged.
      {"RETR bad/liar.txt", "bad\\liar.txt", 10, TransferResult::kDamaged},
      {"RETR bad/short.bin", "bad\\short.bin", 0, TransferResult::kDamaged},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    const size_t before = Finished().size();
    DataListener listener;
    ASSERT_EQ(0u, client.Command("PORT " + listener.PortArgument()).rfind("2", 0));
    client.Send(std::string(c.command) + "\r\n");
    ASSERT_EQ(0u, client.ReadLines(1).rfind("150 ", 0));
    const std::optional<std::string> data = listener.AcceptAndRead();
    client.ReadLines(1);
    ASSERT_TRUE(data.has_value());
    const std::vector<TransferRow> finished = Finished();
    ASSERT_EQ(before + 1, finished.size());
    const TransferRow& row = finished.back();
    EXPECT_EQ(c.path, row.path);
    EXPECT_EQ("127.0.0.1", row.client_address);
    EXPECT_EQ("tech", row.user_name);
    if (c.total != 0) {
      EXPECT_EQ(c.total, row.total);
    }
    // The count is exactly what arrived, whatever the outcome.
    EXPECT_EQ(data->size(), row.sent);
    EXPECT_EQ(c.result, row.result);
    if (c.result == TransferResult::kComplete) {
      EXPECT_EQ(row.total, row.sent);
    } else {
      EXPECT_LT(row.sent, row.total);
    }
  }
  // A RETR of nothing sends nothing and reports nothing.
  EXPECT_EQ("550 RETR failed\r\n", client.Command("RETR missing.bin"));
  EXPECT_EQ(std::size(cases), Finished().size());
  const TransferTotals totals = record_.Totals();
  EXPECT_EQ(3u, totals.complete);
  EXPECT_EQ(3u, totals.failed);
  EXPECT_EQ(0u, totals.in_progress);
}

TEST_F(TransferReportTest, TwentyClientsAtOnceAreEachReportedOnce) {
  constexpr int kClients = 20;
  std::vector<std::thread> threads;
  std::atomic<int> received_whole{0};
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      Client client(harness_.port());
      if (!client.Login("device" + std::to_string(i))) return;
      DataListener listener;
      if (client.Command("PORT " + listener.PortArgument()).rfind("2", 0) != 0) return;
      const std::string path = i % 2 == 0 ? "RETR pub/stored.bin" : "RETR pub/Dorvex/Updates/Image";
      client.Send(path + "\r\n");
      if (client.ReadLines(1).rfind("150 ", 0) != 0) return;
      const std::optional<std::string> data = listener.AcceptAndRead();
      if (client.ReadLines(1).rfind("226 ", 0) == 0 && data) ++received_whole;
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_EQ(kClients, received_whole.load());

  const TransferSnapshot snapshot = record_.Snapshot();
  EXPECT_TRUE(snapshot.in_progress.empty());
  EXPECT_EQ(uint64_t{kClients}, snapshot.totals.complete);
  EXPECT_EQ(0u, snapshot.totals.failed);
  EXPECT_EQ(size_t{kClients}, snapshot.finished.size());
  std::set<uint64_t> ids;
  std::set<std::string> users;
  uint64_t bytes = 0;
  for (const TransferRow& row : snapshot.finished) {
    ids.insert(row.id);
    users.insert(row.user_name);
    EXPECT_EQ(row.total, row.sent);
    bytes += row.sent;
  }
  EXPECT_EQ(size_t{kClients}, ids.size());
  EXPECT_EQ(size_t{kClients}, users.size());
  EXPECT_EQ(uint64_t{kClients / 2} * (100000 + kImageSize), bytes);
}

class BigEntryReportTest : public TransferReportTest {
 protected:
  BigEntryReportTest() : TransferReportTest(PackageWithABigEntry()) {}
};

// The cut comes before the client reads a byte, so the entry must be larger than what the
// socket buffers of both ends can hold: a smaller one may lie wholly in them before the reset
// arrives, and is then rightly complete.
TEST_F(BigEntryReportTest, ACutDataConnectionAndARefusedOneFail) {
  Client client(harness_.port());
  ASSERT_TRUE(client.Login());

  RawListener cutting;
  ASSERT_TRUE(cutting.ok());
  ASSERT_EQ(0u, client.Command("PORT " + cutting.PortArgument()).rfind("2", 0));
  client.Send("RETR big.bin\r\n");
  ASSERT_EQ(0u, client.ReadLines(1).rfind("150 ", 0));
  ASSERT_TRUE(cutting.AcceptAndCut());
  EXPECT_EQ("550 RETR failed\r\n", client.ReadLines(1));

  // A port nobody listens on any more: the connect is refused.
  std::string closed_port;
  {
    RawListener gone;
    ASSERT_TRUE(gone.ok());
    closed_port = gone.PortArgument();
  }
  ASSERT_EQ(0u, client.Command("PORT " + closed_port).rfind("2", 0));
  EXPECT_EQ("550 RETR failed\r\n", client.Command("RETR version.txt"));

  const std::vector<TransferRow> finished = Finished();
  ASSERT_EQ(2u, finished.size());
  EXPECT_EQ(TransferResult::kConnectionLost, finished[0].result);
  EXPECT_EQ(kBigEntrySize, finished[0].total);
  EXPECT_LT(finished[0].sent, kBigEntrySize);
  EXPECT_EQ(TransferResult::kRefused, finished[1].result);
  EXPECT_EQ("version.txt", finished[1].path);
  EXPECT_EQ(6u, finished[1].total);
  EXPECT_EQ(0u, finished[1].sent);
  EXPECT_NE(finished[0].id, finished[1].id);
  EXPECT_EQ(2u, record_.Totals().failed);
}

// Some data first, then ABOR on the control connection. The client that reads on gets exactly
// the bytes the record counts: the transfer stops between chunks and the data connection
// closes in order. A restart offset is neither sent nor counted.
TEST_F(BigEntryReportTest, AborDuringARetrEndsItAbortedWithTheBytesSentSoFar) {
  harness_.daemon().SetMode(FtpMode::kModern);
  Client client(harness_.port());
  ASSERT_TRUE(client.Login("tech", kModernBanner));
  const struct {
    const char* what;
    uint32_t restart;
    bool close_data;  // instead of reading on once ABOR is sent
  } cases[] = {
      {"reading on", 0, false},
      {"restarted at 1,000,000, reading on", 1000000, false},
      {"closing the data connection", 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t before = Finished().size();
    const std::optional<uint16_t> port = OfferedPort(client.Command("EPSV"));
    ASSERT_TRUE(port.has_value());
    platform::UniqueSocket data = ConnectFrom(platform::kLoopback, *port);
    ASSERT_TRUE(data.valid());
    if (c.restart != 0) {
      ASSERT_EQ(0u, client.Command("REST " + std::to_string(c.restart)).rfind("350 ", 0));
    }
    ASSERT_EQ(reply::kRetrStarted, client.Command("RETR big.bin"));
    char first[4096];
    const long got = platform::ReceiveSome(data.get(), first, sizeof first);
    ASSERT_GT(got, 0);
    ASSERT_TRUE(client.Send("ABOR\r\n"));
    size_t received = static_cast<size_t>(got);
    if (c.close_data) {
      data.Reset();
    } else {
      received += ReadSocketToEnd(data.get()).size();
    }
    EXPECT_EQ(std::string(reply::modern::kTransferAborted) + reply::modern::kAborOk, client.ReadLines(2));

    const std::vector<TransferRow> finished = Finished();
    ASSERT_EQ(before + 1, finished.size());
    const TransferRow& row = finished.back();
    EXPECT_EQ(TransferResult::kAborted, row.result);
    EXPECT_EQ(kBigEntrySize - c.restart, row.total);
    EXPECT_LT(row.sent, row.total);
    if (c.close_data) {
      EXPECT_GE(row.sent, received);  // what arrived before the close, at least
    } else {
      EXPECT_EQ(received, row.sent);
    }
  }
  const TransferTotals totals = record_.Totals();
  EXPECT_EQ(std::size(cases), totals.aborted);
  EXPECT_EQ(0u, totals.failed);
  EXPECT_EQ(0u, totals.complete);
}

// A client that reads a little of the data connection and then nothing: once the data
// connection's send time-out passes without progress the transfer ends as stalled. The bytes
// the socket took before are counted exactly: the client gets them all when it reads on after
// the final reply.
TEST_F(BigEntryReportTest, AClientThatStopsReadingStallsTheTransfer) {
  constexpr int kSendTimeoutMs = 300;
  harness_.daemon().SetDataSendTimeoutMilliseconds(kSendTimeoutMs);
  const struct {
    const char* what;
    FtpMode mode;
  } cases[] = {{"classic, active", FtpMode::kClassic}, {"modern, passive", FtpMode::kModern}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t before = Finished().size();
    harness_.daemon().SetMode(c.mode);
    Client client(harness_.port());
    platform::UniqueSocket data;
    RawListener listener;
    if (c.mode == FtpMode::kClassic) {
      ASSERT_TRUE(client.Login());
      ASSERT_TRUE(listener.ok());
      ASSERT_EQ(0u, client.Command("PORT " + listener.PortArgument()).rfind("2", 0));
      ASSERT_EQ(reply::kRetrStarted, client.Command("RETR big.bin"));
      data = listener.Accept();
    } else {
      ASSERT_TRUE(client.Login("anonymous", kModernBanner));
      const std::optional<uint16_t> port = OfferedPort(client.Command("EPSV"));
      ASSERT_TRUE(port.has_value());
      data = ConnectFrom(platform::kLoopback, *port);
      ASSERT_EQ(reply::kRetrStarted, client.Command("RETR big.bin"));
    }
    ASSERT_TRUE(data.valid());
    char first[4096];
    const long got = platform::ReceiveSome(data.get(), first, sizeof first);
    ASSERT_GT(got, 0);

    EXPECT_EQ(reply::kRetrFailed, client.ReadLines(1));
    const size_t received = static_cast<size_t>(got) + ReadSocketToEnd(data.get()).size();
    const std::vector<TransferRow> finished = Finished();
    ASSERT_EQ(before + 1, finished.size());
    const TransferRow& row = finished.back();
    EXPECT_EQ(TransferResult::kStalled, row.result);
    EXPECT_EQ(kBigEntrySize, row.total);
    EXPECT_GT(row.sent, 0u);
    EXPECT_LT(row.sent, row.total);
    EXPECT_EQ(received, row.sent);
    EXPECT_GE(row.elapsed, milliseconds(kSendTimeoutMs));
  }
  EXPECT_EQ(std::size(cases), record_.Totals().failed);
}

}  // namespace
}  // namespace kelvane::ftp::ftptest
