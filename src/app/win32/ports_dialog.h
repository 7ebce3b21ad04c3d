// app/win32/ports_dialog.h -- PortsDialog: the two listening ports (template 129), above all
// other windows. OK checks each field (FTP first) and keeps the dialog open with the failing
// field selected and the check's message shown; Escape or the close box cancel.
//
// Window's thread only.
#pragma once

#include <windows.h>

#include <cstdint>

#include "app/win32/dialog_support.h"

namespace kelvane::win32 {

class PortsDialog {
 public:
  explicit PortsDialog(const MessageBoxes& messages) : messages_(messages) {}

  void SetPorts(uint32_t ftp_port, uint32_t http_port) {
    ftp_port_ = ftp_port;
    http_port_ = http_port;
  }
  // Modal over |owner|; true on OK with both ports replaced by the checked values.
  bool Run(HWND owner);

  uint32_t ftp_port() const { return ftp_port_; }
  uint32_t http_port() const { return http_port_; }

 private:
  static INT_PTR CALLBACK Procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
  void Initialise(HWND dialog);
  void Confirm(HWND dialog);

  const MessageBoxes& messages_;
  uint32_t ftp_port_ = 21;
  uint32_t http_port_ = 80;
};

}  // namespace kelvane::win32
