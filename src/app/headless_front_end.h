// app/headless_front_end.h -- the front end without a window: the log view's lines on stdout,
// everything a window would show on stderr, questions and prompts on the terminal.
//
// stdout carries exactly the log's lines, one per line, flushed per line. Each message box and
// each status text is one line on stderr (a text with line ends gives several); so are the
// caption ("Caption: ..."), the read-me address ("Read-me: ..."), the addresses a device may
// use ("Address: ..." at start), each finished download ("Transfer: ..."), the totals at
// exit ("Transfers: ...") and each line of the package check ("Damaged entry: ...",
// "Package verified: ..."). Yes/No questions, the
// ports dialog and the password prompt read the terminal when stdin is one; otherwise a
// question is answered No, the ports dialog is cancelled, and the password is
// KELVANE_PASSWORD, tried once (without it the prompt says that a password is required and is
// cancelled). Run waits for SIGINT or SIGTERM.
//
// The window's thread calls everything; ShowMessage may also come from the HTTP thread, and
// ShowStatus, ShowPackageCheck and the log lines from any thread.

#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/front_end.h"
#include "logview/log_view.h"
#include "platform/interfaces.h"

namespace kelvane::app {

// Where the headless front end talks, replaceable by tests.
struct HeadlessIo {
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  int input_fd = 0;
  // Whether the input is a terminal a person types at.
  bool interactive = false;
  // KELVANE_PASSWORD, for a password prompt without a terminal.
  std::optional<std::string> password;
  // Reads one line without echo; false at the end of input.
  std::function<bool(std::string*)> read_secret;
  // Makes the termination signals reach only wait_for_signal, for this thread and every thread
  // started later; then waits for one of them.
  std::function<bool()> block_signals;
  std::function<int()> wait_for_signal;
  // The machine's interfaces, for the address lines; none: no address lines.
  std::function<std::vector<platform::InterfaceAddress>()> interfaces;

  // The process's own stdin, stdout, stderr, environment and signals.
  static HeadlessIo FromProcess();
};

class HeadlessFrontEnd : public FrontEnd, private logview::LogObserver {
 public:
  // How long Run waits for the HTTP service before it prints the read-me address.
  static constexpr std::chrono::milliseconds kHttpReadyBound{5000};

  explicit HeadlessFrontEnd(HeadlessIo io);
  ~HeadlessFrontEnd() override;

  void ShowMessage(std::string_view text) override;
  void ShowStatus(std::string_view text) override;
  void ShowPackageCheck(std::string_view line) override;
  bool AskYesNo(std::string_view text) override;
  bool EditPorts(uint32_t* ftp_port, uint32_t* http_port) override;
  bool AskPassword(int showing, std::string* typed) override;
  bool PortsDialogRequested() override { return false; }
  void SetCaption(std::string_view text) override;
  void SetReadMeMode(ReadMeMode /*mode*/) override {}
  void OpenDocument(const std::string& address) override;
  void AttachLog(logview::LogView& log_view) override;
  void DetachLog(logview::LogView& log_view) override;
  void BeforeServicesStart() override;
  // A line per finished download, written on the connection thread that finished it.
  void AttachTransfers(ftp::TransferRecord& record) override;
  void TransfersEnded(const ftp::TransferTotals& totals) override;
  // Prints the read-me address (waiting for the HTTP service), the address lines and a line
  // saying how to end the program, then waits for SIGINT or SIGTERM.
  void Run(MainWindowCommands& window) override;

 private:
  void OnLineAdded(std::string_view text) override;
  // One line on stderr.
  void ErrorLine(std::string_view text);
  // A prompt on stderr without a line end.
  void Prompt(std::string_view text);
  // One port field until it passes the checks; false at the end of input.
  bool AskPortField(const char* label, uint32_t* value);

  HeadlessIo io_;
  std::mutex err_mutex_;  // one stderr line at a time, from the window's and the HTTP thread
  logview::LogView* attached_ = nullptr;
};

}  // namespace kelvane::app
