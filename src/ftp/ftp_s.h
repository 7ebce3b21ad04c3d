// ftp/ftp_s.h -- the FTP service: FtpDaemon (the server) and FtpSession (one client's
// conversation on the control connection, its directory, data connections and downloads).
//
// The application makes one FtpDaemon over its package reader, points it at the log sink, and
// drives it with Listen, Start, Stop and StopAll from the window's thread. Every accepted client
// gets an FtpSession on its own connection thread (at most MAX_CONNECTIONS at once); a session
// touches only its own fields, the read-only archive tree, the reader (which locks itself), the
// log sink and the daemon's settings below. Failures are replies and log lines, never
// exceptions.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/FileArchiveReader.h"
#include "archive/archive_directory.h"
#include "ftp/data_connection.h"
#include "ftp/ftp_mode.h"
#include "ftp/ftp_text.h"
#include "ftp/transfer_observer.h"
#include "logview/log_sink.h"
#include "net/tcp_connection.h"
#include "net/tcp_server.h"

namespace kelvane::ftp {

class FtpDaemon;

// The classic conversation. ModernFtpSession (ftp/modern_session.h) derives from it and adds
// the modern mode through the protected hooks and pieces below; with none of them overridden
// the conversation is the classic one, reply for reply.
class FtpSession : public net::TcpConnection {
 public:
  // The transfer observer hears of a download's progress at most this often.
  static constexpr std::chrono::milliseconds kProgressInterval{250};
  // Command lines are read into this many bytes: at most 255 characters per line.
  static constexpr int kLineCapacity = 256;
  enum LoginState : int { kNoLogin = 0, kUserGiven = 1, kLoggedIn = 2 };

  // The cursor starts at the archive's root.
  explicit FtpSession(FtpDaemon& daemon);
  ~FtpSession() override;

  // The conversation: greeting, then one command line after another until QUIT, the client
  // closing, a receive error, StopAll, or a time-out (see FtpDaemon's idle, login and command
  // time-outs), which ends it as a disconnection without a reply.
  void ServeClient() override;
  // A client over the limit: the transport's refusal, then the log line with the count.
  void RefuseClient() override;

 protected:
  // Hooks of the conversation, on the connection's thread.
  // Logs the client's address; false would refuse it with "500 Disconnecting".
  virtual bool AdmitClient(const std::string& address);
  // 1 accepts the login (always); a named user's password is forgotten.
  virtual int CheckLogin(const std::string& user_name, const std::string& password);
  virtual void OnDisconnect();
  // Logs the command; false would refuse it with "550 Access is denied".
  virtual bool OnCommand(int number, const char* line);
  // Logs the outcome of the previous command (|success| 1 or 0).
  virtual void OnCommandResult(int number, const char* line, int success);
  // The data connection of one LIST, NLST or RETR, connected; nullptr when it failed.
  virtual std::unique_ptr<DataConnection> OpenDataConnection();

  // Hooks of the modes. The command number of a cleaned line (LookupCommand).
  virtual int LookupLine(const char* line);
  // The answer to a line whose number is 0 (502).
  virtual const char* UnknownCommandReply() const;
  // The login gate and the handling of the current command.
  virtual void Dispatch();
  // A moment at which the session has work of its own while it waits for a command line, and
  // that work: ReadCommandLine calls OnTimer once the moment has come and waits on. None by
  // default.
  virtual std::optional<std::chrono::steady_clock::time_point> TimerDeadline() const;
  virtual void OnTimer();

  // The directory commands and transfers; each answers whether the command succeeded.
  // PORT: sets data host and port when the argument is sound (see ftp_text.h ParsePort).
  bool ParsePort(const char* text);
  // LIST and NLST of the current directory over a new data connection; false when it could
  // not be opened or the directory is empty.
  bool ListDirectory();
  bool ListNames();
  // Sends the entry |text| names; true only when every byte of it was sent.
  bool RetrFile(const char* text);
  // "/" at the root, else "/" and the directory names from the root as stored, "/" between.
  std::string CurrentDirectory() const;

  // Pieces the modes share.
  void Reply(const char* text);
  // Sends |text| and marks the command as failed.
  void Fail(const char* text);
  // Token 1 of the line into the argument; false when there is none.
  bool TakeTokenArgument();
  // The line from character |offset| on into the argument (empty when shorter).
  void TakeRestOfLine(size_t offset);
  void Log(std::string_view text);
  // PASS, PORT and TYPE with the reply that the mode gives on success.
  void DoPass(const char* banner);
  void DoPort(const char* accepted);
  void DoType(const char* accepted);
  // The node that RETR's path names when it is an entry a client may have (tracing why not
  // otherwise): not found, the password entry or a directory give nullptr.
  const archive::ArchiveNode* FindEntryToSend(const char* text, const std::string& path);
  // RETR's data connection (OpenDataConnection), tracing a failure.
  std::unique_ptr<DataConnection> OpenRetrConnection();
  // Sends |node| (named by |path|) over |data| from byte |start| on, closes |data| and traces
  // the outcome; |go_on| is asked after each chunk (false ends the transfer early) and once
  // more after a failed send (false: the client aborted). Tells the transfer observer. True
  // only when every byte from |start| on went out.
  bool SendEntryOver(DataConnection& data, const archive::ArchiveNode& node,
                     const std::string& path, uint32_t start, const std::function<bool()>& go_on);
  // Tells the transfer observer of a RETR whose data connection could not be made.
  void ReportRefused(const archive::ArchiveNode& node, const std::string& path, uint32_t start);
  TransferInfo MakeTransferInfo(const archive::ArchiveNode& node, const std::string& path,
                                uint32_t start);
  enum class LineKind { kList, kNames, kFacts };
  // Sends the lines of |nodes| over |data| in batches and closes it; the password entry is
  // left out. Send failures end the sending but not the command.
  void SendLines(DataConnection& data, const std::vector<const archive::ArchiveNode*>& nodes,
                 LineKind kind);
  // Reads what the client has sent meanwhile into the line buffer, without waiting (one
  // receive at most). False once the control connection has ended (closed, failed, or shut by
  // StopAll); the lines read before stay to be taken.
  bool ReadPendingInput();

  FtpDaemon& daemon_;
  CommandLineBuffer input_;
  char line_[kLineCapacity] = {};
  // The line read last had more than kMaxLineLength characters (the classic mode takes its
  // first 255 as the command).
  bool line_too_long_ = false;
  std::string argument_;
  int command_ = 0;
  int login_state_ = kNoLogin;
  std::string user_name_;
  uint16_t data_port_ = 0;
  std::string data_host_;
  int result_ = -1;  // the current command: -1 none yet, 1 succeeded, 0 failed
  archive::ArchiveCursor cursor_;

 private:
  enum class LineResult { kLine, kClosed, kTimedOut };
  // Reads the next command line into line_ (cut to 255 characters). The wait for it and its
  // reading end together at the earliest of the daemon's deadlines that apply (LineDeadline);
  // a line the peer left unfinished when it closed still counts as a line. kClosed also stands
  // for a receive error and StopAll.
  LineResult ReadCommandLine();
  // When the line awaited from now on must have arrived; none when nothing bounds the wait.
  std::optional<std::chrono::steady_clock::time_point> LineDeadline() const;
  // Stores a line taken from the buffer into line_, cleaned.
  void StoreLine(const std::string& line, bool too_long);
  bool SendListing(bool names_only);

  void DoUser();
  void DoCwd();
  void DoCdup();
  void DoPwd();
  void DoStru();
  void DoRnfr();
  void DoOpts();
  void DoRetr();
  void DoList(bool names_only);

  bool quit_ = false;
  // From the first accepted PASS on, the idle time-out bounds the waits instead of the login
  // grace, even after a later USER has logged the client out again.
  bool has_logged_in_ = false;
  // ReadPendingInput met the end of the control connection.
  bool control_ended_ = false;
  std::chrono::steady_clock::time_point connected_at_;
  std::string password_;
  std::string rename_from_;
};

class FtpDaemon : public net::TcpServer {
 public:
  static constexpr int kDefaultCommandTimeoutSeconds = 60;
  static constexpr int kDefaultIdleTimeoutSeconds = 300;
  static constexpr int kDefaultLoginGraceSeconds = 60;
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  // |reader| must stay open while the service runs and outlive the daemon.
  explicit FtpDaemon(archive::FileArchiveReader& reader);
  // Stops the listener, tells every session to end and waits (bounded) for their threads.
  ~FtpDaemon() override;

  std::unique_ptr<net::TcpConnection> CreateConnection() override;

  // Where the log lines go (not owned); none drops them. Any thread.
  void SetLogSink(logview::LogSink* sink) { log_sink_.store(sink); }
  logview::LogSink* log_sink() const { return log_sink_.load(); }

  // Seconds a session waits for its next command line before it ends the conversation; 0
  // waits without limit (what the application sets). Any thread.
  void SetCommandTimeout(int seconds) { command_timeout_.store(seconds); }
  int command_timeout() const { return command_timeout_.load(); }

  // Seconds a logged-in session may stay silent before it is closed, and seconds a client has
  // from its connection to complete USER and PASS; 0 (or less) for either: no limit. Both also
  // bound the reading of a line once it has begun, so a client cannot hold a session by
  // sending half a line. The command time-out, when set, applies besides them; the earliest
  // deadline wins. A change applies from a session's next wait for a line. Any thread.
  void SetIdleTimeout(int seconds) { SetIdleTimeoutMilliseconds(int64_t{seconds} * 1000); }
  void SetLoginGrace(int seconds) { SetLoginGraceMilliseconds(int64_t{seconds} * 1000); }
  // In whole seconds, rounded up.
  int idle_timeout() const { return RoundUpToSeconds(idle_timeout_ms_.load()); }
  int login_grace() const { return RoundUpToSeconds(login_grace_ms_.load()); }
  // The same in milliseconds, for tests that cannot wait whole seconds.
  void SetIdleTimeoutMilliseconds(int64_t ms) { idle_timeout_ms_.store(ms > 0 ? ms : 0); }
  void SetLoginGraceMilliseconds(int64_t ms) { login_grace_ms_.store(ms > 0 ? ms : 0); }
  int64_t idle_timeout_ms() const { return idle_timeout_ms_.load(); }
  int64_t login_grace_ms() const { return login_grace_ms_.load(); }

  // How new sessions speak (classic by default); sessions keep the mode they started with.
  // Any thread.
  void SetMode(FtpMode mode) { mode_.store(mode); }
  FtpMode mode() const { return mode_.load(); }

  // The modern mode's passive listeners: the ports they may take (none: any port the system
  // gives), the IPv4 address PASV offers (none: the address the client reached), and how long
  // a listener waits for its client before it closes. A change applies from a session's next
  // PASV or EPSV. Any thread.
  static constexpr int64_t kDefaultPassiveExpiryMs = 30000;
  void SetPassivePorts(std::optional<PortRange> ports);
  std::optional<PortRange> passive_ports() const;
  void SetPassiveAddress(std::optional<uint32_t> address) {
    passive_address_.store(address.value_or(0));
  }
  std::optional<uint32_t> passive_address() const;
  void SetPassiveExpiryMilliseconds(int64_t ms) { passive_expiry_ms_.store(ms > 0 ? ms : 0); }
  int64_t passive_expiry_ms() const { return passive_expiry_ms_.load(); }
  // Where a new listener starts looking in the port range: each call moves on by one, so that
  // one transfer's port is not the next one's while its connections linger.
  uint32_t NextPassivePortHint() { return passive_port_hint_.fetch_add(1); }

  // Milliseconds a send on a data connection may go without progress before the transfer
  // ends as stalled (TransferResult::kStalled); 0 or less restores the default. Applies from a
  // session's next data connection. Any thread.
  void SetDataSendTimeoutMilliseconds(int ms) {
    data_send_timeout_ms_.store(ms > 0 ? ms : net::TcpClient::kDefaultTimeoutMs);
  }
  int data_send_timeout_ms() const { return data_send_timeout_ms_.load(); }

  // Told of every download (not owned); none by default. Any thread.
  void SetTransferObserver(TransferObserver* observer) { observer_.store(observer); }
  TransferObserver* transfer_observer() const { return observer_.load(); }
  // A new transfer's TransferInfo::id (from 1). Any thread.
  uint64_t NextTransferId() { return transfer_ids_.fetch_add(1) + 1; }

  // The clock of listings (the system clock by default). Set before Start.
  void SetClock(Clock clock);
  std::chrono::system_clock::time_point Now() const { return clock_(); }

  archive::FileArchiveReader& reader() const { return reader_; }

 private:
  archive::FileArchiveReader& reader_;
  std::atomic<logview::LogSink*> log_sink_{nullptr};
  std::atomic<int> command_timeout_{kDefaultCommandTimeoutSeconds};
  static int RoundUpToSeconds(int64_t ms) { return static_cast<int>((ms + 999) / 1000); }

  std::atomic<int64_t> idle_timeout_ms_{int64_t{kDefaultIdleTimeoutSeconds} * 1000};
  std::atomic<int64_t> login_grace_ms_{int64_t{kDefaultLoginGraceSeconds} * 1000};
  std::atomic<int> data_send_timeout_ms_{net::TcpClient::kDefaultTimeoutMs};
  std::atomic<TransferObserver*> observer_{nullptr};
  std::atomic<uint64_t> transfer_ids_{0};
  std::atomic<FtpMode> mode_{FtpMode::kClassic};
  std::atomic<uint32_t> passive_ports_{0};    // first << 16 | last; 0: any port
  std::atomic<uint32_t> passive_address_{0};  // 0: the address the client reached
  std::atomic<int64_t> passive_expiry_ms_{kDefaultPassiveExpiryMs};
  std::atomic<uint32_t> passive_port_hint_{0};
  Clock clock_;
};

}  // namespace kelvane::ftp
