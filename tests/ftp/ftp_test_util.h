// ftp/ftp_test_util.h -- a running FtpDaemon over a fixture package, and the raw loopback
// clients that talk to it: a control connection that reads exact reply bytes and a data
// listener for the active-mode connections the service opens.
//
// The clients use the platform's socket calls only, never the net module's connection classes
// that FtpSession is built on, so that a fault there cannot hide in the test's own client.
// Every wait is bounded.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/FileArchiveReader.h"
#include "ftp/ftp_s.h"
#include "logview/log_sink.h"
#include "platform/socket_handle.h"
#include "support/fixture_package.h"

namespace kelvane::ftp::ftptest {

using std::chrono::milliseconds;
inline constexpr milliseconds kPromptly{10000};

// Keeps every log line; any thread.
class CaptureSink : public logview::LogSink {
 public:
  int AddLine(std::string_view text, bool copy_to_file) override;
  std::vector<std::string> Lines() const;
  // Waits until a line equal to |text| has arrived; false after |bound|.
  bool WaitFor(std::string_view text, milliseconds bound = kPromptly) const;
  // Whether every line was added with the copy-to-file flag.
  bool all_copied() const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool all_copied_ = true;
};

// A package written to a temporary folder, opened, and served on 127.0.0.1 at a free port.
class Harness {
 public:
  // |clock| replaces the system clock of listings when given.
  explicit Harness(const test::PackageBuilder& builder, FtpDaemon::Clock clock = {});
  ~Harness();

  bool ok() const { return ok_; }
  uint16_t port() const { return daemon_->port(); }
  FtpDaemon& daemon() { return *daemon_; }
  CaptureSink& sink() { return sink_; }
  // Destroys the daemon now (its sessions are told to end).
  void StopDaemon() { daemon_.reset(); }

 private:
  test::TempDir dir_;
  archive::FileArchiveReader reader_;
  CaptureSink sink_;
  std::unique_ptr<FtpDaemon> daemon_;
  bool ok_ = false;
};

// One control connection.
class Client {
 public:
  explicit Client(uint16_t port);
  bool connected() const { return fd_.valid(); }
  platform::SocketHandle fd() const { return fd_.get(); }

  bool Send(std::string_view bytes);
  // Sends |bytes| one send per byte with Nagle's algorithm off, so that they arrive in pieces.
  bool SendByteByByte(std::string_view bytes);
  // What one receive returns once input is waiting (after what an earlier read left over);
  // empty after |bound| or at the end of the stream.
  std::string ReceiveOnce(milliseconds bound = kPromptly);
  // Reads until |count| CR LF line ends have arrived (or the connection ends, or |bound|).
  std::string ReadLines(int count, milliseconds bound = kPromptly);
  // Sends |line| and CR LF, then reads |reply_lines| lines.
  std::string Command(std::string_view line, int reply_lines = 1);
  // Reads everything until the server closes (or |bound|).
  std::string ReadToEnd(milliseconds bound = kPromptly);
  // Greeting, USER anonymous, PASS; true when the whole banner came (|banner|: the classic
  // one unless given).
  bool Login(std::string_view user = "anonymous", std::string_view banner = {});
  // Closes the connection.
  void Close() { fd_.Reset(); }
  // Whether the server has ended the connection: the end of the stream arrives within |bound|
  // (any bytes before it are dropped).
  bool ClosedByServerWithin(milliseconds bound);

 private:
  platform::UniqueSocket fd_;
  std::string pending_;  // bytes read beyond the last line returned
};

// A data listener on 127.0.0.1 at a free port.
class DataListener {
 public:
  DataListener();
  bool ok() const { return fd_.valid(); }
  uint16_t port() const { return port_; }
  // "127,0,0,1,p1,p2" for this listener.
  std::string PortArgument() const;
  // Accepts one connection within |bound| and reads it to the end; none when no connection came.
  std::optional<std::string> AcceptAndRead(milliseconds bound = kPromptly);
  // Whether a connection is waiting to be accepted now.
  bool HasPendingConnection() const;

 private:
  platform::UniqueSocket fd_;
  uint16_t port_ = 0;
};

// What a command that may open a data connection produced.
struct DataOutcome {
  std::string replies;
  std::optional<std::string> data;  // none: no data connection was opened
};

// Sends |command| on |client|; after a 150 reply reads |listener|'s data connection to its end,
// then the final reply (a connection that came without a 150 is read too).
DataOutcome ActiveTransfer(Client& client, DataListener& listener, std::string_view command);

// The port a "227 ... (h1,h2,h3,h4,p1,p2)." or "229 ... (|||port|)" reply offers; none for any
// other text.
std::optional<uint16_t> OfferedPort(std::string_view reply);
// A connection to 127.0.0.1:|port| made from the local address |source| (another loopback
// address stands for a foreign host); invalid when it was refused.
platform::UniqueSocket ConnectFrom(uint32_t source, uint16_t port);
// Reads |socket| until the peer ends the stream (or an error, or |bound|).
std::string ReadSocketToEnd(platform::SocketHandle socket, milliseconds bound = kPromptly);

// The PORT argument for 127.0.0.1 and |port|.
std::string PortArgumentFor(uint16_t port);
// A loopback port where nothing listens.
uint16_t ClosedPort();

// The expected replies of the full logon banner.
inline constexpr char kBanner[] =
    "220-logon successful\r\n"
    " 230 ===============================\r\n"
    " 230 Varnek FTP Server! v2.0\r\n"
    "220 ===============================\r\n";
inline constexpr char kModernBanner[] =
    "230-logon successful\r\n"
    "230-===============================\r\n"
    "230-Varnek FTP Server! v2.0\r\n"
    "230 ===============================\r\n";
inline constexpr char kGreeting[] = "220 Connected to Varnek FTP server\r\n";

}  // namespace kelvane::ftp::ftptest
