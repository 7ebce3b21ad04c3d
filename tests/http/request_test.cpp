// http/request_test.cpp -- the way in of a request against a live server: exact answers, paths,
// refusals of what is not GET or POST, head and body limits, silence, stop, and ReceiveLine.
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "http/srv.h"
#include "http_test_util.h"
#include "platform/socket.h"

namespace kelvane::http {
namespace {

using namespace testing;

const std::string kExpiresLine = std::string("Expires: ") + kPageExpiry + "\r\n";

std::string Ok(std::string_view type, std::string_view body, bool page) {
  return "HTTP/1.0 200 ok\r\nContent-type: " + std::string(type) + "\r\n" +
         (page ? kExpiresLine : "") + "\r\n" + std::string(body);
}

std::string NotFound(std::string_view shown) {
  return "HTTP/1.0 404 File not found\r\nContent-type: text/html\r\n\r\n<HTML><BODY>File '" +
         std::string(shown) + "' not found!<P></BODY></HTML>";
}

const std::string kNotImplemented =
    "HTTP/1.0 501 Not Implemented\r\nContent-type: text/html\r\n\r\n"
    "<HTML><BODY>Method not implemented!<P></BODY></HTML>";
// The answer's header, up to and including the empty line: what HEAD gets of it.
std::string HeaderOf(const std::string& answer) {
  return answer.substr(0, answer.find("\r\n\r\n") + 4);
}

std::string Moved(std::string_view location) {
  return "HTTP/1.0 301 Moved Permanently\r\nLocation: " + std::string(location) +
         "\r\nContent-type: text/html\r\n\r\n<HTML><BODY>Moved to <A HREF=\"" +
         std::string(location) + "\">" + std::string(location) + "</A><P></BODY></HTML>";
}

const std::string kBadRequest =
    "HTTP/1.0 400 Bad Request\r\nContent-type: text/html\r\n\r\n"
    "<HTML><BODY>Bad request!<P></BODY></HTML>";

class AppServerTest : public RunningAppServerTest {};

TEST_F(AppServerTest, AnswersCarryExactlyTheStatusTypeExpiryAndBody) {
  const std::string www_index = Ok("text/html", "<HTML><BODY>www [?title?] index</BODY></HTML>\r\n", true);
  const struct {
    const char* target;
    std::string expected;
  } cases[] = {
      {"/", Ok("text/html", "<HTML>root [?HTTPSrvVersion?] page</HTML>\r\n", true)},
      {"/version.txt", Ok("text/plain", kVersionText, false)},
      {"/VERSION.Txt", Ok("text/plain", kVersionText, false)},
      {"//version.txt", Ok("text/plain", kVersionText, false)},
      {"/readme.txt", Ok("text/plain", kReadme, false)},  // brackets stay in a .txt
      {"/logo.gif", Ok("image/gif", GifBytes(), false)},
      {"/www", Moved("/www/")},  // relative links in the index need the final '/'
      {"/www/", www_index},
      {"/WWW/Index.HTM", www_index},
      {"/www\\index.htm", www_index},
      {"/www/sub/", Ok("text/html", kSubIndex, true)},
      {"/www/page.html", Ok("text/html", "<p>plain [?x?] page</p>", true)},
      {"/firmware", NotFound("firmware")},  // an entry without extension is never served
      {"/version.xyz", NotFound("version.xyz")},
      {"/nothing.htm", NotFound("nothing.htm")},
      {"/www/sub", Moved("/www/sub/")},
      {"/www/../version.txt", NotFound("www/_./version.txt")},
      {"/.../index.htm", NotFound("__./index.htm")},
      {"/www/index.htm?x=1", www_index},  // the query is not part of the name
      {"/<script>alert('x')</script>&\".htm",
       NotFound("&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&amp;&quot;.htm")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    const Answer answer = Get(port(), c.target);
    EXPECT_EQ(c.expected, answer.bytes);
    EXPECT_TRUE(answer.eof);
  }
}

TEST_F(AppServerTest, OnlyGetPostAndHeadAreServedAndEveryConnectionStartsFromTheRoot) {
  // Served pages and refusals alternate: a refusal must never answer with the page before it.
  const struct {
    const char* name;
    std::string request;
    bool half_close;
    std::string expected;
  } cases[] = {
      {"page first", "GET /version.txt HTTP/1.0\r\n\r\n", false, Ok("text/plain", kVersionText, false)},
      {"HEAD", "HEAD / HTTP/1.0\r\n\r\n", false, Ok("text/html", "", true)},
      {"lower-case get", "get /version.txt HTTP/1.0\r\n\r\n", false, Ok("text/plain", kVersionText, false)},
      {"PUT with a body", "PUT /version.txt HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello", false, kNotImplemented},
      {"post without slash", "POST /www/sub/ HTTP/1.0\r\n\r\n", false, Ok("text/html", kSubIndex, true)},
      {"OPTIONS *", "OPTIONS * HTTP/1.0\r\n\r\n", false, kNotImplemented},
      {"HTTP/0.9 HEAD", "HEAD /x\r\n\r\n", false, HeaderOf(NotFound("x"))},
      {"HEAD of no path", "HEAD * HTTP/1.0\r\n\r\n", false, kBadRequest},  // malformed as GET *
      {"a word", "hello\r\n\r\n", false, kBadRequest},
      {"binary", std::string("\x16\x03\x01 \x00\x01\n\n", 9), false, kBadRequest},
      {"bare CR LF", "\r\n", false, kBadRequest},
      {"bare LF", "\n", false, kBadRequest},
      {"absolute target", "GET http://127.0.0.1/ HTTP/1.0\r\n\r\n", false, kBadRequest},
      {"no target", "GET\r\n\r\n", false, kBadRequest},
      {"two blanks", "HEAD  / HTTP/1.0\r\n\r\n", false, kBadRequest},
      {"LF line ends", "GET /version.txt HTTP/1.0\nHost: x\n\n", false, Ok("text/plain", kVersionText, false)},
      {"closed mid-line", "GET /version.txt", true, Ok("text/plain", kVersionText, false)},
      {"closed mid-head", "GET /readme.txt HTTP/1.0\r\nHost: x\r\n", true, Ok("text/plain", kReadme, false)},
      {"closed at once", "", true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Answer answer =
        c.half_close ? ExchangeThenClose(port(), c.request) : Exchange(port(), c.request);
    EXPECT_EQ(c.expected, answer.bytes);
    EXPECT_TRUE(answer.eof);
  }
}

TEST_F(AppServerTest, RequestPathKeepsItsFirst128Characters) {
  const std::string path = LongPath(128);
  const Answer exact = Get(port(), "/" + path);
  EXPECT_EQ(Ok("text/plain", "long entry\r\n", false), exact.bytes);
  // 72 characters more are cut off, so the same entry is served.
  const Answer cut = Get(port(), "/" + path + std::string(72, 'Z'));
  EXPECT_EQ(exact.bytes, cut.bytes);
  // A 200-character path that names nothing shows its first 128 characters.
  const std::string missing = std::string(124, 'm') + ".htm" + std::string(72, 'Q');
  EXPECT_EQ(NotFound(missing.substr(0, 128)), Get(port(), "/" + missing).bytes);
}

TEST_F(AppServerTest, RequestSplitAtEveryByteGetsTheSameAnswer) {
  const std::string request =
      "POST /www/page.html HTTP/1.0\r\ncookie: c=1\r\nContent-Length: 7\r\n\r\na=1&b=2";
  const std::string expected = Ok("text/html", "<p>plain [?x?] page</p>", true);
  for (size_t split = 0; split <= request.size(); ++split) {
    SCOPED_TRACE("split at " + std::to_string(split));
    ClearSink();
    EXPECT_EQ(expected, Exchange(port(), request, split).bytes);
    EXPECT_TRUE(SinkHas("cbContent=7\n"));
    EXPECT_TRUE(SinkHas("  VariableCount=2\n"));
    EXPECT_TRUE(SinkHas("    'b'='2'\n"));
  }
}

TEST_F(AppServerTest, ContentLengthBelow2048ReadsTheBodyAndAnythingElseReadsNone) {
  const struct {
    const char* value;
    int body_length;  // what the server reads; 0: it must not wait for a body
  } cases[] = {
      {"2047", 2047}, {"2048", 0}, {"99999999999999999999", 0}, {"-1", 0},
      {"  +12abc", 12}, {"0x10", 0}, {"", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("Content-Length: ") + c.value);
    ClearSink();
    std::string body;
    if (c.body_length > 0) body = "v=" + std::string(static_cast<size_t>(c.body_length) - 2, 'x');
    const Answer answer = Exchange(port(), std::string("POST /version.txt HTTP/1.0\r\nContent-Length: ") +
                                               c.value + "\r\n\r\n" + body);
    EXPECT_EQ(Ok("text/plain", kVersionText, false), answer.bytes);
    EXPECT_EQ(c.body_length > 0, SinkHas("cbContent=" + std::to_string(c.body_length) + "\n"));
    EXPECT_TRUE(SinkHas(c.body_length > 0 ? "  VariableCount=1\n" : "  VariableCount=0\n"));
  }
}

TEST_F(AppServerTest, TraceFollowsTheRequestThroughTheServer) {
  const platform::UniqueSocket fd = Connect(port());
  ASSERT_TRUE(fd.valid());
  const uint16_t client_port = platform::LocalPort(fd.get());
  const std::string request = "GET /nothing.htm HTTP/1.0\r\nCookie: k=v\r\n\r\n";
  platform::SendAll(fd.get(), request.data(), request.size());
  ReadToEnd(fd.get());
  const std::string client = "cli=0x7F000001:" + std::to_string(client_port);
  const std::vector<std::string> expected = {
      "OnAcceptConnection(" + client + ")\n",
      "0: 'GET /nothing.htm HTTP/1.0'\n",
      "1: 'Cookie: k=v'\n",
      "2: ''\n",
      "OnGet(" + client + ",file='nothing.htm')\n",
      "srv::OnRequest(nothing.htm)\n",
      "templ::OnRequest(nothing.htm)\n",
      "templ::OnRequest: Unable to open file 'nothing.htm'\n",
      "OnFileNotFound(file='nothing.htm')\n",
  };
  std::vector<std::string> lines = SinkLines();
  ASSERT_GE(lines.size(), 1u);
  EXPECT_EQ("Start HTTP Server. Root path=''\n", lines[0]);
  lines.erase(lines.begin());
  EXPECT_EQ(expected, lines);
}

// A server with a short silence bound, and a client it must drop while another waits.
TEST(SilenceTest, SilentClientsAreDroppedAndTheNextClientIsServed) {
  WebPackage package;
  ASSERT_TRUE(package.ok());
  appsrv server(package.reader(), "", 0);
  server.SetSilenceTimeout(std::chrono::milliseconds(300));
  server.TraceSink = CaptureSink;
  ServerRunner runner(server);
  ASSERT_NE(0, runner.port());

  const struct {
    const char* name;
    std::string sent;  // then silence
  } cases[] = {
      {"nothing sent", ""},
      {"half a request line", "GET /version.txt"},
      {"head without its end", "GET /version.txt HTTP/1.0\r\nHost: x\r\n"},
      {"body cut short", "POST /version.txt HTTP/1.0\r\nContent-Length: 10\r\n\r\nabc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClearSink();
    const platform::UniqueSocket silent = Connect(runner.port());
    ASSERT_TRUE(silent.valid());
    platform::SendAll(silent.get(), c.sent.data(), c.sent.size());
    // Served while the silent client still waits to be dropped.
    const platform::UniqueSocket waiting = Connect(runner.port());
    ASSERT_TRUE(waiting.valid());
    const std::string request = "GET /version.txt HTTP/1.0\r\n\r\n";
    platform::SendAll(waiting.get(), request.data(), request.size());

    const Answer dropped = ReadToEnd(silent.get());
    EXPECT_EQ("", dropped.bytes);
    EXPECT_TRUE(dropped.eof);
    EXPECT_EQ(Ok("text/plain", kVersionText, false), ReadToEnd(waiting.get()).bytes);
    int failures = 0;
    for (const std::string& line : SinkLines()) {
      failures += line.rfind("OnReceiveFailed(cli=0x7F000001:", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(1, failures);
  }
}

// Tells the test when a client has been accepted.
class SignallingServer : public appsrv {
 public:
  using appsrv::appsrv;
  bool OnAcceptConnection(httpsock& client, uint32_t address, uint16_t port) override {
    if (!signalled_) accepted.set_value();
    signalled_ = true;
    return appsrv::OnAcceptConnection(client, address, port);
  }
  std::promise<void> accepted;

 private:
  bool signalled_ = false;
};

TEST(RunTest, StopEndsRunEvenWhileAClientIsServed) {
  WebPackage package;
  ASSERT_TRUE(package.ok());
  const int uses_before = SocketLibraryUses();
  {
    SignallingServer server(package.reader(), "", 0);  // the default 30-second silence bound
    ServerRunner runner(server);
    ASSERT_NE(0, runner.port());
    EXPECT_EQ(uses_before + 1, SocketLibraryUses());  // the listening socket
    const platform::UniqueSocket silent = Connect(runner.port());
    ASSERT_TRUE(silent.valid());
    platform::SendAll(silent.get(), "GET /", 5);
    ASSERT_EQ(std::future_status::ready, server.accepted.get_future().wait_for(kPromptly));
    EXPECT_EQ(uses_before + 2, SocketLibraryUses());  // and the client
    // The server is reading the head when the stop comes; it must not wait for the client.
    EXPECT_EQ(std::optional<bool>(true), runner.StopAndJoin());
    EXPECT_TRUE(ReadToEnd(silent.get()).eof);
    // A stopped server no longer listens and does not run again.
    EXPECT_FALSE(Connect(runner.port()).valid());
    EXPECT_TRUE(server.Run());
  }
  EXPECT_EQ(uses_before, SocketLibraryUses());
}

TEST(RunTest, RunFailsWhenThePortIsTaken) {
  WebPackage package;
  ASSERT_TRUE(package.ok());
  appsrv first(package.reader(), "", 0);
  ServerRunner runner(first);
  ASSERT_NE(0, runner.port());
  appsrv second(package.reader(), "", runner.port());
  second.SetListenAddress(platform::kLoopback);
  EXPECT_FALSE(second.Run());
  EXPECT_EQ(0, second.WaitListening(std::chrono::milliseconds(0)));
  // The first server is blocked in accept when the stop comes.
  EXPECT_EQ(std::optional<bool>(true), runner.StopAndJoin());
}

// Refuses every client before reading.
class RefusingServer : public appsrv {
 public:
  using appsrv::appsrv;
  bool OnAcceptConnection(httpsock&, uint32_t, uint16_t) override {
    ++refused;
    return false;
  }
  int refused = 0;
};

TEST(RunTest, RefusedClientIsClosedWithNothingReadOrSent) {
  WebPackage package;
  ASSERT_TRUE(package.ok());
  RefusingServer server(package.reader(), "", 0);
  server.TraceSink = CaptureSink;
  ClearSink();
  ServerRunner runner(server);
  ASSERT_NE(0, runner.port());
  const Answer answer = Get(runner.port(), "/version.txt");
  EXPECT_EQ("", answer.bytes);
  EXPECT_TRUE(answer.eof || answer.reset);  // unread request bytes may turn the close into a reset
  runner.StopAndJoin();
  EXPECT_EQ(1, server.refused);
  EXPECT_EQ(std::vector<std::string>{"Start HTTP Server. Root path=''\n"}, SinkLines());
}

TEST(ReceiveLineTest, SplitsLinesAndReportsHowTheyEnded) {
  const struct {
    const char* name;
    std::string input;  // then the client closes
    int size;
    std::vector<std::pair<int, std::string>> lines;  // results and texts, to the final 0
  } cases[] = {
      {"CR LF", "abc\r\n", 64, {{5, "abc"}, {0, ""}}},
      {"bare LF", "\n", 64, {{1, ""}, {0, ""}}},
      {"empty CR LF", "\r\n", 64, {{2, ""}, {0, ""}}},
      {"CR inside", "a\rb\r\r\n", 64, {{6, "ab"}, {0, ""}}},
      {"two lines", "x\ny\r\n", 64, {{2, "x"}, {3, "y"}, {0, ""}}},
      {"closed mid-line", "abc", 64, {{4, "abc"}, {0, ""}}},
      {"closed at once", "", 64, {{0, ""}}},
      {"too long", "abcdefghij\n", 8, {{8, "abcdefg"}, {4, "hij"}, {0, ""}}},
      {"fills exactly", "abcdefg\n", 8, {{8, "abcdefg"}, {1, ""}, {0, ""}}},
      {"binary", std::string("a\0b\n", 4), 64, {{4, std::string("a\0b", 3)}, {0, ""}}},
  };
  httplistensock listener;
  ASSERT_EQ(0, listener.Listen({platform::kLoopback, 0}));
  const uint16_t listen_port = platform::LocalPort(listener.handle());
  for (const auto& c : cases) {
    for (size_t split = 0; split <= c.input.size(); ++split) {
      SCOPED_TRACE(std::string(c.name) + ", split at " + std::to_string(split));
      platform::UniqueSocket peer = Connect(listen_port);
      ASSERT_TRUE(peer.valid());
      httpsock sock;
      platform::Ipv4Endpoint address;
      ASSERT_EQ(0, listener.Accept(sock, &address));
      EXPECT_EQ(platform::kLoopback, address.address);
      sock.SetTimeouts(static_cast<int>(kPromptly.count()));
      platform::SendAll(peer.get(), c.input.data(), split);
      platform::SendAll(peer.get(), c.input.data() + split, c.input.size() - split);
      platform::ShutdownSend(peer.get());
      for (const auto& [result, text] : c.lines) {
        char buffer[64];
        std::memset(buffer, '#', sizeof buffer);
        ASSERT_EQ(result, sock.ReceiveLine(buffer, c.size));
        EXPECT_EQ(text, std::string(buffer, text.size()));
        EXPECT_EQ('\0', buffer[text.size()]);
      }
    }
  }
}

}  // namespace
}  // namespace kelvane::http
