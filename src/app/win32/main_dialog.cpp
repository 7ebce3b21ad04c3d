// app/win32/main_dialog.cpp -- the main window's template, system menu, icons, buttons, keys,
// close box, status line, package check messages, transfer panel and address line.
#include "app/win32/main_dialog.h"

#include "app/app_texts.h"
#include "app/device_addresses.h"
#include "app/transfer_panel.h"
#include "app/win32/about_dialog.h"
#include "app/win32/resource.h"
#include "platform/interfaces.h"

namespace kelvane::win32 {
namespace {

// The window's width and the layout under the log, in dialog units: the left edge and width
// of the rows, where the first one starts, the heights of the package check's messages (three
// lines), the transfer panel, the totals line, the buttons and the status line (two lines of
// text, so that a long path wraps rather than vanishes), the gap after each, and the margin
// under the last.
constexpr int kWidth = 299;
constexpr int kRowLeft = 7;
constexpr int kRowWidth = 285;
constexpr int kBelowLog = 135;
constexpr int kPackageCheckHeight = 28;
constexpr int kPanelHeight = 84;
constexpr int kTotalsHeight = 8;
constexpr int kButtonHeight = 14;
constexpr int kStatusHeight = 16;
constexpr int kGap = 3;
constexpr int kBottomMargin = 7;
// The buttons' left edges and widths: read-me, About, Exit.
constexpr struct {
  int id;
  int left;
  int width;
} kButtons[] = {{IDC_READ_ME, 7, 106}, {IDC_ABOUT_BUTTON, 147, 70}, {IDC_EXIT, 222, 70}};
// The panel's column widths in dialog units, in the order of app::PanelColumn.
constexpr int kColumnWidths[app::kPanelColumnCount] = {56, 62, 48, 38, 32, 40};

// Whether |control| is to show: its own WS_VISIBLE, which IsWindowVisible does not tell while
// the window itself is hidden (before it runs).
bool Shown(HWND control) {
  return (static_cast<DWORD>(GetWindowLongPtrA(control, GWL_STYLE)) & WS_VISIBLE) != 0;
}

constexpr UINT_PTR kPanelTimer = 1;
constexpr UINT_PTR kAddressTimer = 2;

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

INT_PTR MainDialog::Handle(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
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
    case kShowQueuedPackageCheck:
      ShowQueuedPackageChecks();
      return TRUE;
    case WM_TIMER:
      if (wparam == kPanelTimer) RefreshTransfers();
      if (wparam == kAddressTimer) RefreshAddresses();
      return TRUE;
    case WM_NOTIFY: {
      LRESULT result = 0;
      if (!transfer_list_.OnNotify(*reinterpret_cast<const NMHDR*>(lparam), &result)) return FALSE;
      SetWindowLongPtrA(dialog, DWLP_MSGRESULT, result);
      return TRUE;
    }
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

  // The package check keeps every line it is given.
  SendDlgItemMessageA(dialog, IDC_PACKAGE_CHECK, EM_SETLIMITTEXT, 0, 0);
  int widths[app::kPanelColumnCount];
  for (int column = 0; column < app::kPanelColumnCount; ++column) {
    RECT width = {0, 0, kColumnWidths[column], 0};
    MapDialogRect(dialog, &width);
    widths[column] = width.right;
  }
  transfer_list_.Bind(GetDlgItem(dialog, IDC_TRANSFERS), GetDlgItem(dialog, IDC_TRANSFER_TOTALS),
                      widths);
  window_ = dialog;
  Layout();
  transfer_list_.Show({}, app::PanelTotalsText({}));
}

void MainDialog::Layout() {
  HWND dialog = window_;
  auto place = [&](int id, int left, int top, int width, int height) {
    RECT r = {left, top, left + width, top + height};
    MapDialogRect(dialog, &r);
    SetWindowPos(GetDlgItem(dialog, id), nullptr, r.left, r.top, r.right - r.left,
                 r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
  };
  int top = kBelowLog;
  if (Shown(GetDlgItem(dialog, IDC_PACKAGE_CHECK))) {
    place(IDC_PACKAGE_CHECK, kRowLeft, top, kRowWidth, kPackageCheckHeight);
    top += kPackageCheckHeight + kGap;
  }
  place(IDC_TRANSFERS, kRowLeft, top, kRowWidth, kPanelHeight);
  top += kPanelHeight + kGap - 1;
  place(IDC_TRANSFER_TOTALS, kRowLeft, top, kRowWidth, kTotalsHeight);
  top += kTotalsHeight + kGap;
  for (const auto& button : kButtons) place(button.id, button.left, top, button.width, kButtonHeight);
  top += kButtonHeight;
  if (Shown(GetDlgItem(dialog, IDC_STATUS))) {
    top += kGap;
    place(IDC_STATUS, kRowLeft, top, kRowWidth, kStatusHeight);
    top += kStatusHeight - kGap;
  }
  RECT client = {0, 0, kWidth, top + kBottomMargin};
  MapDialogRect(dialog, &client);
  const auto style = static_cast<DWORD>(GetWindowLongPtrA(dialog, GWL_STYLE));
  const auto ex_style = static_cast<DWORD>(GetWindowLongPtrA(dialog, GWL_EXSTYLE));
  AdjustWindowRectEx(&client, style, FALSE, ex_style);
  SetWindowPos(dialog, nullptr, 0, 0, client.right - client.left, client.bottom - client.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void MainDialog::SetCommands(app::MainWindowCommands* commands) {
  commands_ = commands;
  if (window_ == nullptr) return;
  if (commands_ == nullptr) {
    KillTimer(window_, kPanelTimer);
    KillTimer(window_, kAddressTimer);
    return;
  }
  RefreshAddresses();
  RefreshTransfers();
  SetTimer(window_, kPanelTimer, static_cast<UINT>(app::kPanelRefreshInterval.count()), nullptr);
  SetTimer(window_, kAddressTimer, static_cast<UINT>(app::kAddressRefreshInterval.count()),
           nullptr);
}

void MainDialog::RefreshTransfers() {
  if (record_ == nullptr) return;
  const ftp::TransferSnapshot snapshot = record_->Snapshot();
  transfer_list_.Show(app::PanelRows(snapshot), app::PanelTotalsText(snapshot.totals));
}

void MainDialog::RefreshAddresses() {
  if (commands_ == nullptr) return;
  std::string text = app::DeviceAddressText(
      app::AddressesToShow(platform::ListIpv4Interfaces()), commands_->ftp_port());
  if (text == address_text_) return;
  address_text_ = std::move(text);
  SetDlgItemTextA(window_, IDC_ADDRESS, address_text_.c_str());
}

void MainDialog::AddPackageCheck(std::string_view line) {
  HWND area = GetDlgItem(window_, IDC_PACKAGE_CHECK);
  const int length = GetWindowTextLengthA(area);
  std::string text = length > 0 ? "\r\n" : "";
  text.append(line);
  SendMessageA(area, EM_SETSEL, static_cast<WPARAM>(length), length);
  SendMessageA(area, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  SendMessageA(area, EM_SCROLLCARET, 0, 0);
  if (Shown(area)) return;
  ShowWindow(area, SW_SHOW);
  Layout();
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

void MainDialog::ShowAbout() { AboutDialog(address_text_).Run(window_); }

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
  if (Shown(status)) return;
  ShowWindow(status, SW_SHOW);
  Layout();
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

void MainDialog::PostPackageCheck(std::string line) {
  {
    std::lock_guard<std::mutex> hold(queue_mutex_);
    queued_package_checks_.push_back(std::move(line));
  }
  PostMessageA(window_, kShowQueuedPackageCheck, 0, 0);
}

void MainDialog::ShowQueuedPackageChecks() {
  std::deque<std::string> lines;
  {
    std::lock_guard<std::mutex> hold(queue_mutex_);
    lines.swap(queued_package_checks_);
  }
  for (const std::string& line : lines) AddPackageCheck(line);
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
