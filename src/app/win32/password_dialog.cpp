// app/win32/password_dialog.cpp -- the password prompt's texts and field.
#include "app/win32/password_dialog.h"

#include "app/app_texts.h"
#include "app/win32/dialog_support.h"
#include "app/win32/resource.h"

namespace kelvane::win32 {

bool PasswordDialog::Run(HWND owner) {
  return DialogBoxParamA(ProgramInstance(), MAKEINTRESOURCEA(IDD_PASSWORD), owner, Procedure,
                         reinterpret_cast<LPARAM>(this)) == IDOK;
}

INT_PTR CALLBACK PasswordDialog::Procedure(HWND dialog, UINT message, WPARAM wparam,
                                           LPARAM lparam) {
  PasswordDialog* self = DialogObject<PasswordDialog>(dialog, message, lparam);
  if (self == nullptr) return FALSE;
  switch (message) {
    case WM_INITDIALOG: {
      SetDialogTexts(dialog, app::texts::kPasswordCaption,
                     {{IDC_PASSWORD_PROMPT, app::texts::kPasswordPrompt},
                      {IDOK, app::texts::kOkButton},
                      {IDCANCEL, app::texts::kCancelButton}});
      HWND field = GetDlgItem(dialog, IDC_PASSWORD);
      SetWindowTextA(field, self->typed_.c_str());
      SendMessageA(field, EM_SETSEL, 0, -1);
      SetFocus(field);
      return FALSE;  // the focus is set
    }
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case IDOK:
          self->typed_ = WindowText(GetDlgItem(dialog, IDC_PASSWORD));
          EndDialog(dialog, IDOK);
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

}  // namespace kelvane::win32
