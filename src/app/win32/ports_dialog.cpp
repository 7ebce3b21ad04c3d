// app/win32/ports_dialog.cpp -- the ports dialog's texts, fields and checks.
#include "app/win32/ports_dialog.h"

#include <string>

#include "app/app_texts.h"
#include "app/startup_rules.h"
#include "app/win32/resource.h"

namespace kelvane::win32 {

bool PortsDialog::Run(HWND owner) {
  return DialogBoxParamA(ProgramInstance(), MAKEINTRESOURCEA(IDD_PORTS), owner, Procedure,
                         reinterpret_cast<LPARAM>(this)) == IDOK;
}

INT_PTR CALLBACK PortsDialog::Procedure(HWND dialog, UINT message, WPARAM wparam,
                                        LPARAM lparam) {
  PortsDialog* self = DialogObject<PortsDialog>(dialog, message, lparam);
  if (self == nullptr) return FALSE;
  switch (message) {
    case WM_INITDIALOG:
      self->Initialise(dialog);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case IDOK:
          self->Confirm(dialog);
          return TRUE;
        case IDCANCEL:
          EndDialog(dialog, IDCANCEL);
          return TRUE;
        default:
          break;
      }
      break;
    default:
      break;
  }
  return FALSE;
}

void PortsDialog::Initialise(HWND dialog) {
  SetDialogTexts(dialog, app::texts::kPortsCaption,
                 {{IDC_FTP_PORT_LABEL, app::texts::kFtpPortLabel},
                  {IDC_HTTP_PORT_LABEL, app::texts::kHttpPortLabel},
                  {IDOK, app::texts::kOkButton}});
  SetDlgItemTextA(dialog, IDC_FTP_PORT, std::to_string(ftp_port_).c_str());
  SetDlgItemTextA(dialog, IDC_HTTP_PORT, std::to_string(http_port_).c_str());
  SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void PortsDialog::Confirm(HWND dialog) {
  const int fields[2] = {IDC_FTP_PORT, IDC_HTTP_PORT};
  uint32_t checked[2] = {0, 0};
  for (int i = 0; i < 2; ++i) {
    HWND field = GetDlgItem(dialog, fields[i]);
    const std::string message = app::CheckPortField(WindowText(field), &checked[i]);
    if (!message.empty()) {
      messages_.Show(dialog, message);
      SetFocus(field);
      SendMessageA(field, EM_SETSEL, 0, -1);
      return;
    }
  }
  ftp_port_ = checked[0];
  http_port_ = checked[1];
  EndDialog(dialog, IDOK);
}

}  // namespace kelvane::win32
