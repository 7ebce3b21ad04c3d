// net/tcp_server_test.cpp -- the server framework on loopback: the connection limit and its
// refusals, starting and stopping, StopAll, destruction with live connections, listening.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/tcp_server.h"
#include "net_test_util.h"
#include "platform/socket.h"
#include "test_servers.h"

namespace kelvane::net {
namespace {

using namespace nettest;
using Clock = std::chrono::steady_clock;

// Connects |count| clients and waits until the server has registered |registered| in all.
std::vector<platform::UniqueFd> ConnectHeld(const TcpServer& server, int count, int registered) {
  std::vector<platform::UniqueFd> clients;
  for (int i = 0; i < count; ++i) {
    clients.push_back(ConnectLoopback(server.port()));
    EXPECT_TRUE(clients.back().valid()) << "client " << i;
  }
  EXPECT_TRUE(
      WaitUntil([&] { return server.ConnectionCount() == registered; }, milliseconds(10000)))
      << "registered: " << server.ConnectionCount();
  return clients;
}

TEST(TcpServerTest, RefusesClientsBeyondTheLimit) {
  auto log = std::make_shared<ConnectionLog>();
  TestServer server(HeldFactory(log));
  ASSERT_TRUE(server.ListenAndStart());
  std::vector<platform::UniqueFd> held =
      ConnectHeld(server, TcpServer::MAX_CONNECTIONS, TcpServer::MAX_CONNECTIONS);
  ASSERT_EQ(TcpServer::MAX_CONNECTIONS, log->served.load());

  platform::UniqueFd extra[2] = {ConnectLoopback(server.port()), ConnectLoopback(server.port())};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE("client " + std::to_string(TcpServer::MAX_CONNECTIONS + 1 + i));
    ASSERT_TRUE(extra[i].valid());
    ASSERT_TRUE(SendAllBytes(extra[i].get(), "USER anonymous\r\n"));
  }
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE("client " + std::to_string(TcpServer::MAX_CONNECTIONS + 1 + i));
    const ReadResult got = ReadUntilEof(extra[i].get(), kPromptly);
    EXPECT_EQ(kTooManyConnections, got.bytes);
    EXPECT_TRUE(got.eof);
  }
  EXPECT_EQ(TcpServer::MAX_CONNECTIONS, log->served.load()) << "a refused client was served";
  EXPECT_TRUE(WaitUntil([&] { return server.ConnectionCount() == TcpServer::MAX_CONNECTIONS; }));

  // The held clients leave; their connections end on their own.
  held.clear();
  EXPECT_TRUE(server.WaitForConnections(kPromptly));
  EXPECT_EQ(0, server.ConnectionCount());
  EXPECT_EQ(0, log->live.load());
  EXPECT_EQ(TcpServer::MAX_CONNECTIONS, log->finished.load());

  // Below the limit again: a new client is served.
  platform::UniqueFd next = ConnectLoopback(server.port());
  ASSERT_TRUE(next.valid());
  EXPECT_TRUE(WaitUntil([&] { return log->served.load() == TcpServer::MAX_CONNECTIONS + 1; }));
}

// The limit counts every client the listener has handed to a thread, so a burst that arrives
// before any connection registers is still held to it.
TEST(TcpServerTest, KeepsTheLimitForABurstOfClients) {
  constexpr int kClients = TcpServer::MAX_CONNECTIONS + 2;
  auto log = std::make_shared<ConnectionLog>();
  TestServer server(HeldFactory(log));
  ASSERT_TRUE(server.ListenAndStart());
  std::vector<platform::UniqueFd> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(ConnectLoopback(server.port()));
    ASSERT_TRUE(clients.back().valid());
    ASSERT_TRUE(SendAllBytes(clients.back().get(), "USER anonymous\r\n"));
  }
  auto answered = [&] {
    int n = 0;
    for (const platform::UniqueFd& c : clients) n += ReadableWithin(c.get(), milliseconds(0));
    return n;
  };
  EXPECT_TRUE(WaitUntil([&] { return log->served.load() + answered() == kClients; },
                        milliseconds(10000)));
  EXPECT_EQ(TcpServer::MAX_CONNECTIONS, log->served.load());
  EXPECT_EQ(kClients - TcpServer::MAX_CONNECTIONS, answered());
  for (const platform::UniqueFd& c : clients) {
    if (ReadableWithin(c.get(), milliseconds(0))) {
      EXPECT_EQ(kTooManyConnections, ReadUntilEof(c.get(), kPromptly).bytes);
    }
  }
}

// Takes about ten seconds: the refusal waits that long for a silent client.
TEST(TcpServerSlowTest, ClosesASilentRefusedClientAfterTenSeconds) {
  auto log = std::make_shared<ConnectionLog>();
  TestServer server(HeldFactory(log));
  ASSERT_TRUE(server.ListenAndStart());
  std::vector<platform::UniqueFd> held =
      ConnectHeld(server, TcpServer::MAX_CONNECTIONS, TcpServer::MAX_CONNECTIONS);

  const Clock::time_point start = Clock::now();
  platform::UniqueFd silent = ConnectLoopback(server.port());
  ASSERT_TRUE(silent.valid());
  const ReadResult got = ReadUntilEof(silent.get(), milliseconds(15000));
  const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  EXPECT_TRUE(got.eof) << "no end of stream within 15 s";
  EXPECT_EQ("", got.bytes);
  EXPECT_GE(waited.count(), 9000) << "closed before the refusal's wait was over";
  EXPECT_LE(waited.count(), 15000);
}

TEST(TcpServerTest, GivesEachConnectionItsPeerListenerAndServer) {
  auto log = std::make_shared<ConnectionLog>();
  TestServer server(HeldFactory(log));
  ASSERT_TRUE(server.ListenAndStart());
  platform::UniqueFd client = ConnectLoopback(server.port());
  ASSERT_TRUE(client.valid());
  ASSERT_TRUE(WaitUntil([&] { return log->served.load() == 1; }));
  std::lock_guard<std::mutex> hold(log->mutex);
  EXPECT_EQ("127.0.0.1", log->peer_address);
  EXPECT_EQ(LocalPortOf(client.get()), log->peer_port);
  EXPECT_EQ(server.port(), LocalPortOf(log->listening_socket));
  EXPECT_EQ(&server, log->server);
}

TEST(TcpServerTest, ClosesAClientWhenNoConnectionIsMade) {
  TestServer server([]() { return std::unique_ptr<TcpConnection>(); });
  ASSERT_TRUE(server.ListenAndStart());
  platform::UniqueFd client = ConnectLoopback(server.port());
  ASSERT_TRUE(client.valid());
  ASSERT_TRUE(SendAllBytes(client.get(), "hello\r\n"));
  const ReadResult got = ReadUntilEof(client.get(), kPromptly);
  EXPECT_TRUE(got.eof || got.error);  // unread input may turn the close into a reset
  EXPECT_EQ("", got.bytes);
  EXPECT_TRUE(server.WaitForConnections(kPromptly));
  EXPECT_EQ(0, server.ConnectionCount());
}

TEST(TcpServerTest, StartAndStopAnswerByState) {
  TestServer never_listened(PlainFactory());
  EXPECT_EQ(0, never_listened.Stop());
  EXPECT_EQ(0xFFFF, never_listened.port());

  TestServer server(PlainFactory());
  ASSERT_EQ(0, server.Listen(0));
  EXPECT_NE(0, server.port());
  EXPECT_EQ(0, server.Stop());  // listening, not started
  EXPECT_FALSE(server.running());
  ASSERT_EQ(0, server.Start());
  EXPECT_TRUE(server.running());
  EXPECT_EQ(1, server.Start());
  EXPECT_EQ(0, server.Stop());
  EXPECT_FALSE(server.running());
  EXPECT_EQ(0, server.Stop());
}

TEST(TcpServerTest, StoppedServerQueuesClientsWithoutServingThem) {
  TestServer server(PlainFactory());
  ASSERT_TRUE(server.ListenAndStart());
  {
    platform::UniqueFd before = ConnectLoopback(server.port());
    ASSERT_TRUE(before.valid());
    ASSERT_TRUE(SendAllBytes(before.get(), "hello\r\n"));
    EXPECT_EQ(kConnectSuccessful, ReadUntilEof(before.get(), kPromptly).bytes);
  }
  ASSERT_EQ(0, server.Stop());

  // The listening socket stays open: the connect completes into the backlog.
  platform::UniqueFd queued = ConnectLoopback(server.port());
  ASSERT_TRUE(queued.valid());
  ASSERT_TRUE(SendAllBytes(queued.get(), "hello\r\n"));
  EXPECT_FALSE(ReadableWithin(queued.get(), kQuietPeriod)) << "a stopped server answered";

  // Started again, the server takes the queued client.
  ASSERT_EQ(0, server.Start());
  const ReadResult got = ReadUntilEof(queued.get(), kPromptly);
  EXPECT_EQ(kConnectSuccessful, got.bytes);
  EXPECT_TRUE(got.eof);
  EXPECT_EQ(0, server.Stop());
}

TEST(TcpServerTest, StopAllTellsEveryConnectionAndForgetsThem) {
  auto log = std::make_shared<ConnectionLog>();
  TestServer server(HeldFactory(log));
  ASSERT_TRUE(server.ListenAndStart());
  EXPECT_EQ(0, server.StopAll());

  std::vector<platform::UniqueFd> clients = ConnectHeld(server, 3, 3);
  EXPECT_EQ(3, server.StopAll());
  EXPECT_EQ(0, server.ConnectionCount());  // at once, not when the threads get round to it
  EXPECT_TRUE(server.WaitForConnections(kPromptly));
  EXPECT_EQ(3, log->finished.load());
  EXPECT_EQ(0, log->live.load());
  for (size_t i = 0; i < clients.size(); ++i) {
    SCOPED_TRACE("client " + std::to_string(i));
    EXPECT_TRUE(ReadUntilEof(clients[i].get(), kPromptly).eof);
  }
  EXPECT_EQ(0, server.StopAll());
  EXPECT_TRUE(server.running()) << "StopAll is not Stop";
}

TEST(TcpServerTest, DestructionEndsLiveConnections) {
  auto log = std::make_shared<ConnectionLog>();
  auto server = std::make_unique<TestServer>(HeldFactory(log), Teardown::kBaseOnly);
  ASSERT_TRUE(server->ListenAndStart());
  std::vector<platform::UniqueFd> clients = ConnectHeld(*server, 3, 3);
  ASSERT_EQ(3, log->live.load());

  server.reset();
  // Every connection object is gone: its thread left the server before the server went.
  EXPECT_EQ(0, log->live.load());
  EXPECT_EQ(3, log->finished.load());
  for (size_t i = 0; i < clients.size(); ++i) {
    SCOPED_TRACE("client " + std::to_string(i));
    EXPECT_TRUE(ReadUntilEof(clients[i].get(), kPromptly).eof);
  }
}

// Connections are made on the listener thread, so once the derived destructor has stopped the
// listener no thread can call into the derived part that is going.
TEST(TcpServerTest, DestructionRightAfterAnAcceptIsSafe) {
  for (int round = 0; round < 100; ++round) {  // the window is narrow: many tries
    platform::UniqueFd client;
    TestServer server(PlainFactory(), Teardown::kStopOnly);
    ASSERT_TRUE(server.ListenAndStart());
    client = ConnectLoopback(server.port());
    ASSERT_TRUE(client.valid());
  }
}

TEST(TcpServerTest, ListenFailsWithThreeOnAPortInUse) {
  uint16_t port = 0;
  platform::UniqueFd plain = ListenLoopback(&port);
  ASSERT_TRUE(plain.valid());
  uint16_t reusing_port = 0;
  platform::UniqueFd reusing = ListenLoopback(&reusing_port, /*reuse=*/true);
  ASSERT_TRUE(reusing.valid());
  TestServer first(PlainFactory());
  ASSERT_EQ(0, first.Listen(0));

  const struct {
    const char* holder;
    uint16_t port;
  } cases[] = {
      {"a listener on 127.0.0.1", port},
      {"a listener on 127.0.0.1 with SO_REUSEADDR", reusing_port},
      {"another server on every address", first.port()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.holder);
    TestServer second(PlainFactory());
    EXPECT_EQ(3, second.Listen(c.port));
    EXPECT_EQ(0xFFFF, second.port());
  }
}

TEST(TcpServerTest, ListensAgainAtOnceAfterADestroyedServer) {
  uint16_t port = 0;
  platform::UniqueFd client;
  {
    TestServer server(PlainFactory());
    ASSERT_TRUE(server.ListenAndStart());
    port = server.port();
    client = ConnectLoopback(port);
    ASSERT_TRUE(client.valid());
    ASSERT_TRUE(SendAllBytes(client.get(), "hello\r\n"));
    // The server hangs up first, so its end of the connection lingers on the port.
    ASSERT_TRUE(ReadUntilEof(client.get(), kPromptly).eof);
  }
  {
    // The scenario holds: a socket without SO_REUSEADDR cannot bind the port now.
    platform::UniqueFd probe = platform::NewStreamSocket();
    ASSERT_TRUE(probe.valid());
    ASSERT_FALSE(platform::Bind(probe.get(), {platform::kAnyAddress, port}));
  }
  TestServer again(PlainFactory());
  ASSERT_EQ(0, again.Listen(port));
  ASSERT_EQ(0, again.Start());
  platform::UniqueFd next = ConnectLoopback(port);
  ASSERT_TRUE(next.valid());
  ASSERT_TRUE(SendAllBytes(next.get(), "hello\r\n"));
  EXPECT_EQ(kConnectSuccessful, ReadUntilEof(next.get(), kPromptly).bytes);
}

}  // namespace
}  // namespace kelvane::net
