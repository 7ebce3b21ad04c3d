// http/slow_client_test.cpp -- clients that would hold the service: senders trickling a head or
// a body, a reader that takes nothing of a big answer, many clients at once, and Stop while all
// of that goes on. Limits are set short so that the tests stay quick. (A failing accept is in
// accept_failure_test.cpp.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/srv.h"
#include "http_test_util.h"
#include "platform/socket.h"

namespace kelvane::http {
namespace {

using namespace testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kVersionAnswer =
    "HTTP/1.0 200 ok\r\nContent-type: text/plain\r\n\r\n" + std::string(kVersionText);
constexpr size_t kBigSize = 16 * 1024 * 1024;  // far more than loopback buffers hold

std::string BigBytes() {
  std::string bytes(kBigSize, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 >> 7);
  return bytes;
}

// Counts the clients it has admitted, and lets a test wait for a count.
class CountingServer : public appsrv {
 public:
  using appsrv::appsrv;
  bool OnAcceptConnection(httpsock& client, uint32_t address, uint16_t port) override {
    {
      std::lock_guard<std::mutex> hold(lock_);
      ++accepted_;
    }
    changed_.notify_all();
    return appsrv::OnAcceptConnection(client, address, port);
  }
  bool WaitAccepted(int count) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, kPromptly, [&] { return accepted_ >= count; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int accepted_ = 0;
};

// Sends |text| to every socket a byte per |pace| from a thread of its own, until the text is
// out or the sender is destroyed.
class Trickler {
 public:
  Trickler(std::vector<platform::SocketHandle> fds, std::string text,
           std::chrono::milliseconds pace)
      : thread_([this, fds = std::move(fds), text = std::move(text), pace] {
          std::unique_lock<std::mutex> hold(lock_);
          for (size_t i = 0; i < text.size() && !done_; ++i) {
            for (const platform::SocketHandle fd : fds) platform::SendAll(fd, &text[i], 1);
            changed_.wait_for(hold, pace, [this] { return done_; });
          }
        }) {}
  ~Trickler() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      done_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool done_ = false;
  std::thread thread_;
};

TEST(SlowClientTest, TricklingClientsHoldUpNobodyAndAreCutAtTheHeadLimit) {
  WebPackage package;
  ASSERT_TRUE(package.ok());
  CountingServer server(package.reader(), "", 0);
  server.SetHeadTimeout(4s);
  ServerRunner runner(server);
  ASSERT_NE(0, runner.port());

  std::vector<platform::UniqueSocket> slow;
  std::vector<platform::SocketHandle> fds;
  for (int i = 0; i < 10; ++i) {
    slow.push_back(Connect(runner.port()));
    ASSERT_TRUE(slow.back().valid());
    fds.push_back(slow.back().get());
  }
  ASSERT_TRUE(server.WaitAccepted(10));
  const auto started = Clock::now();
  {
    const Trickler trickler(fds, "GET /version.txt HTTP/1.0\r\nHost: x\r\n", 200ms);
    for (int i = 0; i < 3; ++i) {
      SCOPED_TRACE(i);
      const auto before = Clock::now();
      EXPECT_EQ(kVersionAnswer, Get(runner.port(), "/version.txt").bytes);
      EXPECT_LT(Clock::now() - before, 2s);
    }
  }
  // The head limit counts from the connection, however steadily bytes come.
  for (const platform::UniqueSocket& fd : slow) {
    const Answer cut = ReadToEnd(fd.get());
    EXPECT_TRUE(cut.eof);
    EXPECT_EQ("", cut.bytes);
  }
  EXPECT_GE(Clock::now() - started, 3500ms);
}

// One piece of a paced request: bytes, then a pause.
struct Paced {
  std::string bytes;
  std::chrono::milliseconds pause;
};

// |text| cut into pieces of |size| bytes, each followed by |pause|.
std::vector<Paced> Pieces(const std::string& text, size_t size, std::chrono::milliseconds pause) {
  std::vector<Paced> pieces;
  for (size_t at = 0; at < text.size(); at += size) {
    pieces.push_back({text.substr(at, size), pause});
  }
  return pieces;
}

// Sends |pieces| in turn, stopping early once the server answers or closes; then reads to the
// end. |*elapsed| is the time from the connection to the server's close.
Answer SendPaced(uint16_t port, const std::vector<Paced>& pieces, Clock::duration* elapsed) {
  platform::UniqueSocket fd = Connect(port);
  if (!fd.valid()) return Answer{"<connect failed>", false, true};
  const auto started = Clock::now();
  for (const Paced& piece : pieces) {
    platform::SendAll(fd.get(), piece.bytes.data(), piece.bytes.size());
    if (platform::WaitReadable(fd.get(), piece.pause.count() * 1000)) break;
  }
  Answer answer = ReadToEnd(fd.get());
  *elapsed = Clock::now() - started;
  return answer;
}

TEST(SlowClientTest, HeadsAndBodiesSlowerThanTheLimitsAreCut) {
  WebPackage package;
  ASSERT_TRUE(package.ok());
  appsrv server(package.reader(), "", 0);
  server.SetHeadTimeout(300ms);
  server.SetMinimumBodyRate(1000);  // 1500 bytes have 1.5 s
  server.TraceSink = CaptureSink;
  ServerRunner runner(server);
  ASSERT_NE(0, runner.port());

  const std::string post = "POST /version.txt HTTP/1.0\r\nContent-Length: 1500\r\n\r\n";
  const std::string body = "a=" + std::string(1498, 'x');
  const auto with_head = [&post](std::vector<Paced> pieces) {
    pieces.insert(pieces.begin(), Paced{post, 0ms});
    return pieces;
  };
  const struct {
    const char* name;
    std::vector<Paced> pieces;
    bool served;
    Clock::duration at_least, below;
  } cases[] = {
      // 40 bytes at 50 bytes/s would take 800 ms: cut at 300 ms, though never silent.
      {"trickled head", Pieces("GET /version.txt HTTP/1.0\r\nHost: xxxxxx\r\n", 1, 20ms), false,
       300ms, 2s},
      // 100 bytes/s: cut once the body's 1.5 s are over.
      {"trickled body", with_head(Pieces(body, 10, 100ms)), false, 1500ms, 3500ms},
      // 1500 bytes/s: the request outlasts the head limit and is still served.
      {"body at the rate", with_head(Pieces(body, 300, 200ms)), true, 700ms, 3s},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClearSink();
    Clock::duration elapsed{};
    const Answer answer = SendPaced(runner.port(), c.pieces, &elapsed);
    EXPECT_TRUE(answer.eof);
    EXPECT_EQ(c.served ? kVersionAnswer : "", answer.bytes);
    EXPECT_GE(elapsed, c.at_least);
    EXPECT_LT(elapsed, c.below);
    EXPECT_EQ(!c.served, WaitForSinkLine("OnReceiveFailed(cli=0x7F000001:", 0ms));
  }
}

TEST(SlowClientTest, ReaderTakingNothingOfABigAnswerHoldsUpNobody) {
  const std::string big = BigBytes();
  WebPackage package(Pages{{"big.bin", big}});
  ASSERT_TRUE(package.ok());
  appsrv server(package.reader(), "", 0);
  server.TraceSink = CaptureSink;
  ClearSink();
  ServerRunner runner(server);
  ASSERT_NE(0, runner.port());

  const platform::UniqueSocket reader = Connect(runner.port());
  ASSERT_TRUE(reader.valid());
  const std::string request = "GET /big.bin HTTP/1.0\r\n\r\n";
  platform::SendAll(reader.get(), request.data(), request.size());
  ASSERT_TRUE(WaitForSinkLine("templ::OnRequest: 'big.bin' 'application/octet-stream'"));

  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const auto before = Clock::now();
    EXPECT_EQ(kVersionAnswer, Get(runner.port(), "/version.txt").bytes);
    EXPECT_LT(Clock::now() - before, 2s);
  }
  // The big answer is still whole once its reader reads.
  const Answer answer = ReadToEnd(reader.get());
  EXPECT_TRUE(answer.eof);
  EXPECT_EQ("HTTP/1.0 200 ok\r\nContent-type: application/octet-stream\r\n\r\n", answer.head());
  EXPECT_TRUE(answer.body() == big) << answer.body().size() << " bytes";
}

// A page handler that echoes what its request alone knows, after letting other answers run.
class EchoServer : public appsrv {
 public:
  EchoServer(archive::FileArchiveReader& reader) : appsrv(reader, "", 0) {
    AddPageHandler("echo.cgi", [](srv&, httpsock& client, uint32_t, uint16_t port,
                                  const char* path, char* cookie, varlist* variables) {
      std::string text = std::string(path) + "|" + cookie + "|";
      std::this_thread::yield();
      if (variables != nullptr && variables->VariableCount > 0) text += variables->Pairs[0].Value;
      text += "|" + std::to_string(port);
      client.SendString(text.c_str());
      return true;
    });
  }
  // Keeps the request's cookie, so that the handler sees it.
  bool OnCheckAccess(uint32_t, const char*, char*) override { return true; }
};

TEST(ConcurrencyTest, ManyClientsAtOnceEachGetTheirOwnAnswer) {
  WebPackage package;
  ASSERT_TRUE(package.ok());
  EchoServer server(package.reader());
  ServerRunner runner(server);
  ASSERT_NE(0, runner.port());
  constexpr int kClients = 16;
  std::vector<std::string> failures(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      for (int round = 0; round < 5; ++round) {
        const std::string id = std::to_string(i) + "-" + std::to_string(round);
        if (round % 2 == 0) {
          const std::string body = "v=" + id;
          const platform::UniqueSocket fd = Connect(runner.port());
          const std::string request = "POST /echo.cgi HTTP/1.0\r\nCookie: c" + id +
                                      "\r\nContent-Length: " + std::to_string(body.size()) +
                                      "\r\n\r\n" + body;
          platform::SendAll(fd.get(), request.data(), request.size());
          const std::string expected = "echo.cgi|c" + id + "|" + id + "|" +
                                       std::to_string(platform::LocalPort(fd.get()));
          const std::string got = ReadToEnd(fd.get()).bytes;
          if (got != expected) failures[i] += "[" + got + " != " + expected + "]";
        } else {
          const std::string got = Get(runner.port(), "/www/sub/").bytes;
          if (got.find("sub index, no includes") == std::string::npos) failures[i] += got;
        }
      }
    });
  }
  for (std::thread& client : clients) client.join();
  for (int i = 0; i < kClients; ++i) EXPECT_EQ("", failures[i]) << "client " << i;
}

TEST(RunTest, StopEndsEveryConnectionAndThreadPromptly) {
  WebPackage package(Pages{{"big.bin", BigBytes()}});
  ASSERT_TRUE(package.ok());
  appsrv server(package.reader(), "", 0);  // the default 30-second silence bound
  server.TraceSink = CaptureSink;
  ClearSink();
  ServerRunner runner(server);
  ASSERT_NE(0, runner.port());
  // Two answers stalled in their sends, and a head still coming in.
  std::vector<platform::UniqueSocket> readers;
  for (int i = 0; i < 2; ++i) {
    readers.push_back(Connect(runner.port()));
    platform::SendAll(readers.back().get(), "GET /big.bin HTTP/1.0\r\n\r\n", 26);
  }
  const platform::UniqueSocket silent = Connect(runner.port());
  platform::SendAll(silent.get(), "GET / HTTP/1.0\r\nHost", 20);
  ASSERT_TRUE(WaitForSinkLine("0: 'GET / HTTP/1.0'"));
  ASSERT_TRUE(WaitForSinkLine("templ::OnRequest: 'big.bin'"));

  const auto before = Clock::now();
  EXPECT_EQ(std::optional<bool>(true), runner.StopAndJoin());
  EXPECT_LT(Clock::now() - before, 2s);
  EXPECT_TRUE(ReadToEnd(silent.get()).eof);
  for (const platform::UniqueSocket& fd : readers) {
    const Answer cut = ReadToEnd(fd.get());
    EXPECT_LT(cut.bytes.size(), kBigSize);
  }
}

}  // namespace
}  // namespace kelvane::http
