// app/win32/about_dialog.cpp -- the about box's texts.
#include "app/win32/about_dialog.h"

#include "app/app_texts.h"
#include "app/win32/dialog_support.h"
#include "app/win32/resource.h"

namespace kelvane::win32 {
namespace {

// The about box's last line: what the Windows program is built with.
constexpr const char* kBuiltWith = "Built with the Win32 API and zlib.";

}  // namespace

void AboutDialog::Run(HWND owner) {
  DialogBoxParamA(ProgramInstance(), MAKEINTRESOURCEA(IDD_ABOUT), owner, Procedure,
                  reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK AboutDialog::Procedure(HWND dialog, UINT message, WPARAM wparam,
                                        LPARAM lparam) {
  AboutDialog* self = DialogObject<AboutDialog>(dialog, message, lparam);
  switch (message) {
    case WM_INITDIALOG:
      SetDlgItemTextA(dialog, IDC_ABOUT_ADDRESS, self->address_text_.c_str());
      SetDialogTexts(dialog, app::texts::kAboutCaption,
                     {{IDC_ABOUT_LINE1, app::texts::kProductLine},
                      {IDC_ABOUT_LINE2, app::texts::kCopyrightLine},
                      {IDC_ABOUT_LINE3, app::texts::kAboutCredit},
                      {IDC_ABOUT_LINE4, kBuiltWith},
                      {IDOK, app::texts::kOkButton}});
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
        EndDialog(dialog, LOWORD(wparam));
        return TRUE;
      }
      break;
    default:
      break;
  }
  return FALSE;
}

}  // namespace kelvane::win32
