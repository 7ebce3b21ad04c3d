// app/win32/about_dialog.h -- AboutDialog: the about box (template 100): the large icon, the
// product with its version, the maker's lines and OK.
//
// Window's thread only.
#pragma once

#include <windows.h>

namespace kelvane::win32 {

class AboutDialog {
 public:
  // Modal over |owner| until OK, Escape or the close box.
  void Run(HWND owner);

 private:
  static INT_PTR CALLBACK Procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
};

}  // namespace kelvane::win32
