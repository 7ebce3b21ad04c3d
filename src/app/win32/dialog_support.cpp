// app/win32/dialog_support.cpp -- the dialogs' shared helpers and the message boxes.
#include "app/win32/dialog_support.h"

#include <algorithm>

namespace kelvane::win32 {

HINSTANCE ProgramInstance() { return GetModuleHandleA(nullptr); }

void SetDialogTexts(HWND dialog, const char* caption,
                    std::initializer_list<std::pair<int, const char*>> controls) {
  if (caption != nullptr) SetWindowTextA(dialog, caption);
  for (const auto& [id, text] : controls) SetDlgItemTextA(dialog, id, text);
}

std::string WindowText(HWND window) {
  const int length = GetWindowTextLengthA(window);
  std::string text(static_cast<size_t>(std::max(0, length)) + 1, '\0');
  const int copied = GetWindowTextA(window, text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<size_t>(std::max(0, copied)));
  return text;
}

int MessageBoxes::Show(HWND owner, std::string_view text, UINT buttons) const {
  const std::string message(text);
  return MessageBoxA(owner, message.c_str(), caption_.c_str(), buttons | MB_ICONEXCLAMATION);
}

std::wstring WideText(const std::string& text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  UINT code_page = CP_UTF8;
  DWORD flags = MB_ERR_INVALID_CHARS;
  int wide = MultiByteToWideChar(code_page, flags, text.data(), size, nullptr, 0);
  if (wide <= 0) {
    code_page = CP_ACP;
    flags = 0;
    wide = MultiByteToWideChar(code_page, flags, text.data(), size, nullptr, 0);
  }
  std::wstring out(static_cast<size_t>(std::max(0, wide)), L'\0');
  if (wide > 0) MultiByteToWideChar(code_page, flags, text.data(), size, out.data(), wide);
  return out;
}

}  // namespace kelvane::win32
