// app/win32/log_view_control.cpp -- the CUH_Control window class: registration, the window
// procedure, measuring, scroll bars and painting.
#include "app/win32/log_view_control.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "app/win32/resource.h"
#include "app/win32/dialog_support.h"

namespace kelvane::win32 {
namespace {

static_assert(kScrollLineUp == SB_LINEUP && kScrollLineDown == SB_LINEDOWN &&
              kScrollPageUp == SB_PAGEUP && kScrollPageDown == SB_PAGEDOWN &&
              kScrollThumbPosition == SB_THUMBPOSITION && kScrollThumbTrack == SB_THUMBTRACK &&
              kScrollTop == SB_TOP && kScrollBottom == SB_BOTTOM &&
              kScrollEndScroll == SB_ENDSCROLL);
static_assert(kKeyPageUp == VK_PRIOR && kKeyPageDown == VK_NEXT && kKeyEnd == VK_END &&
              kKeyHome == VK_HOME && kKeyLeft == VK_LEFT && kKeyUp == VK_UP &&
              kKeyRight == VK_RIGHT && kKeyDown == VK_DOWN);
static_assert(kWheelNotch == WHEEL_DELTA && kWheelPageScroll == WHEEL_PAGESCROLL);
static_assert(kLogViewExtraBytes >= static_cast<int>(sizeof(LONG_PTR)));

// How often UpdateScrollBars goes round again when showing or hiding a bar resized the view.
constexpr int kUpdateRounds = 4;

// One row as painting copies it out of the store.
struct PaintRow {
  std::wstring text;
  COLORREF text_colour;
  COLORREF background_colour;
};

CUH_Control* BoundControl(HWND window) {
  return reinterpret_cast<CUH_Control*>(GetWindowLongPtrA(window, 0));
}

}  // namespace

int RegisterLogViewClass(HINSTANCE instance) {
  WNDCLASSEXA window_class = {};
  window_class.cbSize = sizeof(window_class);
  window_class.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
  window_class.lpfnWndProc = CUH_Control::WindowProc;
  window_class.cbWndExtra = kLogViewExtraBytes;
  window_class.hInstance = instance;
  window_class.hCursor = LoadCursor(nullptr, IDC_ARROW);
  window_class.hbrBackground = nullptr;  // the control paints its whole client area
  window_class.lpszClassName = LOG_VIEW_CLASS;
  if (RegisterClassExA(&window_class) != 0) return 0;
  WNDCLASSEXA existing = {};
  existing.cbSize = sizeof(existing);
  return GetClassInfoExA(instance, LOG_VIEW_CLASS, &existing) ? 0 : 1;
}

LRESULT CALLBACK CUH_Control::WindowProc(HWND window, UINT message, WPARAM wparam,
                                         LPARAM lparam) {
  switch (message) {
    case WM_NCCREATE:
      SetWindowLongPtrA(window, 0, 0);
      return TRUE;
    case kAttachMessage:
      SetWindowLongPtrA(window, 0, lparam);
      return 1;
    default:
      break;
  }
  CUH_Control* control = BoundControl(window);
  if (control == nullptr) return DefWindowProcA(window, message, wparam, lparam);
  return control->Handle(window, message, wparam, lparam);
}

LRESULT CUH_Control::Handle(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_SIZE:
      ComputeVisible();
      SetCapacity(geometry_.capacity());
      return 0;
    case WM_PAINT:
      Paint();
      return 0;
    case WM_MOUSEACTIVATE:
      SetFocus(window);
      break;
    case WM_LBUTTONDOWN:
      SetFocus(window);
      return 0;
    case WM_GETDLGCODE:
      // The arrows scroll the log rather than move the dialog's focus; Tab, Enter and Escape
      // stay the dialog's. Page Up and Down, Home and End are not the dialog's keys anyway.
      return DLGC_WANTARROWS;
    case WM_KEYDOWN:
      if (geometry_.ScrollByKey(static_cast<int>(wparam))) ShowScrolled();
      return 0;
    case WM_MOUSEWHEEL: {
      UINT lines_per_notch = 3;
      SystemParametersInfoA(SPI_GETWHEELSCROLLLINES, 0, &lines_per_notch, 0);
      if (geometry_.ScrollByWheel(GET_WHEEL_DELTA_WPARAM(wparam), lines_per_notch)) {
        ShowScrolled();
      }
      return 0;
    }
    case WM_NCDESTROY:
      SetWindowLongPtrA(window, 0, 0);
      OnWindowDestroyed();
      return 0;
    case WM_VSCROLL:
      OnScroll(ScrollBar::kVertical, wparam);
      return 0;
    case WM_HSCROLL:
      OnScroll(ScrollBar::kHorizontal, wparam);
      return 0;
    case kScrollInfoMessage: {
      SCROLLINFO info = {};
      info.cbSize = sizeof(info);
      info.fMask = SIF_ALL;
      if (!GetScrollInfo(window, static_cast<int>(wparam), &info)) return -1;
      if (lparam == SIF_POS) return info.nPos;
      if (lparam == SIF_RANGE) return info.nMax;
      if (lparam == SIF_PAGE) return static_cast<LRESULT>(info.nPage);
      return -1;
    }
    case kLinesChangedMessage:
      // Cleared before the store is read: a line added from here on posts again.
      change_posted_.store(false);
      UpdateScrollBars();
      InvalidateRect(window, nullptr, TRUE);
      return 0;
    default:
      break;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

CUH_Control::CUH_Control() { Measure(); }

CUH_Control::~CUH_Control() {
  Unbind();
  if (HWND window = window_.load(); window != nullptr && BoundControl(window) == this) {
    SetWindowLongPtrA(window, 0, 0);
  }
}

int CUH_Control::Attach(logview::LogView& log_view, HWND parent, int id) {
  if (parent == nullptr) return 1;
  HWND child = GetDlgItem(parent, id);
  if (child == nullptr) return 1;
  Unbind();
  window_.store(child);
  log_view_ = &log_view;
  log_view_->SetColours(GetSysColor(COLOR_WINDOWTEXT), GetSysColor(COLOR_WINDOW));
  log_view_->SetKeepLines(true);
  log_view_->AddObserver(this);
  dropped_seen_ = log_view_->DroppedCount();
  SendMessageA(child, kAttachMessage, 0, reinterpret_cast<LPARAM>(this));
  ComputeVisible();
  SetCapacity(geometry_.capacity());
  return 0;
}

void CUH_Control::Unbind() {
  if (log_view_ == nullptr) return;
  // Waits for a delivery to this object under way on another thread; none can follow.
  log_view_->RemoveObserver(this);
  log_view_->SetKeepLines(false);
  log_view_ = nullptr;
}

void CUH_Control::OnWindowDestroyed() {
  Unbind();
  window_.store(nullptr);
}

int CUH_Control::SetFont(HFONT font) {
  font_ = font;
  Measure();
  if (window() != nullptr) {
    ComputeVisible();
    SetCapacity(geometry_.capacity());
  }
  return 0;
}

void CUH_Control::Measure() {
  HWND window = this->window();
  HDC dc = GetDC(window);
  if (dc == nullptr) return;
  HGDIOBJ previous = nullptr;
  if (window != nullptr && font_ != nullptr) previous = SelectObject(dc, font_);
  SIZE extent = {};
  if (GetTextExtentPoint32A(dc, "X", 1, &extent)) geometry_.SetCell(extent.cx, extent.cy);
  if (previous != nullptr) SelectObject(dc, previous);
  ReleaseDC(window, dc);
}

void CUH_Control::ComputeVisible() {
  RECT client = {};
  if (HWND window = this->window(); window != nullptr && GetClientRect(window, &client)) {
    geometry_.SetClientSize(client.right - client.left, client.bottom - client.top);
  }
}

void CUH_Control::SetCapacity(size_t wanted) {
  const size_t capacity = geometry_.SetCapacity(wanted, window() != nullptr);
  if (log_view_ == nullptr) return;
  log_view_->SetCapacity(capacity);
  UpdateScrollBars();
}

void CUH_Control::UpdateScrollBars() {
  HWND window = this->window();
  if (window == nullptr || log_view_ == nullptr) return;
  // Showing or hiding a bar resizes the client area, which comes back here through WM_SIZE;
  // that inner call only asks for one more round.
  if (updating_) {
    update_again_ = true;
    return;
  }
  updating_ = true;
  for (int round = 0; round < kUpdateRounds; ++round) {
    update_again_ = false;
    int count = 0;
    int longest = 0;
    uint64_t dropped = 0;
    log_view_->LockedLines([&](const std::deque<logview::LogLine>& lines) {
      count = static_cast<int>(lines.size());
      longest = static_cast<int>(log_view_->LongestLength());
      dropped = log_view_->DroppedCount();
    });
    const uint64_t newly_dropped = dropped - dropped_seen_;
    dropped_seen_ = dropped;
    geometry_.UpdateRanges(count, longest,
                           static_cast<int>(std::min<uint64_t>(newly_dropped, INT_MAX)));
    SetBar(SB_VERT, geometry_.Bar(ScrollBar::kVertical));
    SetBar(SB_HORZ, geometry_.Bar(ScrollBar::kHorizontal));
    if (!update_again_) break;
  }
  updating_ = false;
}

void CUH_Control::SetBar(int which, const BarInfo& bar) {
  SCROLLINFO info = {};
  info.cbSize = sizeof(info);
  // Without SIF_DISABLENOSCROLL an empty range hides the bar.
  info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
  info.nMin = 0;
  info.nMax = bar.maximum;
  info.nPage = static_cast<UINT>(bar.page);
  info.nPos = bar.position;
  SetScrollInfo(window(), which, &info, TRUE);
}

void CUH_Control::OnScroll(ScrollBar bar, WPARAM wparam) {
  HWND window = this->window();
  const int which = bar == ScrollBar::kVertical ? SB_VERT : SB_HORZ;
  const int code = LOWORD(wparam);
  int thumb = HIWORD(wparam);
  if (code == SB_THUMBTRACK || code == SB_THUMBPOSITION) {
    // The message carries 16 bits only; past them the bar's track position is the whole one.
    SCROLLINFO info = {};
    info.cbSize = sizeof(info);
    info.fMask = SIF_TRACKPOS | SIF_RANGE;
    if (GetScrollInfo(window, which, &info) && info.nMax > 0xFFFF) thumb = info.nTrackPos;
  }
  if (geometry_.Scroll(bar, code, thumb)) ShowScrolled();
}

void CUH_Control::ShowScrolled() {
  HWND window = this->window();
  SetBar(SB_VERT, geometry_.Bar(ScrollBar::kVertical));
  SetBar(SB_HORZ, geometry_.Bar(ScrollBar::kHorizontal));
  InvalidateRect(window, nullptr, TRUE);
}

void CUH_Control::Paint() {
  HWND window = this->window();
  PAINTSTRUCT paint = {};
  HDC dc = BeginPaint(window, &paint);
  if (dc == nullptr) return;
  RECT area = {};
  GetClientRect(window, &area);
  HGDIOBJ previous = font_ != nullptr ? SelectObject(dc, font_) : nullptr;
  const HBRUSH window_brush = GetSysColorBrush(COLOR_WINDOW);
  const int line_height = geometry_.line_height();
  const int x = geometry_.TextLeft(kLeftMargin);

  // The rows to draw, newest first, copied under the store's lock together with the count.
  std::vector<PaintRow> rows;
  PaintRows plan;
  if (log_view_ != nullptr) {
    log_view_->LockedLines([&](const std::deque<logview::LogLine>& lines) {
      plan = geometry_.Rows(static_cast<int>(lines.size()), area.bottom - area.top);
      rows.reserve(static_cast<size_t>(plan.count));
      for (int i = plan.first; i < plan.first + plan.count; ++i) {
        const logview::LogLine& line = lines[static_cast<size_t>(i)];
        rows.push_back(PaintRow{WideText(line.text), line.text_colour, line.background_colour});
      }
    });
  }

  auto draw_row = [&](const PaintRow& row, int top) {
    const RECT cell = {area.left, top, area.right, top + line_height};
    SetTextColor(dc, row.text_colour);
    SetBkColor(dc, row.background_colour);
    ExtTextOutW(dc, x, top, ETO_OPAQUE | ETO_CLIPPED, &cell, row.text.c_str(),
                static_cast<UINT>(row.text.size()), nullptr);
  };

  if (rows.empty()) {
    FillRect(dc, &area, window_brush);
  } else if (plan.from_top) {
    int top = area.top;
    for (auto row = rows.rbegin(); row != rows.rend(); ++row, top += line_height) {
      draw_row(*row, top);
    }
    if (top < area.bottom) {
      const RECT rest = {area.left, top, area.right, area.bottom};
      FillRect(dc, &rest, window_brush);
    }
  } else {
    int top = area.bottom - line_height;
    int highest_top = area.bottom;
    for (const PaintRow& row : rows) {
      draw_row(row, top);
      highest_top = top;
      if (top < area.top) break;
      top -= line_height;
    }
    if (highest_top > area.top) {
      const RECT rest = {area.left, area.top, area.right, highest_top};
      FillRect(dc, &rest, window_brush);
    }
  }
  if (previous != nullptr) SelectObject(dc, previous);
  EndPaint(window, &paint);
}

void CUH_Control::OnLineAdded(std::string_view /*text*/) { Post(); }

void CUH_Control::OnCleared() { Post(); }

void CUH_Control::Post() {
  if (change_posted_.exchange(true)) return;
  HWND window = window_.load();
  if (window == nullptr || !PostMessageA(window, kLinesChangedMessage, 0, 0)) {
    change_posted_.store(false);
  }
}

}  // namespace kelvane::win32
