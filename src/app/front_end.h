// app/front_end.h -- what the application asks of whoever faces the user: a window, or the
// terminal when the program runs headless.
//
// MainWindow and ServerApp call a FrontEnd on the window's thread, except ShowMessage, which
// the HTTP thread calls too, and ShowStatus, which any thread adding log lines may call. The front end calls back through MainWindowCommands on the
// window's thread while Run lasts.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ftp/transfer_record.h"

namespace kelvane::logview {
class LogView;
}

namespace kelvane::app {

// What the read-me button opens.
enum class ReadMeMode : int { Html = 0, Pdf = 1, None = 2 };

// The main window's commands, as the front end's buttons and signals reach them.
class MainWindowCommands {
 public:
  virtual ~MainWindowCommands() = default;
  // The read-me button: opens the package's pages or its PDF through the front end.
  virtual void ReadMe() = 0;
  virtual ReadMeMode read_me_mode() const = 0;
  // Waits up to |bound| for the HTTP service to listen; its port, or 0 when it is not running.
  virtual uint16_t WaitHttpListening(std::chrono::milliseconds bound) = 0;
  // The port the FTP service listens on.
  virtual uint16_t ftp_port() const = 0;
};

class FrontEnd {
 public:
  virtual ~FrontEnd() = default;

  // A message box with the application's name as caption, the warning icon and OK. Any thread.
  virtual void ShowMessage(std::string_view text) = 0;
  // A standing status text for a failure that must not interrupt with a box per occurrence
  // (the log file that does not open): a status line under the log, replaced by the next one.
  // Any thread; the caller does not wait for the window.
  virtual void ShowStatus(std::string_view text) = 0;
  // A message box with Yes and No; true for Yes.
  virtual bool AskYesNo(std::string_view text) = 0;
  // The ports dialog filled with the two values; true on OK with both replaced by values that
  // passed CheckPortField, false when cancelled (both unchanged).
  virtual bool EditPorts(uint32_t* ftp_port, uint32_t* http_port) = 0;
  // The password prompt at its |showing| (1 to 3). |typed| holds the previous showing's text
  // and receives the new one. False when cancelled.
  virtual bool AskPassword(int showing, std::string* typed) = 0;
  // Whether the ports dialog is wanted before the main window (Ctrl and Shift held).
  virtual bool PortsDialogRequested() = 0;

  // The window's caption: the package's version text unchanged, or the window's default
  // caption when the package has none.
  virtual void SetCaption(std::string_view text) = 0;
  // The read-me button's mode (its text, or hidden for None).
  virtual void SetReadMeMode(ReadMeMode mode) = 0;
  // Hands a web address or a document path to the user's browser or viewer.
  virtual void OpenDocument(const std::string& address) = 0;

  // Shows the log view's lines from now on, and stops showing them.
  virtual void AttachLog(logview::LogView& log_view) = 0;
  virtual void DetachLog(logview::LogView& log_view) = 0;

  // The record of downloads, once, before the window initialises: the front end may add a
  // finished listener (called on the connection threads) and poll Snapshot on its own thread
  // while Run lasts. The record outlives the front end's use of it. Nothing by default.
  virtual void AttachTransfers(ftp::TransferRecord& /*record*/) {}
  // After Run, once every service thread has ended: the totals of the whole run.
  virtual void TransfersEnded(const ftp::TransferTotals& /*totals*/) {}

  // The number of log lines the window keeps and scrolls back through (the LogLines setting),
  // before AttachLog; the lines that fit the window are kept when there are more. Nothing by
  // default: a front end without a window keeps no lines.
  virtual void SetLogLines(size_t /*lines*/) {}
  // One line of the package check that runs while the services start: each damaged entry
  // ("Damaged entry: ...") and the closing summary ("Package verified: ..."). The window keeps
  // them all in a message area under the log; headless writes each to stderr. Any thread; the
  // caller does not wait for the window.
  virtual void ShowPackageCheck(std::string_view /*line*/) {}

  // Called once on the window's thread just before the first service thread starts, so that
  // every service thread inherits what the front end sets up for its own thread.
  virtual void BeforeServicesStart() {}

  // Runs the main window until the user closes it (Exit, the close box, a termination signal).
  virtual void Run(MainWindowCommands& window) = 0;
};

}  // namespace kelvane::app
