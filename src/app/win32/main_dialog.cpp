// app/win32/main_dialog.cpp -- the main window's template, system menu, icons, buttons, keys,
// close box and status line.
#include "app/win32/main_dialog.h"

#include "app/app_texts.h"
#include "app/win32/about_dialog.h"
#include "app/win32/resource.h"

namespace kelvane::win32 {
namespace {

// The window in dialog units, and its height once the status line (two lines of text, so that
// a long path wraps rather than vanishes) shows below the buttons.
constexpr int kWidth = 299;
constexpr int kHeightWithStatus = 147 + 16 + 4;

HICON LoadIconSized(int id, int width_metric, int height_metric) {
  return static_cast<HICON>(LoadImageA(ProgramInstance(), MAKEINTRESOURCEA(id), IMAGE_ICON,
                                       GetSystemMetrics(width_metric),
                                       GetSystemMetrics(height_metric), LR_DEFAULTCOLOR));
}

}  // namespace

MainDialog::MainDialog(const MessageBoxes& messages) : messages_(messages) {
  large_icon_ = LoadIconSized(IDI_LARGE, SM_CXICON, SM_CYICON);
  small_icon_ = LoadIconSized(IDI_SMALL, SM_CXSMICON, SM_CYSMICON);
  window_ = CreateDialogParamA(ProgramInstance(), MAKEINTRESOURCEA(IDD_MAIN), nullptr, Procedure,
                               reinterpret_cast<LPARAM>(this));
}

MainDialog::~MainDialog() {
  if (window_ != nullptr) DestroyWindow(window_);
  if (large_icon_ != nullptr) DestroyIcon(large_icon_);
  if (small_icon_ != nullptr) DestroyIcon(small_icon_);
}

INT_PTR CALLBACK MainDialog::Procedure(HWND dialog, UINT message, WPARAM wparam,
                                       LPARAM lparam) {
  MainDialog* self = DialogObject<MainDialog>(dialog, message, lparam);
  if (self == nullptr) return FALSE;
  return self->Handle(dialog, message, wparam, lparam);
}

INT_PTR MainDialog::Handle(HWND dialog, UINT message, WPARAM wparam, LPARAM /*lparam*/) {
  switch (message) {
    case WM_INITDIALOG:
      Initialise(dialog);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case IDC_EXIT:
          EndModal();
          return TRUE;
        case IDC_ABOUT_BUTTON:
          ShowAbout();
          return TRUE;
        case IDC_READ_ME:
          if (commands_ != nullptr) commands_->ReadMe();
          return TRUE;
        case IDOK:      // Enter
        case IDCANCEL:  // Escape
          return TRUE;
        default:
          return FALSE;
      }
    case WM_CLOSE:
      EndModal();
      return TRUE;
    case WM_SYSCOMMAND:
      if ((wparam & 0xFFF0) == IDM_ABOUT) {
        ShowAbout();
        return TRUE;
      }
      return FALSE;
    case WM_PAINT:
      return PaintIcon(dialog) ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(large_icon_);
    case kShowQueuedMessage:
      ShowQueuedMessages();
      return TRUE;
    case kShowQueuedStatus:
      ShowQueuedStatus();
      return TRUE;
    default:
      return FALSE;
  }
}

void MainDialog::Initialise(HWND dialog) {
  SetDialogTexts(dialog, app::texts::kDefaultCaption,
                 {{IDC_LOG, app::texts::kLogControlText},
                  {IDC_ABOUT_BUTTON, app::texts::kAboutButton},
                  {IDC_EXIT, app::texts::kExitButton}});
  ShowWindow(GetDlgItem(dialog, IDC_READ_ME), SW_HIDE);

  if (HMENU menu = GetSystemMenu(dialog, FALSE); menu != nullptr) {
    char item[256] = {};
    if (LoadStringA(ProgramInstance(), IDS_ABOUT_ITEM, item, sizeof(item)) > 0) {
      AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
      AppendMenuA(menu, MF_STRING, IDM_ABOUT, item);
    }
    EnableMenuItem(menu, SC_SIZE, MF_BYCOMMAND | MF_GRAYED);
    EnableMenuItem(menu, SC_MAXIMIZE, MF_BYCOMMAND | MF_GRAYED);
  }
  SendMessageA(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(large_icon_));
  SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon_));
}

bool MainDialog::PaintIcon(HWND dialog) {
  if (!IsIconic(dialog)) return false;
  PAINTSTRUCT paint = {};
  HDC dc = BeginPaint(dialog, &paint);
  SendMessageA(dialog, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client = {};
  GetClientRect(dialog, &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, large_icon_);
  EndPaint(dialog, &paint);
  return true;
}

void MainDialog::ShowAbout() { AboutDialog().Run(window_); }

void MainDialog::SetReadMeMode(app::ReadMeMode mode) {
  HWND button = GetDlgItem(window_, IDC_READ_ME);
  switch (mode) {
    case app::ReadMeMode::Html:
      SetWindowTextA(button, app::texts::kHtmlReadMeButton);
      ShowWindow(button, SW_SHOW);
      break;
    case app::ReadMeMode::Pdf:
      SetWindowTextA(button, app::texts::kPdfReadMeButton);
      ShowWindow(button, SW_SHOW);
      break;
    case app::ReadMeMode::None:
      ShowWindow(button, SW_HIDE);
      break;
  }
}

void MainDialog::SetStatus(std::string_view text) {
  HWND status = GetDlgItem(window_, IDC_STATUS);
  SetWindowTextA(status, std::string(text).c_str());
  if (IsWindowVisible(status)) return;
  ShowWindow(status, SW_SHOW);
  RECT client = {0, 0, kWidth, kHeightWithStatus};
  MapDialogRect(window_, &client);
  const auto style = static_cast<DWORD>(GetWindowLongPtrA(window_, GWL_STYLE));
  const auto ex_style = static_cast<DWORD>(GetWindowLongPtrA(window_, GWL_EXSTYLE));
  AdjustWindowRectEx(&client, style, FALSE, ex_style);
  SetWindowPos(window_, nullptr, 0, 0, client.right - client.left, client.bottom - client.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void MainDialog::SetCaption(std::string_view text) {
  SetWindowTextA(window_, std::string(text).c_str());
}

void MainDialog::RunModal() {
  running_ = true;
  ShowWindow(window_, SW_SHOWNORMAL);
  SetForegroundWindow(window_);
  MSG message = {};
  while (running_) {
    const BOOL got = GetMessageA(&message, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    if (got < 0) break;
    if (!IsDialogMessageA(window_, &message)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
  running_ = false;
  ShowWindow(window_, SW_HIDE);
}

void MainDialog::PostText(std::string text) {
  {
    std::lock_guard<std::mutex> hold(queue_mutex_);
    queued_messages_.push_back(std::move(text));
  }
  PostMessageA(window_, kShowQueuedMessage, 0, 0);
}

void MainDialog::PostStatus(std::string text) {
  {
    std::lock_guard<std::mutex> hold(queue_mutex_);
    queued_status_ = std::move(text);
  }
  PostMessageA(window_, kShowQueuedStatus, 0, 0);
}

void MainDialog::ShowQueuedMessages() {
  for (;;) {
    std::string text;
    {
      std::lock_guard<std::mutex> hold(queue_mutex_);
      if (queued_messages_.empty()) return;
      text = std::move(queued_messages_.front());
      queued_messages_.pop_front();
    }
    messages_.Show(visible() ? window_ : nullptr, text);
  }
}

void MainDialog::ShowQueuedStatus() {
  std::string text;
  {
    std::lock_guard<std::mutex> hold(queue_mutex_);
    if (queued_status_.empty()) return;
    text = std::move(queued_status_);
    queued_status_.clear();
  }
  SetStatus(text);
}

}  // namespace kelvane::win32
