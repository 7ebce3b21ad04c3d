// ftp/modern_session.h -- ModernFtpSession: the conversation of the modern mode, the classic
// one (FtpSession) with what today's clients expect besides.
//
// It adds passive data connections (PASV, EPSV, "EPSV ALL"): one listener per transfer, on the
// address the client reached, that takes a connection only from the client's own address and
// closes when none came within the daemon's passive expiry; EPRT under PORT's rule; SIZE, MDTM,
// REST with RETR from an offset, FEAT, MLSD, MLST, SYST, STAT, and ABOR of a transfer under
// way; LIST and NLST of a path; and the standard codes of the logon banner, PORT, EPRT, TYPE,
// an over-long line (500) and a client over the limit (421). Everything else, log lines
// included, is the classic conversation's.
//
// Like FtpSession it belongs to its connection thread. A transfer watches the control
// connection between the chunks it sends: lines that arrive meanwhile wait in the line buffer
// and are answered after it, and an ABOR among them ends it.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ftp/ftp_s.h"
#include "net/single_client_listener.h"

namespace kelvane::ftp {

class ModernFtpSession : public FtpSession {
 public:
  explicit ModernFtpSession(FtpDaemon& daemon);
  ~ModernFtpSession() override;

  // Keeps urgent bytes inline (clients send ABOR's last byte as urgent data), then converses.
  void ServeClient() override;
  // "421 Too many connections" at once, the log line with the count; the transport closes.
  void RefuseClient() override;

 protected:
  int LookupLine(const char* line) override;
  const char* UnknownCommandReply() const override;
  void Dispatch() override;
  // The expiry of the passive listener, while one is open.
  std::optional<std::chrono::steady_clock::time_point> TimerDeadline() const override;
  // Closes the expired listener; a connection from the client already waiting on it is kept
  // for the next transfer.
  void OnTimer() override;
  // Passive: the client's connection to the listener (waiting for it up to the expiry), then
  // the listener is closed; active otherwise (FtpSession's).
  std::unique_ptr<DataConnection> OpenDataConnection() override;

 private:
  void DoPassive(bool extended);
  void DoPort();
  void DoEprt();
  void DoSize();
  void DoMdtm();
  void DoRest();
  void DoRetr();
  void DoListing(LineKind kind);
  void DoMlst();
  void DoStat();
  void DoAbor();
  void DoOpts();
  // The file a SIZE or MDTM argument names, or nullptr (a directory, a missing name, the
  // password entry).
  const archive::ArchiveNode* FileOfArgument();
  // What a LIST, NLST or MLSD of |path| sends: the children of a directory, or a file alone
  // (not for MLSD); none when it names nothing that may be listed.
  std::optional<std::vector<const archive::ArchiveNode*>> NodesToList(std::string_view path,
                                                                      LineKind kind) const;
  // Polls the control connection; true when an ABOR waits among its lines or it ended.
  bool AbortRequested();
  // Ends passive mode: the listener and a waiting connection are closed.
  void ClosePassive();

  // The listener of the next transfer, while open, and when it closes.
  std::unique_ptr<net::SingleClientListener> listener_;
  std::chrono::steady_clock::time_point listener_expires_;
  // The client's connection, taken from the listener when it expired.
  platform::UniqueSocket waiting_connection_;
  // PASV or EPSV came after the last PORT or EPRT: the next transfer is passive.
  bool passive_ = false;
  // After "EPSV ALL" only EPSV sets data connections up.
  bool epsv_all_ = false;
  // REST's offset for the next RETR.
  uint64_t restart_ = 0;
};

}  // namespace kelvane::ftp
