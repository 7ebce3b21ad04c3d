// net/ut_clnt_test.cpp -- TcpClient (connect, close, sends, time-outs) and the sending of
// package entries to a loopback receiver with SendFile and SendEntry.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "archive/FileArchiveReader.h"
#include "net/ut_clnt.h"
#include "net_test_util.h"
#include "support/fixture_package.h"
#include "support/trace_capture.h"

namespace kelvane::net {
namespace {

using namespace nettest;
using archive::ArchiveCursor;
using archive::FileArchiveReader;
using Clock = std::chrono::steady_clock;

// Compares without printing megabytes when they differ.
::testing::AssertionResult SameBytes(const std::string& expected, const std::string& actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  return ::testing::AssertionFailure() << "expected " << expected.size() << " bytes, got "
                                       << actual.size() << ", first difference at " << at;
}

std::string PatternBytes(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  uint32_t state = seed;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1664525u + 1013904223u;
    out[i] = static_cast<char>(state >> 24);
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// TcpClient on its own.

// A loopback listener and the accepted end of one TcpClient connected to it.
struct Receiver {
  uint16_t port = 0;
  platform::UniqueSocket listener;
  platform::UniqueSocket peer;

  Receiver() { listener = ListenLoopback(&port); }
  bool Accept() {
    peer = AcceptWithin(listener.get(), kPromptly);
    return peer.valid();
  }
};

TEST(TcpClientTest, ConnectAnswersByOutcome) {
  Receiver receiver;
  ASSERT_TRUE(receiver.listener.valid());
  const uint16_t closed_port = ClosedPort();
  ASSERT_NE(0, closed_port);
  const struct {
    const char* what;
    uint16_t port;
    const char* host;
    int result;
  } cases[] = {
      {"a listening port", receiver.port, "127.0.0.1", 0},
      {"a port nobody listens on", closed_port, "127.0.0.1", 3},
      {"a host that is no dotted address", receiver.port, "localhost", 3},
      {"an empty host", receiver.port, "", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TcpClient client;
    EXPECT_EQ(c.result, client.Connect(c.port, c.host));
    EXPECT_EQ(c.port, client.port());
    EXPECT_EQ(c.host, client.host());
    EXPECT_GE(client.socket(), 0) << "the socket stays open until Close";
    // A second Connect does nothing while a socket is open, whatever the first one did.
    const int socket_before = client.socket();
    EXPECT_EQ(1, client.Connect(receiver.port, "127.0.0.1"));
    EXPECT_EQ(socket_before, client.socket());
    EXPECT_EQ(c.port, client.port());
  }
}

TEST(TcpClientTest, SecondConnectLeavesTheFirstConnectionWorking) {
  Receiver receiver;
  ASSERT_TRUE(receiver.listener.valid());
  TcpClient client;
  ASSERT_EQ(0, client.Connect(receiver.port, "127.0.0.1"));
  ASSERT_TRUE(receiver.Accept());
  EXPECT_EQ(1, client.Connect(receiver.port, "127.0.0.1"));
  EXPECT_FALSE(ReadableWithin(receiver.listener.get(), kQuietPeriod)) << "a second connection";
  EXPECT_EQ(5, client.SendText("still"));
  EXPECT_EQ(0, client.Close());
  const ReadResult got = ReadUntilEof(receiver.peer.get(), kPromptly);
  EXPECT_EQ("still", got.bytes);
  EXPECT_TRUE(got.eof);
}

TEST(TcpClientTest, CloseReportsWhatFailed) {
  Receiver receiver;
  ASSERT_TRUE(receiver.listener.valid());
  const uint16_t closed_port = ClosedPort();

  const struct {
    const char* what;
    std::optional<uint16_t> connect_to;  // none: never connected
    int first_close;
  } cases[] = {
      {"never connected", std::nullopt, 0},
      {"connected", receiver.port, 0},
      {"connect refused: the shutdown of an unconnected socket fails", closed_port, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TcpClient client;
    if (c.connect_to) client.Connect(*c.connect_to, "127.0.0.1");
    EXPECT_EQ(c.first_close, client.Close());
    EXPECT_EQ(platform::kInvalidSocket, client.socket());
    EXPECT_EQ(0, client.Close()) << "a second Close has nothing to do";
    if (c.connect_to == receiver.port) {
      ASSERT_TRUE(receiver.Accept());
      EXPECT_TRUE(ReadUntilEof(receiver.peer.get(), kPromptly).eof);
    }
  }
}

TEST(TcpClientTest, SendBytesDeliversALargeBufferWhole) {
  Receiver receiver;
  ASSERT_TRUE(receiver.listener.valid());
  TcpClient client;
  ASSERT_EQ(0, client.Connect(receiver.port, "127.0.0.1"));
  ASSERT_TRUE(receiver.Accept());
  StreamReader reader(receiver.peer.get());
  const std::string data = PatternBytes(8u << 20, 17);
  EXPECT_EQ(static_cast<long>(data.size()),
            client.SendBytes(data.data(), static_cast<long>(data.size())));
  EXPECT_EQ(3, client.SendText("end"));
  EXPECT_EQ(0, client.Close());
  const ReadResult got = reader.Join();
  EXPECT_TRUE(got.eof);
  EXPECT_TRUE(SameBytes(data + "end", got.bytes));
}

TEST(TcpClientTest, SendGivesUpAfterTheSendTimeoutSetBeforeConnect) {
  Receiver receiver;
  ASSERT_TRUE(receiver.listener.valid());
  TcpClient client;
  client.SetSendTimeout(200);
  ASSERT_EQ(0, client.Connect(receiver.port, "127.0.0.1"));
  ASSERT_TRUE(receiver.Accept());  // and never read: the buffers fill up
  const std::string data(64u << 20, 'x');
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(-1, client.SendBytes(data.data(), static_cast<long>(data.size())));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
}

// ---------------------------------------------------------------------------------------------
// Sending package entries.

constexpr char kBigStoredName[] = "big.bin";
constexpr char kBigPackedName[] = "big.z";
constexpr char kEmptyStoredName[] = "empty.bin";
constexpr char kEmptyPackedName[] = "empty.z";
constexpr char kDamagedName[] = "damaged.z";
constexpr char kShortName[] = "short.bin";
constexpr size_t kBigStoredSize = 8u << 20;
constexpr size_t kBigPackedSize = 12u << 20;
constexpr size_t kShortContentSize = 100000;

const std::string& BigStoredContent() {
  static const std::string content = PatternBytes(kBigStoredSize, 99);
  return content;
}

// Text that compresses, so that the inflating sender has real work.
const std::string& BigPackedContent() {
  static const std::string content = [] {
    std::string out;
    out.reserve(kBigPackedSize);
    for (uint32_t line = 0; out.size() < kBigPackedSize; ++line) {
      out += "line " + std::to_string(line) + " of the big packed entry, " +
             std::to_string(line * 2654435761u) + "\r\n";
    }
    out.resize(kBigPackedSize);
    return out;
  }();
  return content;
}

const std::string& DamagedContent() {
  static const std::string content = test::SampleEntryContent().substr(0, 400000);
  return content;
}

const std::string& ShortContent() {
  static const std::string content = PatternBytes(kShortContentSize, 5);
  return content;
}

// The sample package plus a large stored entry, a large compressed one, two empty ones, a
// compressed entry with bytes
// flipped in the middle of its stream, and last a stored entry whose recorded size runs past
// the end of the file. Built once per process.
const std::string& TransferPackagePath() {
  static const test::TempDir dir;
  static const std::string path = [] {
    test::PackageBuilder builder = test::SamplePackageBuilder();
    builder.AddFile(kBigStoredName, BigStoredContent(), test::kStored);
    builder.AddFile(kBigPackedName, BigPackedContent(), test::kPacked);
    builder.AddFile(kEmptyStoredName, "", test::kStored);
    builder.AddFile(kEmptyPackedName, "", test::kPacked);
    const size_t damaged = builder.AddFile(kDamagedName, DamagedContent(), test::kPacked);
    const archive::ArchiveEntryInfo& info = builder.info(damaged);
    for (uint32_t i = 0; i < 16; ++i) {
      builder.data()[info.data_offset + info.stored_size / 2 + i] ^= 0x5A;
    }
    const size_t cut = builder.AddFile(kShortName, ShortContent(), test::kStored);
    builder.info(cut).stored_size += 10u << 20;
    builder.info(cut).unpacked_size += 10u << 20;
    return dir.Write("transfer.pkg", builder.Build());
  }();
  return path;
}

// What one transfer did: SendFile's result and counter, what the receiver got, the trace.
struct Transfer {
  int result = -1;
  uint32_t counter = 0;
  SendEnd end = SendEnd::kStopped;  // what SendFile does not set stays visible
  ReadResult received;
  std::vector<std::string> trace;
};

// The messages of |trace| that begin with |prefix|.
std::vector<std::string> MessagesStarting(const std::vector<std::string>& trace,
                                          const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& m : trace) {
    if (m.compare(0, prefix.size(), prefix) == 0) out.push_back(m);
  }
  return out;
}

class SendFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(TransferPackagePath().empty());
    ASSERT_TRUE(reader_.Open(TransferPackagePath()));
  }

  // Connects |client| to a fresh receiver that reads to the end, sends |path| from |cursor|,
  // closes the client and collects the outcome.
  Transfer Send(TcpClient& client, const ArchiveCursor& cursor, const std::string& path) {
    Transfer t;
    Receiver receiver;
    if (!receiver.listener.valid() || client.Connect(receiver.port, "127.0.0.1") != 0 ||
        !receiver.Accept()) {
      ADD_FAILURE() << "no connection";
      return t;
    }
    StreamReader reader(receiver.peer.get());
    test::TraceCapture capture;
    EXPECT_TRUE(capture.ok());
    t.counter = 12345;
    t.result = client.SendFile(reader_, cursor, path, &t.counter, 0, &t.end);
    t.trace = capture.FinishMessages();
    client.Close();
    t.received = reader.Join();
    return t;
  }

  Transfer Send(const std::string& path) {
    TcpClient client;
    ArchiveCursor cursor(reader_.directory());
    return Send(client, cursor, path);
  }

  FileArchiveReader reader_;
};

TEST_F(SendFileTest, SendsTheEntryOrSaysWhyNot) {
  const std::string sample(test::SampleEntryContent());
  const struct {
    std::string path;
    int result;
    const std::string* content;  // what arrives; nullptr: checked below per result
    std::string trace;           // the one "SendFile:" message, or its beginning
    bool exact;
  } cases[] = {
      {"version.txt", 0, nullptr, "SendFile: len==0 ('version.txt')", true},
      {"\\pub\\Dorvex\\Updates\\Image", 0, &sample,
       "SendFile: len==0 ('\\pub\\Dorvex\\Updates\\Image')", true},
      {"pub/Dorvex/Updates/Image", 0, &sample, "SendFile: len==0 ('pub\\Dorvex\\Updates\\Image')",
       true},
      {"PUB/dorvex\\updates/IMAGE", 0, &sample, "SendFile: len==0 (", false},
      {"/version.txt", 0, nullptr, "SendFile: len==0 ('\\version.txt')", true},
      {kBigStoredName, 0, &BigStoredContent(), "SendFile: len==0 (", false},
      {kBigPackedName, 0, &BigPackedContent(), "SendFile: len==0 (", false},
      {kEmptyStoredName, 0, nullptr, "SendFile: len==0 (", false},
      {kEmptyPackedName, 0, nullptr, "SendFile: len==0 (", false},
      {"pub", 1, nullptr, "SendFile: Unable to get OpenFile", false},
      {"pub/Dorvex/Updates", 1, nullptr, "SendFile: Unable to get OpenFile", false},
      {"missing.txt", 1, nullptr, "SendFile: Unable to get OpenFile", false},
      {"pub/Dorvex/Updates/Image/x", 1, nullptr, "SendFile: Unable to get OpenFile", false},
      {kDamagedName, 2, nullptr, "SendFile: Read error", false},
      {kShortName, 2, nullptr, "SendFile: Read error", false},
  };
  const std::string version(test::kSampleVersion);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const Transfer t = Send(c.path);
    EXPECT_EQ(c.result, t.result);
    const SendEnd ends[] = {SendEnd::kSent, SendEnd::kNotOpened, SendEnd::kDamaged};
    EXPECT_EQ(ends[c.result], t.end);
    EXPECT_TRUE(t.received.eof);
    // Whatever the outcome, the counter is what went out.
    EXPECT_EQ(t.received.bytes.size(), t.counter);

    if (c.content != nullptr) {
      EXPECT_TRUE(SameBytes(*c.content, t.received.bytes));
    } else if (c.path.find("version.txt") != std::string::npos) {
      EXPECT_EQ(version, t.received.bytes);
      EXPECT_EQ(6u, t.counter);
    } else if (c.path == kDamagedName) {
      EXPECT_LT(t.received.bytes.size(), DamagedContent().size());
    } else if (c.path == kShortName) {
      ASSERT_GE(t.received.bytes.size(), kShortContentSize);
      EXPECT_EQ(ShortContent(), t.received.bytes.substr(0, kShortContentSize));
      EXPECT_LT(t.received.bytes.size(), kShortContentSize + (10u << 20));
    } else {
      EXPECT_EQ("", t.received.bytes);
    }

    const std::vector<std::string> outcome = MessagesStarting(t.trace, "SendFile:");
    ASSERT_EQ(1u, outcome.size()) << "one outcome line expected";
    if (c.exact) {
      EXPECT_EQ(c.trace, outcome[0]);
    } else {
      EXPECT_EQ(c.trace, outcome[0].substr(0, c.trace.size())) << outcome[0];
    }
  }
}

TEST_F(SendFileTest, SendsFromTheCursorsDirectory) {
  TcpClient client;
  ArchiveCursor cursor(reader_.directory());
  ASSERT_TRUE(cursor.ChangeDir("pub\\Dorvex"));
  const Transfer relative = Send(client, cursor, "Updates/Image");
  EXPECT_EQ(0, relative.result);
  EXPECT_TRUE(SameBytes(test::SampleEntryContent(), relative.received.bytes));

  TcpClient second;
  const Transfer from_root = Send(second, cursor, "/version.txt");
  EXPECT_EQ(0, from_root.result);
  EXPECT_EQ(std::string(test::kSampleVersion), from_root.received.bytes);
}

TEST_F(SendFileTest, FailsWithTwoWhenTheReceiverCloses) {
  Receiver receiver;
  ASSERT_TRUE(receiver.listener.valid());
  TcpClient client;
  ASSERT_EQ(0, client.Connect(receiver.port, "127.0.0.1"));
  ASSERT_TRUE(receiver.Accept());
  // The receiver takes a little, then hangs up with input unread.
  std::thread quitter([&] {
    ReadUntilEof(receiver.peer.get(), kPromptly, 100000);
    receiver.peer.Reset();
  });
  test::TraceCapture capture;
  ASSERT_TRUE(capture.ok());
  ArchiveCursor cursor(reader_.directory());
  uint32_t counter = 0;
  SendEnd end = SendEnd::kSent;
  const int result = client.SendFile(reader_, cursor, kBigStoredName, &counter, 0, &end);
  const std::vector<std::string> trace = capture.FinishMessages();
  quitter.join();
  EXPECT_EQ(2, result);
  EXPECT_EQ(SendEnd::kLost, end);
  EXPECT_LT(counter, kBigStoredSize);
  const std::vector<std::string> outcome = MessagesStarting(trace, "SendFile:");
  ASSERT_EQ(1u, outcome.size());
  EXPECT_EQ(0u, outcome[0].rfind("SendFile: Send error", 0)) << outcome[0];
}

// The send time-out bounds the time without progress, whatever the size of the sends: a 1 MiB
// sendfile for a stored entry, 256 KiB pieces for an inflated one. (The kernel's own time-out
// restarted whenever a call took a few bytes: a stalled receiver took three to four time-outs
// to fail.)
constexpr int kShortSendTimeoutMs = 400;
constexpr long long kStallBoundMs = kShortSendTimeoutMs * 5 / 2;

TEST_F(SendFileTest, FailsAfterTheSendTimeoutWhenTheReceiverStopsReading) {
  const struct {
    const char* name;
    size_t size;
  } cases[] = {{kBigStoredName, kBigStoredSize}, {kBigPackedName, kBigPackedSize}};
  for (const auto& [name, size] : cases) {
    SCOPED_TRACE(name);
    Receiver receiver;
    ASSERT_TRUE(receiver.listener.valid());
    TcpClient client;
    client.SetSendTimeout(kShortSendTimeoutMs);
    ASSERT_EQ(0, client.Connect(receiver.port, "127.0.0.1"));
    ASSERT_TRUE(receiver.Accept());  // and never read
    ArchiveCursor cursor(reader_.directory());
    test::TraceCapture capture;
    ASSERT_TRUE(capture.ok());
    uint32_t counter = 0;
    const Clock::time_point start = Clock::now();
    SendEnd end = SendEnd::kSent;
    const int result = client.SendFile(reader_, cursor, name, &counter, 0, &end);
    const long long took = MillisecondsSince(start);
    const std::vector<std::string> outcome =
        MessagesStarting(capture.FinishMessages(), "SendFile:");
    EXPECT_EQ(2, result);
    EXPECT_EQ(SendEnd::kStalled, end);  // told apart from a lost connection
    EXPECT_GT(counter, 0u);
    EXPECT_LT(counter, size);
    EXPECT_GE(took, kShortSendTimeoutMs);
    EXPECT_LT(took, kStallBoundMs) << "the time-out restarted";
    ASSERT_EQ(1u, outcome.size());
    EXPECT_EQ(0u, outcome[0].rfind("SendFile: Send error", 0)) << outcome[0];
    // The count is what the receiver gets when it reads on: the bytes of the send that timed
    // out included.
    client.Close();
    const ReadResult read = ReadUntilEof(receiver.peer.get(), kPromptly);
    EXPECT_TRUE(read.eof);
    EXPECT_EQ(counter, read.bytes.size());
  }
}

// The time-out does not bound the whole transfer: a receiver that keeps reading, slowly (32 KiB
// every 10 ms), gets every byte although the transfer takes longer than the time-out. The
// sender's buffer is kept small, so that the transfer's time is the reader's.
TEST_F(SendFileTest, ASlowButSteadyReceiverGetsTheWholeEntry) {
  constexpr int kTimeoutMs = 2000;
  const struct {
    const char* name;
    const std::string* content;
  } cases[] = {{kBigStoredName, &BigStoredContent()}, {kBigPackedName, &BigPackedContent()}};
  for (const auto& [name, content] : cases) {
    SCOPED_TRACE(name);
    Receiver receiver;
    ASSERT_TRUE(receiver.listener.valid());
    TcpClient client;
    client.SetSendTimeout(kTimeoutMs);
    ASSERT_EQ(0, client.Connect(receiver.port, "127.0.0.1"));
    ASSERT_TRUE(SetSendBuffer(client.socket(), 64 << 10));
    ASSERT_TRUE(receiver.Accept());
    SlowReader slow(receiver.peer.get(), 32u << 10, milliseconds(10));
    ArchiveCursor cursor(reader_.directory());
    uint32_t counter = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(0, client.SendFile(reader_, cursor, name, &counter));
    const long long took = MillisecondsSince(start);
    slow.Hurry();
    EXPECT_EQ(content->size(), counter);
    EXPECT_EQ(0, client.Close());
    const ReadResult got = slow.Join();
    EXPECT_TRUE(got.eof);
    EXPECT_TRUE(SameBytes(*content, got.bytes));
    EXPECT_GT(took, kTimeoutMs) << "the receiver was not slow enough to show anything";
  }
}

// Stops the transfer at the first progress report.
class StoppingClient : public TcpClient {
 public:
  bool OnSendProgress(uint32_t sent) override {
    reports.push_back(sent);
    return false;
  }
  std::vector<uint32_t> reports;
};

// Records every progress report and lets the transfer go on.
class WatchingClient : public TcpClient {
 public:
  bool OnSendProgress(uint32_t sent) override {
    reports.push_back(sent);
    return TcpClient::OnSendProgress(sent);
  }
  std::vector<uint32_t> reports;
};

std::atomic<int> callback_calls{0};
bool StopAtOnce(uint32_t) {
  ++callback_calls;
  return false;
}

TEST_F(SendFileTest, ProgressReportsRunningTotalsAndCanStopTheTransfer) {
  ArchiveCursor cursor(reader_.directory());
  {
    SCOPED_TRACE("every report, to the end");
    WatchingClient client;
    const Transfer t = Send(client, cursor, kBigStoredName);
    EXPECT_EQ(0, t.result);
    ASSERT_FALSE(client.reports.empty());
    EXPECT_TRUE(std::is_sorted(client.reports.begin(), client.reports.end()));
    EXPECT_EQ(client.reports.end(),
              std::adjacent_find(client.reports.begin(), client.reports.end()));
    EXPECT_EQ(kBigStoredSize, client.reports.back());
  }
  {
    SCOPED_TRACE("OnSendProgress answers false");
    StoppingClient client;
    const Transfer t = Send(client, cursor, kBigStoredName);
    EXPECT_EQ(0, t.result);  // stopped on request: not a failure
    ASSERT_EQ(1u, client.reports.size());
    EXPECT_EQ(client.reports[0], t.counter);
    EXPECT_GT(t.counter, 0u);
    EXPECT_LT(t.counter, kBigStoredSize);
    EXPECT_EQ(t.counter, t.received.bytes.size());
    const std::vector<std::string> outcome = MessagesStarting(t.trace, "SendFile:");
    ASSERT_EQ(1u, outcome.size());
    EXPECT_EQ("SendFile: Send file status error ('big.bin')", outcome[0]);
  }
  {
    SCOPED_TRACE("the installed callback answers false");
    TcpClient client;
    callback_calls = 0;
    client.SetProgressCallback(&StopAtOnce);
    const Transfer t = Send(client, cursor, kBigStoredName);
    EXPECT_EQ(0, t.result);
    EXPECT_EQ(1, callback_calls.load());
    EXPECT_LT(t.counter, kBigStoredSize);
    EXPECT_EQ(t.counter, t.received.bytes.size());
  }
}

TEST_F(SendFileTest, SendEntryWorksOnAnyConnectedSocket) {
  Receiver receiver;
  ASSERT_TRUE(receiver.listener.valid());
  platform::UniqueSocket sender = ConnectLoopback(receiver.port);
  ASSERT_TRUE(sender.valid());
  ASSERT_TRUE(receiver.Accept());
  StreamReader reader(receiver.peer.get());
  ArchiveCursor cursor(reader_.directory());

  uint32_t counter = 0;
  EXPECT_EQ(0, SendEntry(sender.get(), reader_, cursor, "pub/Dorvex/Updates/Image", &counter, {}));
  EXPECT_EQ(test::kSampleEntrySize, counter);
  std::vector<uint32_t> reports;
  EXPECT_EQ(0, SendEntry(sender.get(), reader_, cursor, "version.txt", &counter,
                         [&](uint32_t sent) {
                           reports.push_back(sent);
                           return true;
                         }));
  EXPECT_EQ(6u, counter) << "the counter starts at zero for each entry";
  EXPECT_EQ(std::vector<uint32_t>{6}, reports);
  ASSERT_TRUE(ShutdownWrite(sender.get()));
  EXPECT_TRUE(SameBytes(test::SampleEntryContent() + std::string(test::kSampleVersion),
                        reader.Join().bytes));
}

}  // namespace
}  // namespace kelvane::net
