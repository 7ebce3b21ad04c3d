// app/win32/main_dialog.h -- MainDialog: the main window itself (template 102): the line with
// the addresses devices may use, the log view in its frame, the package check's messages (shown
// with the first one), the transfer panel with its totals, the read-me button, About and Exit,
// the About item of the system menu, and a status line below the buttons that appears with the
// first status text. Made hidden when the front end is made, so that the log and the caption
// can be set up before it shows; RunModal shows it and runs its messages until Exit or the
// close box. Enter and Escape do nothing. While commands are set (the window runs), timers
// redraw the transfer panel from the record and look at the machine's addresses again.
//
// Window's thread only, except PostText, PostStatus and PostPackageCheck, which any thread may
// call: they queue the text and post a message, and the window's thread shows it.
#pragma once

#include <windows.h>

#include <deque>
#include <mutex>
#include <string>
#include <string_view>

#include "app/front_end.h"
#include "app/win32/dialog_support.h"
#include "app/win32/log_view_control.h"
#include "app/win32/transfer_list.h"
#include "ftp/transfer_record.h"

namespace kelvane::win32 {

class MainDialog {
 public:
  // Posted to the dialog: a queued message box, the newest status text.
  static constexpr UINT kShowQueuedMessage = WM_APP + 1;
  static constexpr UINT kShowQueuedStatus = WM_APP + 2;
  static constexpr UINT kShowQueuedPackageCheck = WM_APP + 3;

  explicit MainDialog(const MessageBoxes& messages);
  ~MainDialog();
  MainDialog(const MainDialog&) = delete;
  MainDialog& operator=(const MainDialog&) = delete;

  // Null when the template could not be made into a window.
  HWND window() const { return window_; }
  CUH_Control& log_control() { return log_control_; }
  bool visible() const { return window_ != nullptr && IsWindowVisible(window_); }

  // The read-me button's text, or the button hidden for None.
  void SetReadMeMode(app::ReadMeMode mode);
  // Shows |text| in the status line (shown, the window grown to hold it), replacing the last.
  void SetStatus(std::string_view text);
  void SetCaption(std::string_view text);
  // Adds |line| to the package check's messages (shown, the window grown, with the first).
  void AddPackageCheck(std::string_view line);
  // The record the transfer panel shows (not owned; it outlives the window's use); none: an
  // empty panel.
  void SetTransfers(const ftp::TransferRecord* record) { record_ = record; }
  // Where the read-me button goes and which FTP port the address line names, while the window
  // runs; none before and after. Starts the panel's and the addresses' timers, or stops them.
  void SetCommands(app::MainWindowCommands* commands);

  // Shows the window, runs the thread's messages until EndModal, then hides the window.
  // Returns early, keeping WM_QUIT queued, when the thread is told to quit.
  void RunModal();
  // Ends RunModal (Exit, the close box).
  void EndModal() { running_ = false; }

  // From any thread: the text shown as a message box, or as the status line, on the window's
  // thread later; the caller does not wait.
  void PostText(std::string text);
  void PostStatus(std::string text);
  void PostPackageCheck(std::string line);

  // What the address line shows now.
  const std::string& address_text() const { return address_text_; }

 private:
  static INT_PTR CALLBACK Procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR Handle(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
  void Initialise(HWND dialog);
  bool PaintIcon(HWND dialog);
  void ShowAbout();
  void ShowQueuedMessages();
  void ShowQueuedStatus();
  void ShowQueuedPackageChecks();
  // Places the controls under the log and sizes the window for the optional ones shown.
  void Layout();
  void RefreshTransfers();
  void RefreshAddresses();

  const MessageBoxes& messages_;
  HWND window_ = nullptr;
  HICON large_icon_ = nullptr;
  HICON small_icon_ = nullptr;
  CUH_Control log_control_;
  app::MainWindowCommands* commands_ = nullptr;
  bool running_ = false;
  const ftp::TransferRecord* record_ = nullptr;
  TransferList transfer_list_;
  std::string address_text_;

  std::mutex queue_mutex_;  // guards the three below, shared with the posting threads
  std::deque<std::string> queued_messages_;
  std::string queued_status_;
  std::deque<std::string> queued_package_checks_;
};

}  // namespace kelvane::win32
