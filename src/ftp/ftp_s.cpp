// ftp/ftp_s.cpp -- FtpDaemon and the FtpSession conversation: reading and cleaning command
// lines, the login gate, dispatch, the directory commands, listings and downloads. The trace
// lines of downloads come from here.
#include "ftp/ftp_s.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "trace/trace.h"
#include "ftp/ftp_commands.h"
#include "ftp/ftp_listing.h"
#include "ftp/ftp_text.h"
#include "ftp/modern_session.h"
#include "net/line_text.h"

namespace kelvane::ftp {
namespace {

constexpr char kTokenSeparator[] = " ";
constexpr size_t kTokenCapacity = 256;
constexpr char kAnonymous[] = "anonymous";
constexpr char kUtf8Option[] = "UTF8";
constexpr char kParentDirectory[] = "..";
// Where the argument of CWD and RETR begins: after the word and one space.
constexpr size_t kCwdArgumentOffset = 4;
constexpr size_t kRetrArgumentOffset = 5;
// The control connection is read in pieces of this size; what follows a line waits in the
// session's CommandLineBuffer.
constexpr size_t kReceiveChunk = 512;
constexpr int64_t kLongestWaitMicroseconds = int64_t{3600} * 1000000;
// Listing lines go out in batches of about this size rather than one send per line.
constexpr size_t kListingBatch = 16 * 1024;

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return archive::NamesEqual(a, b);
}

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

// ---- FtpDaemon ----

FtpDaemon::FtpDaemon(archive::FileArchiveReader& reader)
    : reader_(reader), clock_([] { return std::chrono::system_clock::now(); }) {}

FtpDaemon::~FtpDaemon() {
  // Sessions use this object until their threads end, so they end here rather than in the base
  // destructor. An FTP client never ends on its own: the sessions are told at once instead of
  // after the transport's grace period, which then only covers a client whose thread had not
  // registered yet.
  Stop();
  StopAll();
  StopAndWait();
}

std::unique_ptr<net::TcpConnection> FtpDaemon::CreateConnection() {
  if (mode() == FtpMode::kModern) return std::make_unique<ModernFtpSession>(*this);
  return std::make_unique<FtpSession>(*this);
}

void FtpDaemon::SetPassivePorts(std::optional<PortRange> ports) {
  const bool usable = ports && ports->first != 0 && ports->first <= ports->last;
  passive_ports_.store(usable ? (uint32_t{ports->first} << 16) | ports->last : 0);
}

std::optional<PortRange> FtpDaemon::passive_ports() const {
  const uint32_t packed = passive_ports_.load();
  if (packed == 0) return std::nullopt;
  return PortRange{static_cast<uint16_t>(packed >> 16), static_cast<uint16_t>(packed & 0xFFFF)};
}

std::optional<uint32_t> FtpDaemon::passive_address() const {
  const uint32_t address = passive_address_.load();
  if (address == 0) return std::nullopt;
  return address;
}

void FtpDaemon::SetClock(Clock clock) {
  clock_ = clock ? std::move(clock) : Clock([] { return std::chrono::system_clock::now(); });
}

// ---- FtpSession: the conversation ----

static_assert(CommandLineBuffer::kMaxLineLength < FtpSession::kLineCapacity,
              "a cut line and its terminator fit the line buffer");

FtpSession::FtpSession(FtpDaemon& daemon)
    : daemon_(daemon), cursor_(daemon.reader().directory()) {}

FtpSession::~FtpSession() = default;

void FtpSession::ServeClient() {
  connected_at_ = std::chrono::steady_clock::now();
  quit_ = false;
  login_state_ = kNoLogin;
  has_logged_in_ = false;
  result_ = -1;
  // Until a PORT command, data connections go back to the client's own address and port.
  data_port_ = peer().port;
  data_host_ = PeerAddress();

  if (!AdmitClient(data_host_)) {
    Reply(reply::kDisconnecting);
    return;
  }
  Reply(reply::kGreeting);

  while (!quit_) {
    if (stop_requested()) break;
    if (result_ >= 0) OnCommandResult(command_, line_, result_);
    const LineResult received = ReadCommandLine();
    if (stop_requested() || received != LineResult::kLine) break;
    net::TrimLineEnd(line_);
    command_ = LookupLine(line_);
    if (!OnCommand(command_, line_)) {
      Fail(reply::kAccessDenied);
    } else if (command_ == kUnknownCommand) {
      Fail(UnknownCommandReply());
    } else {
      result_ = 1;
      Dispatch();
    }
  }
  OnDisconnect();
}

void FtpSession::RefuseClient() {
  TcpConnection::RefuseClient();
  // Read without the server's lock: the count may be off by clients coming and going.
  Log(MaxConnectionsLine(server() != nullptr ? server()->ConnectionCount() : 0));
}

std::optional<std::chrono::steady_clock::time_point> FtpSession::LineDeadline() const {
  using std::chrono::milliseconds;
  const auto now = std::chrono::steady_clock::now();
  std::optional<std::chrono::steady_clock::time_point> deadline;
  const auto bound = [&](std::chrono::steady_clock::time_point at) {
    if (!deadline || at < *deadline) deadline = at;
  };
  const int command_seconds = daemon_.command_timeout();
  if (command_seconds > 0) bound(now + std::chrono::seconds(command_seconds));
  if (has_logged_in_) {
    const int64_t idle_ms = daemon_.idle_timeout_ms();
    if (idle_ms > 0) bound(now + milliseconds(idle_ms));
  } else {
    const int64_t grace_ms = daemon_.login_grace_ms();
    if (grace_ms > 0) bound(connected_at_ + milliseconds(grace_ms));
  }
  return deadline;
}

FtpSession::LineResult FtpSession::ReadCommandLine() {
  using std::chrono::steady_clock;
  const std::optional<steady_clock::time_point> deadline = LineDeadline();
  std::string line;
  bool too_long = false;
  while (!input_.TakeLine(&line, &too_long)) {
    if (control_ended_) {
      if (input_.TakeUnfinishedLine(&line, &too_long)) break;
      return LineResult::kClosed;
    }
    // The session's own timer wakes the wait too; its work does not end the wait for the line.
    const std::optional<steady_clock::time_point> timer = TimerDeadline();
    std::optional<steady_clock::time_point> wake = deadline;
    if (timer && (!wake || *timer < *wake)) wake = timer;
    if (wake) {
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
          *wake - steady_clock::now());
      if (left.count() <= 0) {
        if (timer && *timer == *wake) {
          OnTimer();
          continue;
        }
        return LineResult::kTimedOut;
      }
      // In steps of at most an hour, which the transport's wait takes without overflow.
      const int64_t wait_us = std::min<int64_t>(left.count(), kLongestWaitMicroseconds);
      if (WaitReadable(static_cast<int>(wait_us / 1000000), static_cast<int>(wait_us % 1000000))
          != 0) {
        continue;
      }
    }
    char chunk[kReceiveChunk];
    const long received = Receive(chunk, sizeof chunk, 0);
    if (received == 0 && input_.TakeUnfinishedLine(&line, &too_long)) break;
    if (received <= 0) return LineResult::kClosed;
    input_.Append(std::string_view(chunk, static_cast<size_t>(received)));
  }
  StoreLine(line, too_long);
  return LineResult::kLine;
}

void FtpSession::StoreLine(const std::string& line, bool too_long) {
  std::memcpy(line_, line.data(), line.size());
  line_[line.size()] = '\0';
  line_too_long_ = too_long;
  CleanLine(line_, static_cast<int>(line.size()));
}

bool FtpSession::ReadPendingInput() {
  if (control_ended_ || stop_requested()) return false;
  char chunk[kReceiveChunk];
  const long received = ReceiveNow(chunk, sizeof chunk);
  if (received == kNothingWaiting) return true;
  if (received <= 0) {
    control_ended_ = true;
    return false;
  }
  input_.Append(std::string_view(chunk, static_cast<size_t>(received)));
  return true;
}

int FtpSession::LookupLine(const char* line) { return LookupCommand(line); }

const char* FtpSession::UnknownCommandReply() const { return reply::kNotImplemented; }

std::optional<std::chrono::steady_clock::time_point> FtpSession::TimerDeadline() const {
  return std::nullopt;
}

void FtpSession::OnTimer() {}

void FtpSession::Dispatch() {
  if (NeedsLogin(command_) && login_state_ != kLoggedIn) {
    Fail(reply::kPleaseLogin);
    return;
  }
  switch (command_) {
    case kUser: DoUser(); break;
    case kPass: DoPass(reply::kLogonBanner); break;
    // ACCT's refusal does not count as a failure.
    case kAcct: Reply(reply::kNotImplemented); break;
    case kCwd: DoCwd(); break;
    case kCdup: DoCdup(); break;
    case kQuit:
      Reply(reply::kGoodbye);
      quit_ = true;
      break;
    case kPort: DoPort(reply::kPortOk); break;
    case kType: DoType(reply::kTypeOk); break;
    case kStru: DoStru(); break;
    case kRetr: DoRetr(); break;
    case kRnfr: DoRnfr(); break;
    case kPwd: DoPwd(); break;
    case kList: DoList(false); break;
    case kNlst: DoList(true); break;
    case kHelp: Reply(reply::kHelp); break;
    case kNoop: Reply(reply::kNoopOk); break;
    case kOpts: DoOpts(); break;
    // SMNT, REIN, PASV, APPE, ALLO, REST, ABOR, SITE, SYST and STAT.
    default: Fail(reply::kNotImplemented); break;
  }
}

// Every reply, of one line or several, leaves in one send.
void FtpSession::Reply(const char* text) { SendText(text); }

void FtpSession::Fail(const char* text) {
  SendText(text);
  result_ = 0;
}

bool FtpSession::TakeTokenArgument() {
  char token[kTokenCapacity];
  if (net::GetToken(line_, kTokenSeparator, 1, token, sizeof token) != 0) {
    argument_.clear();
    return false;
  }
  argument_ = token;
  return true;
}

void FtpSession::TakeRestOfLine(size_t offset) {
  const size_t length = std::strlen(line_);
  argument_.assign(length > offset ? line_ + offset : "");
}

void FtpSession::Log(std::string_view text) {
  if (logview::LogSink* sink = daemon_.log_sink()) sink->AddLine(text, true);
}

// ---- Hooks ----

bool FtpSession::AdmitClient(const std::string& address) {
  Log(address);
  return true;
}

int FtpSession::CheckLogin(const std::string& user_name, const std::string& password) {
  (void)password;  // no password is compared with anything
  if (EqualsIgnoringCase(user_name, kAnonymous)) return 1;
  user_name_ = user_name;
  password_.clear();
  return 1;
}

void FtpSession::OnDisconnect() { Log(kDisconnectLine); }

bool FtpSession::OnCommand(int number, const char* line) {
  Log(IssuedCommandLine(data_host_, number, line));
  return true;
}

void FtpSession::OnCommandResult(int number, const char* line, int success) {
  Log(CommandResultLine(user_name_, number, line, success == 1));
}

std::unique_ptr<DataConnection> FtpSession::OpenDataConnection() {
  return TcpDataConnection::Connect(data_port_, data_host_, daemon_.data_send_timeout_ms());
}

// ---- Login ----

void FtpSession::DoUser() {
  if (!TakeTokenArgument()) return Fail(reply::kUserNotUnderstood);
  user_name_ = argument_;
  // Also after a login: a second USER logs the client out until the next PASS.
  login_state_ = kUserGiven;
  Reply(reply::kUserAccepted);
}

void FtpSession::DoPass(const char* banner) {
  if (login_state_ == kNoLogin) return Fail(reply::kPassWithoutUser);
  if (!TakeTokenArgument()) return Fail(reply::kPassNotUnderstood);
  password_ = argument_;
  if (CheckLogin(std::string(user_name_), std::string(password_)) != 1) {
    return Fail(reply::kCannotLogIn);
  }
  login_state_ = kLoggedIn;
  has_logged_in_ = true;
  Reply(banner);
}

// ---- Simple commands with a token argument ----

void FtpSession::DoType(const char* accepted) {
  if (!TakeTokenArgument()) return Fail(reply::kTypeNotUnderstood);
  const char type = UpperAscii(argument_[0]);
  if (type == 'A' || type == 'I') return Reply(accepted);
  Fail(reply::kTypeFailed);
}

void FtpSession::DoStru() {
  if (!TakeTokenArgument()) return Fail(reply::kStruNotUnderstood);
  if (UpperAscii(argument_[0]) == 'F') return Reply(reply::kStruOk);
  Fail(reply::kStruFailed);
}

void FtpSession::DoRnfr() {
  if (!TakeTokenArgument()) return Fail(reply::kRnfrNotUnderstood);
  rename_from_ = argument_;  // kept, though nothing renames
  Reply(reply::kRnfrPending);
}

void FtpSession::DoOpts() {
  if (TakeTokenArgument() && EqualsIgnoringCase(argument_, kUtf8Option)) {
    return Reply(reply::kOptsOk);
  }
  Fail(reply::kNotImplemented);
}

// ---- Directories ----

void FtpSession::DoCwd() {
  TakeRestOfLine(kCwdArgumentOffset);
  if (cursor_.ChangeDir(MakePath(argument_))) return Reply(reply::kCwdOk);
  Fail(reply::kCwdFailed);
}

void FtpSession::DoCdup() {
  if (cursor_.ChangeDir(kParentDirectory)) return Reply(reply::kCwdOk);
  Fail(reply::kAccessDenied);
}

std::string FtpSession::CurrentDirectory() const {
  std::vector<const std::string*> names;
  for (const archive::ArchiveNodeList* list = cursor_.current_list();
       list != nullptr && list->owner() != nullptr; list = list->owner()->parent_list()) {
    names.push_back(&list->owner()->name());
  }
  if (names.empty()) return "/";
  std::string path;
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    path += '/';
    path += **it;
  }
  return path;
}

void FtpSession::DoPwd() {
  const std::string directory = CurrentDirectory();
  std::vector<char> text(directory.size() + sizeof reply::kCurrentDirectoryFormat);
  std::snprintf(text.data(), text.size(), reply::kCurrentDirectoryFormat, directory.c_str());
  Reply(text.data());
}

// ---- PORT ----

void FtpSession::DoPort(const char* accepted) {
  if (!TakeTokenArgument()) return Fail(reply::kPortNotUnderstood);
  if (ParsePort(argument_.c_str())) return Reply(accepted);
  Fail(reply::kPortFailed);
}

bool FtpSession::ParsePort(const char* text) {
  return ftp::ParsePort(text, PeerAddress(), &data_host_, &data_port_);
}

// ---- Listings ----

void FtpSession::DoList(bool names_only) {
  // Any argument (options such as -la, a path) is ignored: the current directory is listed.
  Reply(reply::kOpeningData);
  const bool sent = names_only ? ListNames() : ListDirectory();
  if (sent) return Reply(reply::kTransferComplete);
  Fail(names_only ? reply::kNlstFailed : reply::kListFailed);
}

bool FtpSession::ListDirectory() { return SendListing(false); }

bool FtpSession::ListNames() { return SendListing(true); }

bool FtpSession::SendListing(bool names_only) {
  std::unique_ptr<DataConnection> data = OpenDataConnection();
  if (!data) return false;
  std::vector<const archive::ArchiveNode*> nodes;
  const uint32_t count = cursor_.GetCount();
  for (uint32_t i = 0; i < count; ++i) {
    const archive::ArchiveNode* node = cursor_.GetItem(i);
    if (!archive::IsPasswordEntry(*node)) nodes.push_back(node);
  }
  // A directory that holds nothing but the password entry is empty to a client.
  if (nodes.empty()) {
    data->Close();
    return false;
  }
  SendLines(*data, nodes, names_only ? LineKind::kNames : LineKind::kList);
  return true;
}

void FtpSession::SendLines(DataConnection& data,
                           const std::vector<const archive::ArchiveNode*>& nodes, LineKind kind) {
  const ListingNow now = MakeListingNow(daemon_.Now());
  std::string batch;
  bool sending = true;  // a failed send is not an error, but nothing more is sent
  for (size_t i = 0; i < nodes.size() && sending; ++i) {
    const archive::ArchiveNode& node = *nodes[i];
    if (archive::IsPasswordEntry(node)) continue;
    switch (kind) {
      case LineKind::kList: batch += ListingLine(node, now); break;
      case LineKind::kNames: batch += NameLine(node); break;
      case LineKind::kFacts: batch += MachineListingLine(node); break;
    }
    if (batch.size() >= kListingBatch) {
      sending = data.Send(batch) && !stop_requested();
      batch.clear();
    }
  }
  if (sending) data.Send(batch);
  data.Close();
}

// ---- RETR ----

void FtpSession::DoRetr() {
  TakeRestOfLine(kRetrArgumentOffset);
  if (RetrFile(argument_.c_str())) return Reply(reply::kTransferComplete);
  Fail(reply::kRetrFailed);
}

bool FtpSession::RetrFile(const char* text) {
  const std::string path = MakePath(text);
  const archive::ArchiveNode* node = FindEntryToSend(text, path);
  if (node == nullptr) return false;
  std::unique_ptr<DataConnection> data = OpenRetrConnection();
  if (!data) {
    ReportRefused(*node, path, 0);
    return false;
  }
  Reply(reply::kRetrStarted);
  return SendEntryOver(*data, *node, path, 0, nullptr);
}

std::unique_ptr<DataConnection> FtpSession::OpenRetrConnection() {
  std::unique_ptr<DataConnection> data = OpenDataConnection();
  if (!data) KELVANE_TRACE("RetrFile: Connect failed!\n");
  return data;
}

const archive::ArchiveNode* FtpSession::FindEntryToSend(const char* text,
                                                        const std::string& path) {
  KELVANE_TRACE("RetrFile: '%s' -> '%s'\n", text, path.c_str());
  const archive::ArchiveNode* node = cursor_.Find(path);
  // The password entry is absent to clients, whichever spelling or path found it.
  if (node == nullptr || archive::IsPasswordEntry(*node)) {
    KELVANE_TRACE("RetrFile: Entry '%s' not found!\n", path.c_str());
    return nullptr;
  }
  if (node->is_directory()) {
    KELVANE_TRACE("RetrFile: Entry '%s' is dir!\n", path.c_str());
    return nullptr;
  }
  return node;
}

TransferInfo FtpSession::MakeTransferInfo(const archive::ArchiveNode& node,
                                          const std::string& path, uint32_t start) {
  return {daemon_.NextTransferId(), PeerAddress(), user_name_, path,
          node.info()->unpacked_size - start};
}

void FtpSession::ReportRefused(const archive::ArchiveNode& node, const std::string& path,
                               uint32_t start) {
  TransferObserver* observer = daemon_.transfer_observer();
  if (observer == nullptr) return;
  const TransferInfo transfer = MakeTransferInfo(node, path, start);
  observer->OnTransferStart(transfer);
  observer->OnTransferEnd(transfer, {0, std::chrono::milliseconds(0), TransferResult::kRefused});
}

bool FtpSession::SendEntryOver(DataConnection& data, const archive::ArchiveNode& node,
                               const std::string& path, uint32_t start,
                               const std::function<bool()>& go_on) {
  using std::chrono::steady_clock;
  TransferObserver* observer = daemon_.transfer_observer();
  const TransferInfo transfer = MakeTransferInfo(node, path, start);
  const steady_clock::time_point started = steady_clock::now();
  if (observer != nullptr) observer->OnTransferStart(transfer);
  // Chunks are large, so one clock reading per chunk costs nothing next to the send; the
  // observer hears of the first chunk, then of one per interval at most.
  steady_clock::time_point next_progress = started;
  // StopAll ends a transfer at its next chunk; the short count then fails it.
  const DataConnection::Progress progress = [&](uint32_t sent) {
    if (observer != nullptr) {
      const steady_clock::time_point now = steady_clock::now();
      if (now >= next_progress) {
        observer->OnTransferProgress(transfer, sent);
        next_progress = now + kProgressInterval;
      }
    }
    return !stop_requested() && (!go_on || go_on());
  };
  uint32_t sent = 0;
  net::SendEnd end = net::SendEnd::kSent;
  const int code = data.SendEntry(daemon_.reader(), cursor_, path, &sent, progress, start, &end);
  data.Close();
  KELVANE_TRACE("RetrFile: SendFile returned %d (%s)!\n", code, code == 0 ? "OK" : "FAILED");

  // A device must never be told that a broken or cut-off image arrived whole.
  const bool complete = code == 0 && sent == transfer.size;
  if (code == 0 && !complete) {
    KELVANE_TRACE("RetrFile: %u of %u bytes sent!\n", sent, transfer.size);
  }
  if (observer == nullptr) return complete;
  TransferResult result = TransferResult::kComplete;
  if (!complete) {
    switch (end) {
      case net::SendEnd::kStopped: result = TransferResult::kAborted; break;
      case net::SendEnd::kStalled: result = TransferResult::kStalled; break;
      // A client that aborts may close the data connection before its ABOR is read: asking
      // once more tells an abort from a lost connection.
      case net::SendEnd::kLost:
        result = go_on && !go_on() ? TransferResult::kAborted : TransferResult::kConnectionLost;
        break;
      // All sent but fewer bytes than the entry's record promised: damaged too.
      case net::SendEnd::kSent:
      case net::SendEnd::kNotOpened:
      case net::SendEnd::kDamaged: result = TransferResult::kDamaged; break;
    }
  }
  const auto duration =
      std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - started);
  observer->OnTransferEnd(transfer, {sent, duration, result});
  return complete;
}

}  // namespace kelvane::ftp
