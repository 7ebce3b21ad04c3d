// app/win32/about_dialog.h -- AboutDialog: the about box (template 100): the large icon, the
// product with its version, the maker's lines, the addresses devices may use, and OK.
//
// Window's thread only.
#pragma once

#include <windows.h>

#include <string>
#include <utility>

namespace kelvane::win32 {

class AboutDialog {
 public:
  // |address_text| is the main window's address line, shown under the maker's lines.
  explicit AboutDialog(std::string address_text) : address_text_(std::move(address_text)) {}

  // Modal over |owner| until OK, Escape or the close box.
  void Run(HWND owner);

 private:
  static INT_PTR CALLBACK Procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

  std::string address_text_;
};

}  // namespace kelvane::win32
