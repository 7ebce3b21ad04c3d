// app/win32/win32_front_end.cpp -- the front end's calls as dialogs and message boxes.
#include "app/win32/win32_front_end.h"

#include <commctrl.h>
#include <shellapi.h>

#include "app/win32/ports_dialog.h"
#include "app/win32/resource.h"

namespace kelvane::win32 {
namespace {

bool KeyHeld(int key) { return (GetKeyState(key) & 0x8000) != 0; }

// The window classes the main window's template names: the ListView (whose failure shows as a
// main window that cannot be made) and the log view. RegisterLogViewClass's result.
int RegisterWindowClasses(HINSTANCE instance) {
  INITCOMMONCONTROLSEX controls = {};
  controls.dwSize = sizeof(controls);
  controls.dwICC = ICC_LISTVIEW_CLASSES;
  InitCommonControlsEx(&controls);
  return RegisterLogViewClass(instance);
}

}  // namespace

Win32FrontEnd::Win32FrontEnd(HINSTANCE instance, std::string application_name)
    : window_thread_(GetCurrentThreadId()),
      messages_(std::move(application_name)),
      class_registered_(RegisterWindowClasses(instance)),
      main_dialog_(messages_) {}

HWND Win32FrontEnd::Owner() const {
  return main_dialog_.visible() ? main_dialog_.window() : nullptr;
}

void Win32FrontEnd::ShowMessage(std::string_view text) {
  if (!OnWindowThread() && main_dialog_.window() != nullptr) {
    main_dialog_.PostText(std::string(text));
    return;
  }
  messages_.Show(Owner(), text);
}

void Win32FrontEnd::ShowStatus(std::string_view text) {
  if (main_dialog_.window() == nullptr) return;
  if (!OnWindowThread()) {
    main_dialog_.PostStatus(std::string(text));
    return;
  }
  main_dialog_.SetStatus(text);
}

void Win32FrontEnd::ShowPackageCheck(std::string_view line) {
  if (main_dialog_.window() == nullptr) return;
  if (!OnWindowThread()) {
    main_dialog_.PostPackageCheck(std::string(line));
    return;
  }
  main_dialog_.AddPackageCheck(line);
}

bool Win32FrontEnd::AskYesNo(std::string_view text) {
  return messages_.Show(Owner(), text, MB_YESNO) == IDYES;
}

bool Win32FrontEnd::EditPorts(uint32_t* ftp_port, uint32_t* http_port) {
  PortsDialog dialog(messages_);
  dialog.SetPorts(*ftp_port, *http_port);
  if (!dialog.Run(Owner())) return false;
  *ftp_port = dialog.ftp_port();
  *http_port = dialog.http_port();
  return true;
}

bool Win32FrontEnd::AskPassword(int /*showing*/, std::string* typed) {
  password_dialog_.set_typed(*typed);
  if (!password_dialog_.Run(Owner())) return false;
  *typed = password_dialog_.typed();
  return true;
}

bool Win32FrontEnd::PortsDialogRequested() { return KeyHeld(VK_CONTROL) && KeyHeld(VK_SHIFT); }

void Win32FrontEnd::SetCaption(std::string_view text) { main_dialog_.SetCaption(text); }

void Win32FrontEnd::SetReadMeMode(app::ReadMeMode mode) { main_dialog_.SetReadMeMode(mode); }

void Win32FrontEnd::OpenDocument(const std::string& address) {
  ShellExecuteA(Owner(), "open", address.c_str(), nullptr, "", SW_SHOWNORMAL);
}

void Win32FrontEnd::SetLogLines(size_t lines) { main_dialog_.log_control().SetCapacity(lines); }

void Win32FrontEnd::AttachLog(logview::LogView& log_view) {
  HWND dialog = main_dialog_.window();
  CUH_Control& control = main_dialog_.log_control();
  if (control.Attach(log_view, dialog, IDC_LOG) == 0) {
    control.SetFont(reinterpret_cast<HFONT>(SendMessageA(dialog, WM_GETFONT, 0, 0)));
  }
}

void Win32FrontEnd::DetachLog(logview::LogView& log_view) {
  CUH_Control& control = main_dialog_.log_control();
  if (control.log_view() == &log_view) control.Unbind();
}

void Win32FrontEnd::AttachTransfers(ftp::TransferRecord& record) {
  main_dialog_.SetTransfers(&record);
}

void Win32FrontEnd::Run(app::MainWindowCommands& window) {
  if (main_dialog_.window() == nullptr) return;
  main_dialog_.SetCommands(&window);
  main_dialog_.RunModal();
  main_dialog_.SetCommands(nullptr);
}

}  // namespace kelvane::win32
