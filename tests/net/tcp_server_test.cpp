// net/tcp_server_test.cpp -- the server framework on loopback: the connection limit and its
// refusals, starting and stopping, StopAll, destruction with live connections, listening,
// failed accepts, TCP_NODELAY.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/tcp_server.h"
#include "net_test_util.h"
#include "platform/socket.h"
#include "support/trace_capture.h"
#include "test_servers.h"

namespace kelvane::net {
namespace {

using namespace nettest;
using Clock = std::chrono::steady_clock;

// Connects |count| clients and waits until the server has registered |registered| in all.
std::vector<platform::UniqueSocket> ConnectHeld(const TcpServer& server, int count, int registered) {
  std::vector<platform::UniqueSocket> clients;
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
  std::vector<platform::UniqueSocket> held =
      ConnectHeld(server, TcpServer::MAX_CONNECTIONS, TcpServer::MAX_CONNECTIONS);
  // Registration comes just before ServeClient begins: wait for the last one to begin.
  ASSERT_TRUE(WaitUntil([&] { return log->served.load() == TcpServer::MAX_CONNECTIONS; }));

  platform::UniqueSocket extra[2] = {ConnectLoopback(server.port()), ConnectLoopback(server.port())};
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
  platform::UniqueSocket next = ConnectLoopback(server.port());
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
  std::vector<platform::UniqueSocket> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(ConnectLoopback(server.port()));
    ASSERT_TRUE(clients.back().valid());
    ASSERT_TRUE(SendAllBytes(clients.back().get(), "USER anonymous\r\n"));
  }
  auto answered = [&] {
    int n = 0;
    for (const platform::UniqueSocket& c : clients) n += ReadableWithin(c.get(), milliseconds(0));
    return n;
  };
  EXPECT_TRUE(WaitUntil([&] { return log->served.load() + answered() == kClients; },
                        milliseconds(10000)));
  EXPECT_EQ(TcpServer::MAX_CONNECTIONS, log->served.load());
  EXPECT_EQ(kClients - TcpServer::MAX_CONNECTIONS, answered());
  for (const platform::UniqueSocket& c : clients) {
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
  std::vector<platform::UniqueSocket> held =
      ConnectHeld(server, TcpServer::MAX_CONNECTIONS, TcpServer::MAX_CONNECTIONS);

  const Clock::time_point start = Clock::now();
  platform::UniqueSocket silent = ConnectLoopback(server.port());
  ASSERT_TRUE(silent.valid());
  const ReadResult got = ReadUntilEof(silent.get(), milliseconds(15000));
  const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  EXPECT_TRUE(got.eof) << "no end of stream within 15 s";
  EXPECT_EQ("", got.bytes);
  EXPECT_GE(waited.count(), 9000) << "closed before the refusal's wait was over";
  EXPECT_LE(waited.count(), 15000);
}

// A connection thread gives its place up right after it releases its connection object (which
// a test sees in ConnectionLog::live): this is ample time for that.
constexpr milliseconds kThreadEnd{100};

// Silent clients over the limit, connected one after the other until |refusals| wait.
std::vector<platform::UniqueSocket> ConnectRefused(const ConnectionLog& log, uint16_t port,
                                               int refusals) {
  std::vector<platform::UniqueSocket> clients;
  const int before = log.refusals_begun.load();
  for (int i = 0; i < refusals; ++i) {
    clients.push_back(ConnectLoopback(port));
    EXPECT_TRUE(clients.back().valid()) << "refused client " << i;
  }
  EXPECT_TRUE(WaitUntil([&] { return log.refusals_begun.load() == before + refusals; }))
      << "refusals begun: " << log.refusals_begun.load() - before;
  return clients;
}

// Refusals waiting for their clients are not sessions: they neither count in ConnectionCount
// nor keep a client out once a session has ended.
TEST(TcpServerTest, WaitingRefusalsDoNotCountAgainstTheLimit) {
  auto log = std::make_shared<ConnectionLog>();
  TestServer server(HeldFactory(log));
  ASSERT_TRUE(server.ListenAndStart());
  std::vector<platform::UniqueSocket> held =
      ConnectHeld(server, TcpServer::MAX_CONNECTIONS, TcpServer::MAX_CONNECTIONS);
  std::vector<platform::UniqueSocket> refused = ConnectRefused(*log, server.port(), 5);
  EXPECT_EQ(0, log->refused_at_once.load());
  EXPECT_EQ(TcpServer::MAX_CONNECTIONS, server.ConnectionCount()) << "refusals were counted";

  // Five sessions end while the refusals still wait: five new clients are served.
  held.resize(TcpServer::MAX_CONNECTIONS - 5);
  ASSERT_TRUE(WaitUntil([&] { return log->finished.load() == 5; }));
  // Fifteen sessions and the five refusals are left.
  ASSERT_TRUE(WaitUntil([&] { return log->live.load() == TcpServer::MAX_CONNECTIONS - 5 + 5; }));
  std::this_thread::sleep_for(kThreadEnd);
  EXPECT_EQ(TcpServer::MAX_CONNECTIONS - 5, server.ConnectionCount());
  for (int i = 0; i < 5; ++i) {
    held.push_back(ConnectLoopback(server.port()));
    ASSERT_TRUE(held.back().valid());
  }
  EXPECT_TRUE(WaitUntil([&] { return log->served.load() == TcpServer::MAX_CONNECTIONS + 5; }))
      << "served: " << log->served.load() << ", refusals: " << log->refusals_begun.load();
  EXPECT_EQ(5, log->refusals_begun.load());
  EXPECT_EQ(0, log->refusals_ended.load()) << "the refusals should still be waiting";
  EXPECT_EQ(TcpServer::MAX_CONNECTIONS, server.ConnectionCount());
}

// At most MAX_WAITING_REFUSALS refusals wait; a client beyond them is closed at once, told it
// is refused only if it had already said something.
TEST(TcpServerTest, ClosesAClientAtOnceWhenTooManyRefusalsWait) {
  auto log = std::make_shared<ConnectionLog>();
  TestServer server(HeldFactory(log));
  ASSERT_TRUE(server.ListenAndStart());
  std::vector<platform::UniqueSocket> held =
      ConnectHeld(server, TcpServer::MAX_CONNECTIONS, TcpServer::MAX_CONNECTIONS);
  std::vector<platform::UniqueSocket> waiting =
      ConnectRefused(*log, server.port(), TcpServer::MAX_WAITING_REFUSALS);
  ASSERT_EQ(0, log->refused_at_once.load());

  // A silent client: closed without a word, well before a refusal's ten seconds.
  const Clock::time_point start = Clock::now();
  platform::UniqueSocket silent = ConnectLoopback(server.port());
  ASSERT_TRUE(silent.valid());
  const ReadResult silent_got = ReadUntilEof(silent.get(), milliseconds(3000));
  EXPECT_TRUE(silent_got.eof) << "not closed at once";
  EXPECT_EQ("", silent_got.bytes);
  EXPECT_LT(MillisecondsSince(start), 3000);

  // A client whose line is there when it is accepted: queued while the listener is stopped.
  ASSERT_EQ(0, server.Stop());
  platform::UniqueSocket talking = ConnectLoopback(server.port());
  ASSERT_TRUE(talking.valid());
  ASSERT_TRUE(SendAllBytes(talking.get(), "USER anonymous\r\n"));
  std::this_thread::sleep_for(milliseconds(50));  // loopback delivers at once; to be sure
  ASSERT_EQ(0, server.Start());
  const ReadResult talking_got = ReadUntilEof(talking.get(), milliseconds(3000));
  EXPECT_EQ(kTooManyConnections, talking_got.bytes);
  EXPECT_TRUE(talking_got.eof);

  EXPECT_EQ(2, log->refused_at_once.load());
  EXPECT_EQ(TcpServer::MAX_WAITING_REFUSALS + 2, log->refusals_begun.load());
  EXPECT_EQ(2, log->refusals_ended.load()) << "a waiting refusal ended early";
  EXPECT_TRUE(WaitUntil([&] { return log->served.load() == TcpServer::MAX_CONNECTIONS; }));
  EXPECT_EQ(TcpServer::MAX_CONNECTIONS, server.ConnectionCount());
  EXPECT_EQ(TcpServer::MAX_CONNECTIONS + TcpServer::MAX_WAITING_REFUSALS, log->live.load())
      << "the connections refused at once were not released";

  // A waiting refusal that ends frees its place: the next silent client waits again.
  ASSERT_TRUE(SendAllBytes(waiting[0].get(), "USER late\r\n"));
  EXPECT_EQ(kTooManyConnections, ReadUntilEof(waiting[0].get(), kPromptly).bytes);
  ASSERT_TRUE(WaitUntil([&] {
    return log->live.load() == TcpServer::MAX_CONNECTIONS + TcpServer::MAX_WAITING_REFUSALS - 1;
  }));
  std::this_thread::sleep_for(kThreadEnd);
  std::vector<platform::UniqueSocket> again = ConnectRefused(*log, server.port(), 1);
  EXPECT_EQ(2, log->refused_at_once.load()) << "the place of the ended refusal was not free";
}

TEST(TcpServerTest, StopAllEndsWaitingRefusals) {
  auto log = std::make_shared<ConnectionLog>();
  TestServer server(HeldFactory(log));
  ASSERT_TRUE(server.ListenAndStart());
  std::vector<platform::UniqueSocket> held =
      ConnectHeld(server, TcpServer::MAX_CONNECTIONS, TcpServer::MAX_CONNECTIONS);
  std::vector<platform::UniqueSocket> refused = ConnectRefused(*log, server.port(), 3);

  const Clock::time_point start = Clock::now();
  EXPECT_EQ(TcpServer::MAX_CONNECTIONS + 3, server.StopAll());
  EXPECT_EQ(0, server.ConnectionCount());
  EXPECT_TRUE(server.WaitForConnections(kPromptly));
  EXPECT_LT(MillisecondsSince(start), 5000) << "the refusals waited out their time";
  EXPECT_EQ(3, log->refusals_ended.load());
  EXPECT_EQ(0, log->live.load());
  for (size_t i = 0; i < refused.size(); ++i) {
    SCOPED_TRACE("refused client " + std::to_string(i));
    const ReadResult got = ReadUntilEof(refused[i].get(), kPromptly);
    EXPECT_TRUE(got.eof);
    EXPECT_EQ("", got.bytes);
  }
}

TEST(TcpServerTest, AcceptedSocketsHaveNagleOff) {
  auto log = std::make_shared<ConnectionLog>();
  TestServer server(HeldFactory(log));
  ASSERT_TRUE(server.ListenAndStart());
  std::vector<platform::UniqueSocket> held =
      ConnectHeld(server, TcpServer::MAX_CONNECTIONS, TcpServer::MAX_CONNECTIONS);
  std::vector<platform::UniqueSocket> refused = ConnectRefused(*log, server.port(), 1);
  EXPECT_TRUE(WaitUntil([&] { return log->served.load() == TcpServer::MAX_CONNECTIONS; }));
  EXPECT_EQ(0, log->without_no_delay.load()) << "conversations began with Nagle on";
}

// With descriptors exhausted, accept fails at once (EMFILE: it takes the new descriptor before
// it waits). The listener traces it, pauses and accepts again; once descriptors are free, the
// clients that queued meanwhile are served, and so is a new one. Stop cuts the pause short.
//
// While no descriptor is free, the test only takes notes: a failing check would format its
// message, which UndefinedBehaviorSanitizer then checks with descriptors it cannot get.
TEST(TcpServerTest, KeepsAcceptingAfterDescriptorsRanOut) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows has no per-process descriptor limit that a test could lower";
#endif
  constexpr int kHeld = 10;
  constexpr int kStopRounds = 5;
  test::TraceCapture capture;  // its file is open before the limit is lowered
  ASSERT_TRUE(capture.ok());
  auto log = std::make_shared<ConnectionLog>();
  std::vector<platform::UniqueSocket> held;
  std::vector<platform::UniqueSocket> late(2 + kStopRounds);
  {
    TestServer server(HeldFactory(log));
    ASSERT_TRUE(server.ListenAndStart());
    // A listener thread that ends is checked by the sanitizer, which needs descriptors the
    // first time: end one while there are some.
    ASSERT_EQ(0, server.Stop());
    ASSERT_EQ(0, server.Start());
    // Each held client takes two descriptors, its own and the server's; the listener's waiting
    // accept holds one; the late clients' sockets are made now, to connect when none is left.
    DescriptorLimit limit(2 * kHeld + 1 + static_cast<int>(late.size()));
    ASSERT_TRUE(limit.ok());
    for (platform::UniqueSocket& socket : late) {
      socket = NewLoopbackSocket();
      ASSERT_TRUE(socket.valid());
    }
    for (int i = 0; i < kHeld; ++i) {
      held.push_back(ConnectLoopback(server.port()));
      ASSERT_TRUE(held.back().valid()) << "client " << i;
      ASSERT_TRUE(WaitUntil([&] { return log->served.load() == i + 1; })) << "client " << i;
    }

    struct Notes {
      bool exhausted = false;
      bool connected = true;
      bool served_last_descriptor = false;
      bool running_after_failures = false;
      int served_while_queued = -1;
      long long stop_ms[kStopRounds] = {};
      bool stopped[kStopRounds] = {};
      bool restarted = true;
      bool running_after_restarts = true;
    } notes;
    notes.exhausted = WaitUntil([] { return !NewLoopbackSocket().valid(); });
    if (notes.exhausted) {
      // The listener's waiting accept has the last descriptor: this client is served, and the
      // next accept fails.
      notes.connected &= ConnectSocket(late[0].get(), server.port());
      notes.served_last_descriptor = WaitUntil([&] { return log->served.load() == kHeld + 1; });
      std::this_thread::sleep_for(milliseconds(3 * TcpServer::kAcceptPauseMs));
      notes.running_after_failures = server.running();
      // This one queues.
      notes.connected &= ConnectSocket(late[1].get(), server.port());
      std::this_thread::sleep_for(kQuietPeriod);
      notes.served_while_queued = log->served.load();

      // Stopped while it pauses, the listener ends at once: no wake-up connection can be made.
      // It is started again with descriptors to spare (for the sanitizer, as above), then they
      // are taken away again. From the second round on, Stop comes early in a pause (a plain
      // sleep would make it wait most of the pause).
      for (int round = 0; round < kStopRounds; ++round) {
        std::this_thread::sleep_for(milliseconds(10));
        const Clock::time_point start = Clock::now();
        notes.stopped[round] = server.Stop() == 0 && !server.running();
        notes.stop_ms[round] = MillisecondsSince(start);
        limit.Restore();
        notes.restarted &= server.Start() == 0;
        std::this_thread::sleep_for(milliseconds(20));
        notes.restarted &= limit.Lower();
        // The new listener either waits in accept with a descriptor above the limit, which
        // this client takes, or has failed already and this one queues: it pauses either way.
        notes.connected &= ConnectSocket(late[2 + round].get(), server.port());
        std::this_thread::sleep_for(milliseconds(TcpServer::kAcceptPauseMs));
        notes.running_after_restarts &= server.running();
      }
    }
    limit.Restore();

    ASSERT_TRUE(notes.exhausted) << "descriptors are not exhausted";
    EXPECT_TRUE(notes.connected);
    EXPECT_TRUE(notes.served_last_descriptor);
    EXPECT_TRUE(notes.running_after_failures) << "a failed accept ended the listener";
    EXPECT_EQ(kHeld + 1, notes.served_while_queued) << "served without a descriptor";
    // A busy machine may delay a round or two; a plain sleep would delay all but the first.
    int prompt_stops = 0;
    std::string stop_times;
    for (int round = 0; round < kStopRounds; ++round) {
      EXPECT_TRUE(notes.stopped[round]) << "round " << round;
      prompt_stops += notes.stop_ms[round] < TcpServer::kAcceptPauseMs / 2;
      stop_times += " " + std::to_string(notes.stop_ms[round]) + " ms";
    }
    EXPECT_GE(prompt_stops, kStopRounds - 2) << "Stop waited for the pause to end:" << stop_times;
    EXPECT_TRUE(notes.restarted);
    EXPECT_TRUE(notes.running_after_restarts);

    // Descriptors are free again: every queued client is accepted and served, and so is a new
    // one.
    const int all = kHeld + static_cast<int>(late.size());
    EXPECT_TRUE(WaitUntil([&] { return log->served.load() == all; }))
        << "served: " << log->served.load() << " of " << all;
    EXPECT_TRUE(server.running());
    platform::UniqueSocket next = ConnectLoopback(server.port());
    ASSERT_TRUE(next.valid());
    EXPECT_TRUE(WaitUntil([&] { return log->served.load() == all + 1; }));
    held.clear();
    late.clear();
  }
  const std::vector<std::string> trace = capture.FinishMessages();
  int failures = 0;
  for (const std::string& m : trace) {
    failures += m.rfind("TcpServer: accept failed (Too many open files)", 0) == 0;
  }
  EXPECT_GE(failures, 3) << "the failed accepts were not traced";
}

// A listening socket that is shut down (what Stop does to a listener that will not end) ends
// the listener: that failure is for good.
TEST(TcpServerTest, ListenerEndsWhenItsSocketIsShutDown) {
  auto log = std::make_shared<ConnectionLog>();
  TestServer server(HeldFactory(log));
  ASSERT_TRUE(server.ListenAndStart());
  platform::UniqueSocket client = ConnectLoopback(server.port());
  ASSERT_TRUE(client.valid());
  ASSERT_TRUE(WaitUntil([&] { return log->served.load() == 1; }));
  platform::SocketHandle listening_socket = platform::kInvalidSocket;
  {
    std::lock_guard<std::mutex> hold(log->mutex);
    listening_socket = log->listening_socket;
  }
  test::TraceCapture capture;
  ASSERT_TRUE(capture.ok());
  // Windows refuses to shut a listening socket down (it is not connected), yet the call ends
  // the blocked accept all the same: only the listener's end counts here.
  platform::ShutdownBoth(listening_socket);
  EXPECT_TRUE(WaitUntil([&] { return !server.running(); })) << "the listener goes on";
  const std::vector<std::string> trace = capture.FinishMessages();
  int ends = 0;
  for (const std::string& m : trace) ends += m.rfind("TcpServer: accept failed for good", 0) == 0;
  EXPECT_EQ(1, ends);
  EXPECT_EQ(0, server.Stop());
}

TEST(TcpServerTest, GivesEachConnectionItsPeerListenerAndServer) {
  auto log = std::make_shared<ConnectionLog>();
  TestServer server(HeldFactory(log));
  ASSERT_TRUE(server.ListenAndStart());
  platform::UniqueSocket client = ConnectLoopback(server.port());
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
  platform::UniqueSocket client = ConnectLoopback(server.port());
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
    platform::UniqueSocket before = ConnectLoopback(server.port());
    ASSERT_TRUE(before.valid());
    ASSERT_TRUE(SendAllBytes(before.get(), "hello\r\n"));
    EXPECT_EQ(kConnectSuccessful, ReadUntilEof(before.get(), kPromptly).bytes);
  }
  ASSERT_EQ(0, server.Stop());

  // The listening socket stays open: the connect completes into the backlog.
  platform::UniqueSocket queued = ConnectLoopback(server.port());
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

  std::vector<platform::UniqueSocket> clients = ConnectHeld(server, 3, 3);
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
  std::vector<platform::UniqueSocket> clients = ConnectHeld(*server, 3, 3);
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
    platform::UniqueSocket client;
    TestServer server(PlainFactory(), Teardown::kStopOnly);
    ASSERT_TRUE(server.ListenAndStart());
    client = ConnectLoopback(server.port());
    ASSERT_TRUE(client.valid());
  }
}

TEST(TcpServerTest, ListenFailsWithThreeOnAPortInUse) {
  uint16_t port = 0;
  platform::UniqueSocket plain = ListenLoopback(&port);
  ASSERT_TRUE(plain.valid());
  uint16_t reusing_port = 0;
  platform::UniqueSocket reusing = ListenLoopback(&reusing_port, /*reuse=*/true);
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
  platform::UniqueSocket client;
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
#ifndef _WIN32
  {
    // The scenario holds: a socket without SO_REUSEADDR cannot bind the port now. (Windows
    // binds over lingering connections without any option, so there is nothing to show.)
    platform::UniqueSocket probe = platform::NewStreamSocket();
    ASSERT_TRUE(probe.valid());
    ASSERT_FALSE(platform::Bind(probe.get(), {platform::kAnyAddress, port}));
  }
#endif
  TestServer again(PlainFactory());
  ASSERT_EQ(0, again.Listen(port));
  ASSERT_EQ(0, again.Start());
  platform::UniqueSocket next = ConnectLoopback(port);
  ASSERT_TRUE(next.valid());
  ASSERT_TRUE(SendAllBytes(next.get(), "hello\r\n"));
  EXPECT_EQ(kConnectSuccessful, ReadUntilEof(next.get(), kPromptly).bytes);
}

}  // namespace
}  // namespace kelvane::net
