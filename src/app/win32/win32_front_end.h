// app/win32/win32_front_end.h -- Win32FrontEnd: the application's front end as Win32 dialogs.
// It owns the main window (made hidden at once, run by Run), the message boxes, and the
// password prompt's text between showings.
//
// Made, called and destroyed on the window's thread (the process's first thread);
// ShowMessage, ShowStatus and ShowPackageCheck may come from any thread: from another one they
// are posted to the main window and shown on the window's thread later, and the caller does
// not wait.
#pragma once

#include <windows.h>

#include <string>

#include "app/front_end.h"
#include "app/win32/dialog_support.h"
#include "app/win32/main_dialog.h"
#include "app/win32/password_dialog.h"

namespace kelvane::win32 {

class Win32FrontEnd : public app::FrontEnd {
 public:
  // |application_name| is every message box's caption. Registers the log view's window class
  // for |instance| (the executable, which holds the templates) and the common controls' ListView
  // before the main window is made.
  Win32FrontEnd(HINSTANCE instance, std::string application_name);

  void ShowMessage(std::string_view text) override;
  // The main window's status line.
  void ShowStatus(std::string_view text) override;
  // A line in the message area under the log; every line stays.
  void ShowPackageCheck(std::string_view line) override;
  bool AskYesNo(std::string_view text) override;
  bool EditPorts(uint32_t* ftp_port, uint32_t* http_port) override;
  bool AskPassword(int showing, std::string* typed) override;
  // Ctrl and Shift both held (GetKeyState) as the program starts.
  bool PortsDialogRequested() override;
  void SetCaption(std::string_view text) override;
  void SetReadMeMode(app::ReadMeMode mode) override;
  // The shell's "open" of the address or the document.
  void OpenDocument(const std::string& address) override;
  // The log view keeps |lines|, or the lines that fit it when there are more.
  void SetLogLines(size_t lines) override;
  void AttachLog(logview::LogView& log_view) override;
  void DetachLog(logview::LogView& log_view) override;
  // The transfer panel shows |record| while the window runs.
  void AttachTransfers(ftp::TransferRecord& record) override;
  // Shows the main window until Exit or the close box.
  void Run(app::MainWindowCommands& window) override;

  MainDialog& main_dialog() { return main_dialog_; }

 private:
  bool OnWindowThread() const { return GetCurrentThreadId() == window_thread_; }
  // The main window once it shows, so that boxes and dialogs sit over it; none before.
  HWND Owner() const;

  DWORD window_thread_;
  MessageBoxes messages_;
  // Registered before main_dialog_ is made.
  int class_registered_;
  MainDialog main_dialog_;
  PasswordDialog password_dialog_;
};

}  // namespace kelvane::win32
