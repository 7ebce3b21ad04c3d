// app/win32/password_dialog.h -- PasswordDialog: the package password prompt (template 131),
// the typed text masked. The text of one showing is in the field at the next.
//
// Window's thread only.
#pragma once

#include <windows.h>

#include <string>

namespace kelvane::win32 {

class PasswordDialog {
 public:
  // The field's text at the next showing, and what OK left there.
  void set_typed(std::string typed) { typed_ = std::move(typed); }
  const std::string& typed() const { return typed_; }

  // Modal over |owner|; true on OK (typed() then holds the field), false on Cancel or the
  // close box.
  bool Run(HWND owner);

 private:
  static INT_PTR CALLBACK Procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

  std::string typed_;
};

}  // namespace kelvane::win32
