// app/gui/qt_front_end.h -- QtFrontEnd: the application's front end as Qt windows. It owns the
// main window (made at once, shown by Run), the password prompt (one for every showing) and
// the message boxes.
//
// Made, called and destroyed on the window's thread, which owns the QApplication; ShowMessage,
// ShowStatus and ShowPackageCheck may come from any thread: from another one they are handed to
// the window's thread and shown there, in the order of the calls, and the caller goes on
// without waiting (so that a service thread never waits for the window). The transfer record
// is polled on the window's thread while Run lasts. The thread that waits for the termination signals
// (TakeTerminationSignals) is left blocked when the front end goes (it holds nothing of it)
// and ends with the process.
#pragma once

#include <QObject>
#include <QString>
#include <QUrl>
#include <functional>
#include <memory>

#include "app/front_end.h"
#include "app/gui/message_boxes.h"

class QDialog;

namespace kelvane::gui {

class MainDialog;
class PasswordDialog;

class QtFrontEnd : public QObject, public app::FrontEnd {
  Q_OBJECT

 public:
  // Blocks SIGINT and SIGTERM for the process and starts the thread that takes them: while
  // the main window runs they close it as Exit does; before, they end the process at once
  // (with 128 + the signal's number, as the signal itself would); after, they are ignored
  // while the services stop. Call once, before the QApplication starts threads of its own.
  static void TakeTerminationSignals();

  // |application_name| is every message box's caption.
  explicit QtFrontEnd(const QString& application_name);
  ~QtFrontEnd() override;

  void ShowMessage(std::string_view text) override;
  // The main window's status line; from another thread it is set later on the window's thread.
  void ShowStatus(std::string_view text) override;
  bool AskYesNo(std::string_view text) override;
  bool EditPorts(uint32_t* ftp_port, uint32_t* http_port) override;
  bool AskPassword(int showing, std::string* typed) override;
  // Ctrl and Shift both held as the program starts.
  bool PortsDialogRequested() override;
  void SetCaption(std::string_view text) override;
  void SetReadMeMode(app::ReadMeMode mode) override;
  void OpenDocument(const std::string& address) override;
  // Before AttachLog: the log keeps |lines| lines, or the lines that fit when more.
  void SetLogLines(size_t lines) override;
  void ShowPackageCheck(std::string_view line) override;
  void AttachTransfers(ftp::TransferRecord& record) override;
  void AttachLog(logview::LogView& log_view) override;
  void DetachLog(logview::LogView& log_view) override;
  // Shows the main window modally until Exit, the close box, SIGINT or SIGTERM.
  void Run(app::MainWindowCommands& window) override;

  MainDialog& main_dialog() { return *main_dialog_; }
  MessageBoxes& message_boxes() { return messages_; }
  // Null until the first password prompt.
  PasswordDialog* password_dialog() { return password_dialog_.get(); }

  // How dialogs (ports, password, about, the main window) are run: exec() unless a test
  // answers them itself. Returns the dialog's result.
  void SetDialogRunner(std::function<int(QDialog&)> runner);
  // How a web address or a file is opened: QDesktopServices unless a test records it.
  void SetDocumentOpener(std::function<void(const QUrl&)> opener) { open_ = std::move(opener); }

 private:
  // The main window once it is shown, so that boxes sit over it; none before.
  QWidget* BoxParent() const;

  MessageBoxes messages_;
  std::unique_ptr<MainDialog> main_dialog_;
  std::unique_ptr<PasswordDialog> password_dialog_;
  std::function<int(QDialog&)> run_dialog_;
  std::function<void(const QUrl&)> open_;
  const ftp::TransferRecord* transfers_ = nullptr;
};

}  // namespace kelvane::gui
