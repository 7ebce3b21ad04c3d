// ftp/ftp_checked_test.cpp -- RETR once the package check has run over the served package: an
// entry found damaged gets its 150 reply, a data connection without a byte and a 550, in both
// modes and from any restart offset; before the check reaches an entry the entry is streamed
// as before; an inflated copy serves whole and restarted downloads with the same bytes and
// the same trace lines.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "archive/package_check.h"
#include "ftp/transfer_record.h"
#include "ftp_fixture.h"
#include "ftp_test_util.h"
#include "support/trace_capture.h"

namespace kelvane::ftp::ftptest {
namespace {

constexpr char kRetrStarted[] = "150 RETR command started\r\n";
constexpr char kComplete[] = "226 Transfer complete.\r\n";
constexpr char kRetrFailed[] = "550 RETR failed\r\n";

// PORT in the mode the client is in (250 classic, 200 modern).
bool PortAccepted(Client& client, const DataListener& listener) {
  const std::string reply = client.Command("PORT " + listener.PortArgument());
  return reply.find(" PORT command successful\r\n") == 3 && reply[0] == '2';
}

// A stored entry whose byte the list does not agree with: only SHA256SUMS can tell.
constexpr char kFlippedPath[] = "pub\\flipped.bin";
std::string FlippedContent() { return std::string(64000, 'f'); }

test::PackageBuilder CheckedPackage() {
  test::PackageBuilder builder = FixturePackage();
  const size_t flipped = builder.AddFile(kFlippedPath, FlippedContent(), test::kStored);
  test::AddChecksums(builder, {{kFlippedPath, FlippedContent()},
                               {std::string(test::kSampleEntryPath), test::SampleEntryContent()}});
  builder.data()[builder.info(flipped).data_offset + 100] ^= 0x01;
  return builder;
}

// An active-mode RETR (classic or modern) to |listener|.
DataOutcome ActiveRetr(Client& client, DataListener& listener, std::string_view path) {
  return ActiveTransfer(client, listener, "RETR " + std::string(path));
}

// A passive RETR in modern mode, after REST |start| when it is above 0.
DataOutcome PassiveRetr(Client& client, std::string_view path, uint64_t start) {
  DataOutcome outcome;
  if (start > 0) {
    const std::string rest = client.Command("REST " + std::to_string(start));
    if (rest.rfind("350 ", 0) != 0) return {rest, std::nullopt};
  }
  const std::optional<uint16_t> port = OfferedPort(client.Command("EPSV"));
  if (!port) return outcome;
  platform::UniqueSocket data = ConnectFrom(platform::kLoopback, *port);
  client.Send("RETR " + std::string(path) + "\r\n");
  outcome.replies = client.ReadLines(1);
  if (outcome.replies.rfind("150 ", 0) == 0) {
    outcome.data = ReadSocketToEnd(data.get());
    outcome.replies += client.ReadLines(1);
  }
  return outcome;
}

class FtpCheckedTest : public testing::Test {
 protected:
  FtpCheckedTest() : harness_(CheckedPackage()) {}
  void SetUp() override {
    ASSERT_TRUE(harness_.ok());
    harness_.daemon().SetTransferObserver(&record_);
    options_.scratch_folder = scratch_.path();
    options_.copy_limit = 1ull << 30;
    options_.free_space_margin = 0;
  }
  void TearDown() override {
    if (check_.joinable()) check_.join();
    harness_.StopDaemon();
  }

  archive::FileArchiveReader& reader() { return harness_.daemon().reader(); }

  archive::PackageCheckResult CheckNow() {
    const std::atomic<bool> stop{false};
    return archive::CheckPackage(reader(), options_, nullptr, stop);
  }

  std::unique_ptr<Client> LoggedIn(FtpMode mode) {
    harness_.daemon().SetMode(mode);
    auto client = std::make_unique<Client>(harness_.port());
    EXPECT_TRUE(client->Login("anonymous", mode == FtpMode::kModern ? kModernBanner : kBanner));
    return client;
  }

  std::optional<TransferResult> LastResult() const {
    const TransferSnapshot snapshot = record_.Snapshot();
    if (snapshot.finished.empty()) return std::nullopt;
    return snapshot.finished.back().result;
  }

  Harness harness_;
  TransferRecord record_;
  test::TempDir scratch_;
  archive::PackageCheckOptions options_;
  std::thread check_;
};

TEST_F(FtpCheckedTest, EntryFoundDamagedGetsNoByteInEitherModeFromAnyOffset) {
  // Before the check the flipped stored entry goes out whole: nothing can tell it yet.
  {
    auto client = LoggedIn(FtpMode::kClassic);
    DataListener listener;
    ASSERT_TRUE(PortAccepted(*client, listener));
    const DataOutcome before = ActiveRetr(*client, listener, "pub/flipped.bin");
    EXPECT_EQ(std::string(kRetrStarted) + kComplete, before.replies);
    EXPECT_EQ(FlippedContent().size(), before.data.value_or("").size());
  }
  const archive::PackageCheckResult result = CheckNow();
  ASSERT_TRUE(result.finished);
  ASSERT_EQ(4u, result.damaged);

  const std::string refused = std::string(kRetrStarted) + kRetrFailed;
  const struct {
    FtpMode mode;
    uint64_t start;  // modern mode only: the REST offset (0: none)
  } ways[] = {{FtpMode::kClassic, 0}, {FtpMode::kModern, 0}, {FtpMode::kModern, 3}};
  for (const auto& way : ways) {
    auto client = LoggedIn(way.mode);
    DataListener listener;
    ASSERT_TRUE(PortAccepted(*client, listener));
    for (const char* path : {"bad/damaged.bin", "bad/liar.txt", "bad/short.bin",
                             "pub/flipped.bin"}) {
      SCOPED_TRACE(testing::Message() << path << (way.mode == FtpMode::kModern ? " modern" : "")
                                      << " from " << way.start);
      const DataOutcome outcome = way.mode == FtpMode::kClassic
                                  ? ActiveRetr(*client, listener, path)
                                  : PassiveRetr(*client, path, way.start);
      EXPECT_EQ(refused, outcome.replies);
      ASSERT_TRUE(outcome.data.has_value());
      EXPECT_EQ("", *outcome.data);
      EXPECT_EQ(TransferResult::kDamaged, LastResult());
    }
    // A sound entry beside them is still sent whole.
    const DataOutcome sound = way.mode == FtpMode::kClassic ? ActiveRetr(*client, listener, "pub/stored.bin")
                                                        : PassiveRetr(*client, "pub/stored.bin", 0);
    EXPECT_EQ(std::string(kRetrStarted) + kComplete, sound.replies);
    EXPECT_TRUE(sound.data == StoredContent());
  }
}

TEST_F(FtpCheckedTest, RetrBeforeTheCheckReachesAnEntryStreamsItAsBefore) {
  // The check is held at the damaged entry; everything before it is checked and copied.
  std::mutex mutex;
  std::condition_variable changed;
  bool reached = false;
  bool release = false;
  options_.before_entry = [&](std::string_view name) {
    if (name != "bad/damaged.bin") return;
    std::unique_lock<std::mutex> hold(mutex);
    reached = true;
    changed.notify_all();
    changed.wait_for(hold, kPromptly, [&] { return release; });
  };
  std::optional<archive::PackageCheckResult> result;
  check_ = std::thread([&] { result = CheckNow(); });
  {
    std::unique_lock<std::mutex> hold(mutex);
    ASSERT_TRUE(changed.wait_for(hold, kPromptly, [&] { return reached; }));
  }
  auto client = LoggedIn(FtpMode::kModern);
  DataListener listener;
  ASSERT_TRUE(PortAccepted(*client, listener));
  // Not reached yet: the damage is met where it lies, as before; the entry whose record
  // claims more than it holds still sends what it holds.
  const DataOutcome streamed = ActiveRetr(*client, listener, "bad/damaged.bin");
  EXPECT_EQ(std::string(kRetrStarted) + kRetrFailed, streamed.replies);
  const DataOutcome liar = ActiveRetr(*client, listener, "bad/liar.txt");
  EXPECT_EQ(std::string(kRetrStarted) + kRetrFailed, liar.replies);
  EXPECT_EQ("12345", liar.data.value_or(""));
  // Checked already: sent from its copy, whole and from an offset.
  const std::string& image = test::SampleEntryContent();
  const DataOutcome whole = ActiveRetr(*client, listener, "pub/Dorvex/Updates/Image");
  EXPECT_EQ(std::string(kRetrStarted) + kComplete, whole.replies);
  EXPECT_TRUE(whole.data == image);
  const DataOutcome rest = PassiveRetr(*client, "pub/Dorvex/Updates/Image", 1000);
  EXPECT_TRUE(rest.data == image.substr(1000));

  {
    std::lock_guard<std::mutex> hold(mutex);
    release = true;
    changed.notify_all();
  }
  check_.join();
  ASSERT_TRUE(result && result->finished);
  const DataOutcome refused = ActiveRetr(*client, listener, "bad/liar.txt");
  EXPECT_EQ(std::string(kRetrStarted) + kRetrFailed, refused.replies);
  EXPECT_EQ("", refused.data.value_or("missing"));
}

TEST_F(FtpCheckedTest, CopiedEntryServesEveryOffsetWithTheTraceLinesOfAStreamedOne) {
  const std::string& image = test::SampleEntryContent();
  const uint64_t offsets[] = {0, 1, image.size() / 2, image.size() - 1, image.size()};
  const auto run = [&](const char* label) {
    SCOPED_TRACE(label);
    test::TraceCapture trace;
    auto client = LoggedIn(FtpMode::kModern);
    for (uint64_t offset : offsets) {
      SCOPED_TRACE(offset);
      const DataOutcome outcome = PassiveRetr(*client, "pub/Dorvex/Updates/Image", offset);
      EXPECT_EQ(std::string(kRetrStarted) + kComplete, outcome.replies);
      EXPECT_TRUE(outcome.data == image.substr(offset));
    }
    EXPECT_EQ("221 Goodbye\r\n", client->Command("QUIT"));
    EXPECT_TRUE(harness_.sink().WaitFor("Disconnect!"));
    return trace.FinishMessages();
  };
  const std::vector<std::string> streamed = run("streamed");
  const archive::PackageCheckResult result = CheckNow();
  ASSERT_GE(result.copied_entries, 1u);
  {
    archive::ArchiveCursor cursor(reader().directory());
    ASSERT_TRUE(reader().OpenFile(cursor, "pub\\Dorvex\\Updates\\Image")->reads_copy());
  }
  const std::vector<std::string> copied = run("copied");
  EXPECT_EQ(streamed, copied);
  EXPECT_EQ(5, test::CountMessage(copied, "OpenFile: COMPRESSED"));
}

}  // namespace
}  // namespace kelvane::ftp::ftptest
