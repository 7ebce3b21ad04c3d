// http/http_test_util.h -- what the HTTP tests share: the fixture package of pages, a server
// running on its own thread, a loopback client that reads an answer to its end, and a trace sink
// that keeps the server's lines.
//
// Every wait is bounded: clients carry a receive time-out, and the server thread is stopped and
// joined when its runner goes.
#pragma once

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <future>
#include <optional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "archive/FileArchiveReader.h"
#include "http/srv.h"
#include "http/templ.h"
#include "platform/socket_handle.h"
#include "support/fixture_package.h"

namespace kelvane::http::testing {

using std::chrono::milliseconds;

// Bound for anything that should happen at once on loopback.
inline constexpr milliseconds kPromptly{10000};

// Fixture page contents, shared by the package and the expectations.
inline constexpr std::string_view kVersionText = "3.34\r\n";
inline constexpr std::string_view kRootIndex = "<HTML>root [HTTPSrvVersion] page</HTML>\r\n";
inline constexpr std::string_view kWwwIndex = "<HTML><BODY>www [title] index</BODY></HTML>\r\n";
inline constexpr std::string_view kSubIndex = "sub index, no includes\r\n";
inline constexpr std::string_view kPlainPage = "<p>plain [x] page</p>";
inline constexpr std::string_view kReadme = "readme [not an include] text\r\n";
// The directory of the entry whose path has exactly 128 characters.
inline constexpr std::string_view kLongDirectory = "long";

// GIF-like bytes with a zero byte, a '[' and high bytes.
std::string GifBytes();
// The content of the firmware entry (no extension) and of the two damaged entries.
std::string FirmwareBytes();
std::string DamagedText();
// The path ("long/" and a name ending in ".txt") of exactly |length| characters.
std::string LongPath(size_t length);

// The fixture package:
//   index.htm, version.txt, readme.txt, logo.gif, firmware (no extension), www\index.htm,
//   www\page.html, www\sub\index.htm, long\<name> (a path of exactly 128 characters),
//   damaged.txt and damaged.htm (compressed, with a broken check at the end),
//   and every page of |extra| (name, content), stored uncompressed.
using Pages = std::vector<std::pair<std::string, std::string>>;

class WebPackage {
 public:
  explicit WebPackage(const Pages& extra = {});
  WebPackage(const WebPackage&) = delete;
  WebPackage& operator=(const WebPackage&) = delete;
  archive::FileArchiveReader& reader() { return reader_; }
  bool ok() const { return ok_; }

 private:
  test::TempDir dir_;
  archive::FileArchiveReader reader_;
  bool ok_ = false;
};

// Runs |server|.Run() on a thread for the runner's life; Stop and join on destruction.
class ServerRunner {
 public:
  // Listens on 127.0.0.1 at a port the system picks.
  explicit ServerRunner(templ& server);
  ~ServerRunner();
  ServerRunner(const ServerRunner&) = delete;
  ServerRunner& operator=(const ServerRunner&) = delete;

  // 0 when the server did not come up.
  uint16_t port() const { return port_; }
  // Stops the server and waits (bounded) for Run's result; nullopt when Run did not return.
  std::optional<bool> StopAndJoin(milliseconds bound = kPromptly);

 private:
  templ& server_;
  std::future<bool> result_;
  uint16_t port_ = 0;
  bool joined_ = false;
};

// What one connection brought back.
struct Answer {
  std::string bytes;
  bool eof = false;    // the server closed in order
  bool reset = false;  // the connection failed (a reset)
  std::string head() const;  // up to and including the empty line, or everything
  std::string body() const;  // after the empty line
};

// A client socket on 127.0.0.1:|port| with a receive time-out of kPromptly; invalid on failure.
platform::UniqueSocket Connect(uint16_t port);
// Reads until the server closes, the connection fails or kPromptly passes.
Answer ReadToEnd(platform::SocketHandle socket);
// Connects, sends |request| (in pieces split at |split| when given) and reads the answer.
Answer Exchange(uint16_t port, std::string_view request, size_t split = std::string_view::npos);
// Like Exchange, then ends the sending direction, so the server sees the end of the stream.
Answer ExchangeThenClose(uint16_t port, std::string_view request);
// GET |target| with an HTTP/1.0 request line and an empty line.
Answer Get(uint16_t port, std::string_view target);

// Whether a socket closed after SetResetOnClose reaches its loopback peer as a reset, as it does
// on Linux and Windows. Wine 8 closes such a socket in order all the same (its closesocket does
// not honour SO_LINGER with a zero time-out), so a reset cannot be seen there.
bool AbortiveCloseResets();

// The server's trace lines, kept by CaptureSink (a TraceSinkFunction) for the whole process.
void CaptureSink(const char* format, va_list args);
std::vector<std::string> SinkLines();
void ClearSink();

// The application's server (empty root, trace lines captured) over a WebPackage with |extra|
// pages, running on loopback for each test.
class RunningAppServerTest : public ::testing::Test {
 protected:
  explicit RunningAppServerTest(const Pages& extra = {}) : package_(extra) {}
  void SetUp() override {
    ASSERT_TRUE(package_.ok());
    ClearSink();
    server_.TraceSink = CaptureSink;
    runner_ = std::make_unique<ServerRunner>(server_);
    ASSERT_NE(0, runner_->port());
  }
  uint16_t port() const { return runner_->port(); }

  WebPackage package_;
  appsrv server_{package_.reader(), "", 0};
  std::unique_ptr<ServerRunner> runner_;
};
bool SinkHas(const std::string& line);
// Waits up to |bound| for a kept line that starts with |prefix|; whether one came.
bool WaitForSinkLine(const std::string& prefix, milliseconds bound = kPromptly);
// The kept lines with every "cli=0x7F000001:<port>" written "cli=<client>", and without the
// server's start line, so that the lines of two servers and clients compare.
std::vector<std::string> MaskedSinkLines();

}  // namespace kelvane::http::testing
