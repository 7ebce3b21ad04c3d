// app/win32/dialog_support.h -- what every dialog of the Win32 front end shares: the program's
// instance, setting a template's texts from the named constants, and the message boxes (the
// application's name as caption and the warning icon).
//
// Window's thread only.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace kelvane::win32 {

// The module the resources are in: the executable.
HINSTANCE ProgramInstance();

// Sets the caption of |dialog| and the texts of its controls (id, text).
void SetDialogTexts(HWND dialog, const char* caption,
                    std::initializer_list<std::pair<int, const char*>> controls);

// The text of a window or control, whole.
std::string WindowText(HWND window);

// |text| for the wide drawing calls: UTF-8 where it is valid UTF-8 (what a client sent as such),
// the ANSI code page otherwise.
std::wstring WideText(const std::string& text);

// The object a dialog procedure belongs to: stored from WM_INITDIALOG's parameter, read back
// for every later message; null before WM_INITDIALOG.
template <typename Dialog>
Dialog* DialogObject(HWND dialog, UINT message, LPARAM lparam) {
  if (message == WM_INITDIALOG) SetWindowLongPtrA(dialog, DWLP_USER, lparam);
  return reinterpret_cast<Dialog*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

class MessageBoxes {
 public:
  explicit MessageBoxes(std::string caption) : caption_(std::move(caption)) {}

  // |text| over |owner| (none: a top-level box) with |buttons| and the warning icon; the
  // button that closed it (IDOK, IDYES, IDNO).
  int Show(HWND owner, std::string_view text, UINT buttons = MB_OK) const;

  const std::string& caption() const { return caption_; }

 private:
  std::string caption_;
};

}  // namespace kelvane::win32
