// ftp/modern_session.cpp -- the commands of the modern mode, its passive listeners, restarts and
// the ABOR of a transfer under way. Its trace lines come from here and from the classic
// session's pieces it shares (RetrFile's).
#include "ftp/modern_session.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "ftp/ftp_commands.h"
#include "ftp/ftp_listing.h"
#include "ftp/ftp_text.h"
#include "trace/trace.h"
#include "util/string_format.h"

namespace kelvane::ftp {
namespace {

using std::chrono::steady_clock;
using util::Format;
namespace modern = reply::modern;

// Where the argument of a four-letter word taken whole (RETR, LIST, SIZE, ...) begins.
constexpr size_t kArgumentOffset = 5;
constexpr char kEpsvAll[] = "ALL";
constexpr char kFamilyIpv4[] = "1";
constexpr char kFamilyIpv6[] = "2";
constexpr char kMlstOption[] = "MLST";
constexpr char kLineEnd[] = "\r\n";

// Whether a line waiting in the buffer, cleaned as it will be when its turn comes, is ABOR.
bool IsAbortLine(const std::string& raw) {
  char text[FtpSession::kLineCapacity];
  const size_t length = std::min(raw.size(), sizeof text - 1);
  std::memcpy(text, raw.data(), length);
  text[length] = '\0';
  CleanLine(text, static_cast<int>(length));
  return LookupModernCommand(text) == kAbor;
}

}  // namespace

ModernFtpSession::ModernFtpSession(FtpDaemon& daemon) : FtpSession(daemon) {}

ModernFtpSession::~ModernFtpSession() = default;

void ModernFtpSession::ServeClient() {
  SetOobInline();
  FtpSession::ServeClient();
  ClosePassive();
}

void ModernFtpSession::RefuseClient() {
  // The client waits for the server to speak first: it is answered at once, then closed.
  SendText(modern::kTooManyConnections);
  Log(MaxConnectionsLine(server() != nullptr ? server()->ConnectionCount() : 0));
}

int ModernFtpSession::LookupLine(const char* line) {
  // An over-long line is discarded whole rather than taken as a command cut short.
  if (line_too_long_) return kUnknownCommand;
  return LookupModernCommand(line);
}

const char* ModernFtpSession::UnknownCommandReply() const {
  return line_too_long_ ? modern::kLineTooLong : reply::kNotImplemented;
}

void ModernFtpSession::Dispatch() {
  if (NeedsLogin(command_) && login_state_ != kLoggedIn) {
    Fail(reply::kPleaseLogin);
    return;
  }
  switch (command_) {
    case kPass: DoPass(modern::kLogonBanner); break;
    case kPort: DoPort(); break;
    case kType: DoType(modern::kTypeOk); break;
    case kPasv: DoPassive(false); break;
    case kEpsv: DoPassive(true); break;
    case kEprt: DoEprt(); break;
    case kSize: DoSize(); break;
    case kMdtm: DoMdtm(); break;
    case kRest: DoRest(); break;
    case kRetr: DoRetr(); break;
    case kList: DoListing(LineKind::kList); break;
    case kNlst: DoListing(LineKind::kNames); break;
    case kMlsd: DoListing(LineKind::kFacts); break;
    case kMlst: DoMlst(); break;
    case kFeat: Reply(modern::kFeatures); break;
    case kSyst: Reply(modern::kSystem); break;
    case kStat: DoStat(); break;
    case kAbor: DoAbor(); break;
    case kOpts: DoOpts(); break;
    default: FtpSession::Dispatch(); break;
  }
}

// ---- Passive listeners ----

std::optional<steady_clock::time_point> ModernFtpSession::TimerDeadline() const {
  if (!listener_) return std::nullopt;
  return listener_expires_;
}

void ModernFtpSession::OnTimer() {
  if (!listener_) return;
  waiting_connection_ = listener_->Accept(peer().address, steady_clock::now(), nullptr);
  if (!waiting_connection_.valid()) {
    KELVANE_TRACE("ModernFtpSession: passive listener on port %u expired\n", listener_->port());
  }
  listener_.reset();
}

void ModernFtpSession::ClosePassive() {
  listener_.reset();
  waiting_connection_.Reset();
  passive_ = false;
}

std::unique_ptr<DataConnection> ModernFtpSession::OpenDataConnection() {
  if (!passive_) return FtpSession::OpenDataConnection();
  platform::UniqueSocket socket = std::move(waiting_connection_);
  if (!socket.valid() && listener_) {
    socket = listener_->Accept(peer().address, listener_expires_,
                               [this] { return stop_requested(); });
    if (!socket.valid()) {
      KELVANE_TRACE("ModernFtpSession: passive listener on port %u expired\n",
                    listener_->port());
    }
  }
  // One listener per transfer: the next one needs PASV or EPSV again.
  ClosePassive();
  return TcpDataConnection::Adopt(std::move(socket), daemon_.data_send_timeout_ms());
}

void ModernFtpSession::DoPassive(bool extended) {
  if (extended && TakeTokenArgument()) {
    if (archive::NamesEqual(argument_, kEpsvAll)) {
      epsv_all_ = true;
      return Reply(modern::kEpsvAllOk);
    }
    if (argument_ == kFamilyIpv6) return Fail(modern::kNetworkProtocol);
    if (argument_ != kFamilyIpv4) return Fail(modern::kArgumentNotUnderstood);
  }
  if (!extended && epsv_all_) return Fail(modern::kEpsvAllInEffect);
  platform::Ipv4Endpoint local;
  if (!LocalEndpoint(&local)) return Fail(modern::kNoPassivePort);
  ClosePassive();
  const std::optional<PortRange> ports = daemon_.passive_ports();
  // On the address the client reached: a client elsewhere in the network reaches it too.
  listener_ = net::SingleClientListener::Open(local.address, ports ? ports->first : 0,
                                              ports ? ports->last : 0,
                                              daemon_.NextPassivePortHint());
  if (!listener_) return Fail(modern::kNoPassivePort);
  listener_expires_ =
      steady_clock::now() + std::chrono::milliseconds(daemon_.passive_expiry_ms());
  passive_ = true;
  const unsigned port = listener_->port();
  if (extended) return Reply(Format(modern::kExtendedPassiveFormat, port).c_str());
  const uint32_t offered = daemon_.passive_address().value_or(local.address);
  Reply(Format(modern::kPassiveFormat, offered >> 24, (offered >> 16) & 0xFF,
               (offered >> 8) & 0xFF, offered & 0xFF, port >> 8, port & 0xFF)
            .c_str());
}

void ModernFtpSession::DoPort() {
  if (epsv_all_) return Fail(modern::kEpsvAllInEffect);
  FtpSession::DoPort(modern::kPortOk);
  if (result_ == 1) ClosePassive();
}

void ModernFtpSession::DoEprt() {
  if (epsv_all_) return Fail(modern::kEpsvAllInEffect);
  if (!TakeTokenArgument()) return Fail(modern::kArgumentNotUnderstood);
  switch (ParseEprt(argument_, PeerAddress(), &data_host_, &data_port_)) {
    case EprtResult::kOk:
      ClosePassive();
      return Reply(modern::kEprtOk);
    case EprtResult::kUnsupportedFamily: return Fail(modern::kNetworkProtocol);
    case EprtResult::kForeignHost: return Fail(modern::kEprtFailed);
    case EprtResult::kNotUnderstood: return Fail(modern::kArgumentNotUnderstood);
  }
}

// ---- Sizes, times, restarts ----

const archive::ArchiveNode* ModernFtpSession::FileOfArgument() {
  TakeRestOfLine(kArgumentOffset);
  const archive::ArchiveNode* node = cursor_.Find(MakePath(argument_));
  if (node == nullptr || node->is_directory() || archive::IsPasswordEntry(*node)) return nullptr;
  return node;
}

void ModernFtpSession::DoSize() {
  const archive::ArchiveNode* node = FileOfArgument();
  if (node == nullptr) return Fail(modern::kSizeFailed);
  Reply(Format(modern::kSizeFormat, node->info()->unpacked_size).c_str());
}

void ModernFtpSession::DoMdtm() {
  const archive::ArchiveNode* node = FileOfArgument();
  if (node == nullptr) return Fail(modern::kMdtmFailed);
  Reply(Format(modern::kModifiedFormat, FactTime(node->info()->last_write_time).c_str()).c_str());
}

void ModernFtpSession::DoRest() {
  const std::optional<uint64_t> offset =
      TakeTokenArgument() ? ParseRestOffset(argument_) : std::nullopt;
  if (!offset) return Fail(modern::kArgumentNotUnderstood);
  restart_ = *offset;
  Reply(Format(modern::kRestFormat, static_cast<unsigned long long>(*offset)).c_str());
}

// ---- RETR ----

bool ModernFtpSession::AbortRequested() {
  // A control connection that ended does not stop the transfer: the data may still be wanted.
  ReadPendingInput();
  return input_.AnyCompleteLine(IsAbortLine);
}

void ModernFtpSession::DoRetr() {
  TakeRestOfLine(kArgumentOffset);
  // A restart offset serves the next RETR only, whatever becomes of it.
  const uint64_t start = std::exchange(restart_, 0);
  const std::string path = MakePath(argument_);
  const archive::ArchiveNode* node = FindEntryToSend(argument_.c_str(), path);
  if (node == nullptr) return Fail(reply::kRetrFailed);
  if (start > node->info()->unpacked_size) return Fail(modern::kRestPastEnd);

  std::unique_ptr<DataConnection> data;
  if (passive_) {
    // A client may wait for this reply before it connects.
    Reply(reply::kRetrStarted);
    data = OpenRetrConnection();
    if (!data) {
      ReportRefused(*node, path, static_cast<uint32_t>(start));
      return Fail(modern::kNoDataConnection);
    }
  } else {
    data = OpenRetrConnection();
    if (!data) {
      ReportRefused(*node, path, static_cast<uint32_t>(start));
      return Fail(reply::kRetrFailed);
    }
    Reply(reply::kRetrStarted);
  }
  bool aborted = false;
  const bool complete =
      SendEntryOver(*data, *node, path, static_cast<uint32_t>(start), [this, &aborted] {
        aborted = AbortRequested();
        return !aborted;
      });
  if (complete) return Reply(reply::kTransferComplete);
  // A client that aborts may close the data connection first, failing the send before the
  // ABOR was seen. The ABOR itself is answered when its turn comes.
  if (!aborted) aborted = AbortRequested();
  Fail(aborted ? modern::kTransferAborted : reply::kRetrFailed);
}

void ModernFtpSession::DoAbor() {
  // No transfer is under way (one under way sees ABOR itself and ends first).
  ClosePassive();
  restart_ = 0;
  Reply(modern::kAborOk);
}

// ---- Listings ----

std::optional<std::vector<const archive::ArchiveNode*>> ModernFtpSession::NodesToList(
    std::string_view path, LineKind kind) const {
  std::vector<const archive::ArchiveNode*> nodes;
  archive::ArchiveCursor at = cursor_;
  if (path.empty() || at.ChangeDir(MakePath(path))) {
    const uint32_t count = at.GetCount();
    for (uint32_t i = 0; i < count; ++i) {
      const archive::ArchiveNode* node = at.GetItem(i);
      if (!archive::IsPasswordEntry(*node)) nodes.push_back(node);
    }
    return nodes;
  }
  if (kind == LineKind::kFacts) return std::nullopt;  // MLSD lists directories only
  const archive::ArchiveNode* node = cursor_.Find(MakePath(path));
  if (node == nullptr || node->is_directory() || archive::IsPasswordEntry(*node)) {
    return std::nullopt;
  }
  nodes.push_back(node);
  return nodes;
}

void ModernFtpSession::DoListing(LineKind kind) {
  TakeRestOfLine(kArgumentOffset);
  const char* failed = kind == LineKind::kList    ? reply::kListFailed
                       : kind == LineKind::kNames ? reply::kNlstFailed
                                                  : modern::kMlsdFailed;
  const auto nodes = NodesToList(ListPathArgument(argument_), kind);
  if (!nodes) return Fail(failed);
  const bool passive = passive_;
  Reply(reply::kOpeningData);
  std::unique_ptr<DataConnection> data = OpenDataConnection();
  if (!data) return Fail(passive ? modern::kNoDataConnection : failed);
  // As in the classic mode an empty LIST or NLST fails after an empty connection; an empty
  // MLSD is an empty listing.
  if (nodes->empty() && kind != LineKind::kFacts) {
    data->Close();
    return Fail(failed);
  }
  SendLines(*data, *nodes, kind);
  Reply(reply::kTransferComplete);
}

void ModernFtpSession::DoMlst() {
  TakeRestOfLine(kArgumentOffset);
  std::string facts;
  archive::ArchiveCursor at = cursor_;
  if (argument_.empty() || at.ChangeDir(MakePath(argument_))) {
    facts = MachineFacts(at.current_list()->owner());
  } else {
    const archive::ArchiveNode* node = cursor_.Find(MakePath(argument_));
    if (node == nullptr || archive::IsPasswordEntry(*node)) return Fail(modern::kMlstFailed);
    facts = MachineFacts(node);
  }
  const std::string shown = argument_.empty() ? CurrentDirectory() : argument_;
  Reply((modern::kMlstBegin + (" " + facts) + shown + kLineEnd + modern::kMlstEnd).c_str());
}

// ---- Status and options ----

void ModernFtpSession::DoStat() {
  // STAT of a path is not offered.
  if (TakeTokenArgument()) return Fail(reply::kNotImplemented);
  std::string data;
  if (!passive_) {
    data = Format(modern::kStatusActiveFormat, data_host_.c_str(),
                  static_cast<unsigned>(data_port_));
  } else if (listener_) {
    data = Format(modern::kStatusPassiveFormat, static_cast<unsigned>(listener_->port()));
  } else {
    data = waiting_connection_.valid() ? modern::kStatusPassiveConnected
                                       : modern::kStatusPassiveExpired;
  }
  std::string text = modern::kStatusBegin;
  text += Format(modern::kStatusClientFormat, PeerAddress().c_str());
  text += Format(modern::kStatusUserFormat, user_name_.c_str());
  text += Format(modern::kStatusDataFormat, data.c_str());
  text += modern::kStatusEnd;
  Reply(text.c_str());
}

void ModernFtpSession::DoOpts() {
  // Every fact is always sent; the reply says so whatever was asked.
  if (TakeTokenArgument() && archive::NamesEqual(argument_, kMlstOption)) {
    return Reply(modern::kMlstOptsOk);
  }
  FtpSession::Dispatch();
}

}  // namespace kelvane::ftp
