// net/tcp_connection_test.cpp -- a connection's receives and sends on a real loopback socket,
// and the default conversation through a server.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/tcp_connection.h"
#include "net_test_util.h"
#include "platform/socket.h"
#include "test_servers.h"

namespace kelvane::net {
namespace {

using namespace nettest;

// A client socket and the accepted end of it, attached to a TcpConnection with no server.
class Link {
 public:
  Link() {
    uint16_t port = 0;
    listener_ = ListenLoopback(&port);
    if (!listener_.valid()) return;
    client_ = ConnectLoopback(port);
    if (!client_.valid()) return;
    served_ = AcceptWithin(listener_.get(), kPromptly);
    if (!served_.valid()) return;
    connection_.Attach(served_.get(), {platform::kLoopback, LocalPortOf(client_.get())},
                       listener_.get(), nullptr);
  }

  bool ok() const { return served_.valid(); }
  int client() const { return client_.get(); }
  int served() const { return served_.get(); }
  TcpConnection& connection() { return connection_; }

 private:
  platform::UniqueSocket listener_;
  platform::UniqueSocket client_;
  platform::UniqueSocket served_;
  TcpConnection connection_;
};

// Shows CR and LF in trace text.
std::string Visible(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

struct LineCall {
  int capacity;
  int result;
  std::string line;
};

struct LineCase {
  std::string sent;
  bool close;  // the client ends its side after sending
  std::vector<LineCall> calls;
};

std::vector<LineCase> LineCases() {
  const std::string long_line = std::string(300, 'x');
  return {
      {"USER a\r\n", false, {{256, 8, "USER a"}}},
      {"A\rB\n", false, {{256, 4, "AB"}}},  // CR dropped wherever it occurs
      {"abc", true, {{256, 4, "abc"}, {256, 0, ""}}},
      {"ab\r", true, {{256, 4, "ab"}, {256, 0, ""}}},
      {"", true, {{256, 0, ""}}},
      {"\r\n", false, {{256, 2, ""}}},
      {"\n", true, {{256, 1, ""}, {256, 0, ""}}},
      {"one\ntwo\r\n", false, {{256, 4, "one"}, {256, 5, "two"}}},  // the next line stays
      {long_line + "\r\n",
       false,
       {{256, 256, std::string(255, 'x')}, {256, 47, std::string(45, 'x')}}},
      {"ab\n", false, {{1, 1, ""}, {256, 3, "ab"}}},  // capacity 1 takes nothing
      {"ab\n", false, {{2, 2, "a"}, {2, 2, "b"}, {2, 1, ""}}},
      {"\r\n", false, {{2, 2, ""}, {2, 1, ""}}},
      {"abc\n", false, {{4, 4, "abc"}, {4, 1, ""}}},
      {"ab\n", false, {{4, 3, "ab"}}},
  };
}

void RunLineCalls(TcpConnection& connection, const LineCase& c) {
  for (size_t i = 0; i < c.calls.size(); ++i) {
    const LineCall& call = c.calls[i];
    SCOPED_TRACE("call " + std::to_string(i) + ", capacity " + std::to_string(call.capacity));
    // Exactly |capacity| bytes on the heap, so that a write past it is an ASan error.
    auto buffer = std::make_unique<char[]>(static_cast<size_t>(call.capacity));
    EXPECT_EQ(call.result, connection.ReceiveLine(buffer.get(), call.capacity));
    EXPECT_EQ(call.line, std::string(buffer.get()));
  }
}

TEST(ReceiveLineTest, ReadsOneLineFromWhatTheClientSent) {
  for (const LineCase& c : LineCases()) {
    SCOPED_TRACE("\"" + Visible(c.sent) + "\"" + (c.close ? " then close" : ""));
    Link link;
    ASSERT_TRUE(link.ok());
    ASSERT_TRUE(SendAllBytes(link.client(), c.sent));
    if (c.close) {
      ASSERT_TRUE(ShutdownWrite(link.client()));
    }
    RunLineCalls(link.connection(), c);
    EXPECT_EQ(0, QueuedBytes(link.served())) << "input left unread";
  }
}

TEST(ReceiveLineTest, DoesNotDependOnHowTheBytesArrive) {
  for (const LineCase& c : LineCases()) {
    SCOPED_TRACE("\"" + Visible(c.sent) + "\" a byte per send" + (c.close ? " then close" : ""));
    Link link;
    ASSERT_TRUE(link.ok());
    std::thread sender([&] {
      SendBytewise(link.client(), c.sent, link.served());
      if (c.close) ShutdownWrite(link.client());
    });
    RunLineCalls(link.connection(), c);
    sender.join();
  }
}

TEST(ReceiveLineTest, FailsWithMinusOneWhenTheReceiveFails) {
  Link link;
  ASSERT_TRUE(link.ok());
  ASSERT_TRUE(platform::SetReceiveTimeout(link.served(), 50));
  ASSERT_TRUE(SendAllBytes(link.client(), "ab"));  // no line end, and the client stays
  char buffer[16];
  EXPECT_EQ(-1, link.connection().ReceiveLine(buffer, sizeof buffer));
}

TEST(TcpConnectionTest, ShutdownFromAnotherThreadEndsABlockedReceive) {
  Link link;
  ASSERT_TRUE(link.ok());
  int result = 99;
  std::thread reader([&] {
    char buffer[64];
    result = link.connection().ReceiveLine(buffer, sizeof buffer);
  });
  EXPECT_FALSE(link.connection().stop_requested());
  EXPECT_EQ(0, link.connection().Shutdown());
  reader.join();
#ifdef _WIN32
  // Windows cancels the blocked receive, which then fails instead of reading an end of stream.
  EXPECT_LE(result, 0);
#else
  EXPECT_EQ(0, result);  // an end of stream, not the receive time-out of the test socket
#endif
  EXPECT_TRUE(link.connection().stop_requested());
  const ReadResult seen = ReadUntilEof(link.client(), kPromptly);
  EXPECT_TRUE(seen.eof);
}

TEST(TcpConnectionTest, WaitsForInputAndDrainsIt) {
  Link link;
  ASSERT_TRUE(link.ok());
  TcpConnection& connection = link.connection();
  char buffer[64];

  EXPECT_EQ(1, connection.WaitReadable(0, 20000));
  EXPECT_FALSE(connection.BytesPending());
  EXPECT_EQ(0, connection.Receive(buffer, sizeof buffer, 1));  // nothing within a second

  ASSERT_TRUE(SendAllBytes(link.client(), "leftover input"));
  ASSERT_TRUE(WaitUntil([&] { return QueuedBytes(link.served()) == 14; }));
  EXPECT_EQ(0, connection.WaitReadable(1, 0));
  EXPECT_TRUE(connection.BytesPending());
  EXPECT_EQ(0, connection.DrainInput());
  EXPECT_FALSE(connection.BytesPending());

  ASSERT_TRUE(SendAllBytes(link.client(), "next\r\n"));
  EXPECT_EQ(6, connection.Receive(buffer, sizeof buffer, 5));
  EXPECT_EQ("next\r\n", std::string(buffer, 6));

  ASSERT_TRUE(ShutdownWrite(link.client()));
  EXPECT_EQ(0, connection.Receive(buffer, sizeof buffer, 0));  // the peer closed
}

TEST(TcpConnectionTest, SendsEveryByteOfTextAndData) {
  Link link;
  ASSERT_TRUE(link.ok());
  StreamReader reader(link.client());
  std::string data(3 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + (i >> 12));

  EXPECT_EQ(5, link.connection().SendText("hello"));
  EXPECT_EQ(static_cast<long>(data.size()),
            link.connection().SendBytes(data.data(), static_cast<long>(data.size())));
  EXPECT_EQ(0, link.connection().Shutdown());
  const ReadResult got = reader.Join();
  EXPECT_TRUE(got.eof);
  EXPECT_TRUE(got.bytes == "hello" + data) << "received " << got.bytes.size() << " bytes";
  EXPECT_EQ(-1, link.connection().SendText("after the shutdown"));
}

TEST(TcpConnectionTest, DefaultConversationAnswersOneLineAndHangsUp) {
  const struct {
    const char* sent;
    bool close;
    const char* answer;
  } cases[] = {
      {"hello\r\n", false, kConnectSuccessful},
      {"hello\r\nand more input", false, kConnectSuccessful},
      {"hello", true, kConnectSuccessful},  // a line cut short by the close still counts
      {"", true, ""},                       // nothing came: nothing is said
  };
  TestServer server(PlainFactory());
  ASSERT_TRUE(server.ListenAndStart());
  for (const auto& c : cases) {
    SCOPED_TRACE(Visible(c.sent) + (c.close ? " then close" : ""));
    platform::UniqueSocket client = ConnectLoopback(server.port());
    ASSERT_TRUE(client.valid());
    ASSERT_TRUE(SendAllBytes(client.get(), c.sent));
    if (c.close) {
      ASSERT_TRUE(ShutdownWrite(client.get()));
    }
    const ReadResult got = ReadUntilEof(client.get(), kPromptly);
    EXPECT_EQ(c.answer, got.bytes);
    EXPECT_TRUE(got.eof);
    EXPECT_FALSE(got.error);
  }
  EXPECT_TRUE(server.WaitForConnections(kPromptly));
}

}  // namespace
}  // namespace kelvane::net
