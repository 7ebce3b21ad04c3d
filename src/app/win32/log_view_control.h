// app/win32/log_view_control.h -- CUH_Control: the window half of the activity log on Windows.
// The window class CUH_Control (registered by RegisterLogViewClass) is created by the main
// window's template; Attach binds one CUH_Control object and a LogView to it. The object sets
// the store's capacity to the LogLines wish or the lines that have fitted the window, whichever
// is larger, keeps the scroll bars (lines vertically, widths of "X" horizontally, each thumb a
// page long; LogViewGeometry holds the arithmetic), scrolls by the bars, the mouse wheel and
// the arrow, Page Up/Down, Home and End keys (it takes the arrows from the dialog), follows
// new lines while it shows the newest one, and paints the kept lines with ExtTextOut in the
// system's colours.
//
// Everything runs on the window's thread except OnLineAdded and OnCleared, which the LogView
// calls on whichever thread added a line: they only post kLinesChangedMessage to the window,
// at most one at a time, and never paint or wait for the window. Painting copies the rows it
// draws from the store under the store's lock and calls nothing of the window meanwhile.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "app/win32/log_view_geometry.h"
#include "logview/log_view.h"

namespace kelvane::win32 {

// Sent by Attach with the CUH_Control object as its long parameter; the window keeps it in the
// first slot of its extra bytes and answers 1.
inline constexpr UINT kAttachMessage = WM_USER + 135;
// Posted by the adding thread: the kept lines changed.
inline constexpr UINT kLinesChangedMessage = WM_USER + 136;
// Answered with one field of the control's own scroll bar (wparam SB_VERT or SB_HORZ; lparam
// SIF_POS, SIF_RANGE for the range's maximum, or SIF_PAGE), -1 when the bar cannot tell, for
// tools in another process: Wine's GetScrollInfo does not read another process's bars.
inline constexpr UINT kScrollInfoMessage = WM_USER + 137;
// The window's extra bytes; the first pointer-sized slot holds the bound object.
inline constexpr int kLogViewExtraBytes = 20;

// Registers the window class CUH_Control for |instance|. Returns 0 when the class exists
// afterwards (registered now or before), 1 otherwise.
int RegisterLogViewClass(HINSTANCE instance);

class CUH_Control : private logview::LogObserver {
 public:
  // Pixels between the control's left edge and the first character.
  static constexpr int kLeftMargin = 2;

  // Measures "X" in the desktop's default font; no window yet.
  CUH_Control();
  ~CUH_Control() override;
  CUH_Control(const CUH_Control&) = delete;
  CUH_Control& operator=(const CUH_Control&) = delete;

  // Binds |log_view| (not owned; it must outlive the binding) to the child |id| of |parent|:
  // lines are kept in the system's window-text and window colours and shown from now on.
  // Returns 0; 1 when |parent| is none or has no such child (nothing is bound then).
  int Attach(logview::LogView& log_view, HWND parent, int id);
  // Undoes the binding; the store keeps no lines any more. Done when the window goes too.
  void Unbind();
  // Draws with |font| (not owned; none: the device's default) and measures "X" in it. 0.
  int SetFont(HFONT font);
  // Raises the capacity to |wanted| or to the lines that fit, whichever is larger; it never
  // falls. Hands it to the store and updates the scroll bars.
  void SetCapacity(size_t wanted);
  // Sets both scroll bars from the store's line count and longest line, keeping the view at
  // the same distance from the newest line.
  void UpdateScrollBars();

  HWND window() const { return window_.load(); }
  logview::LogView* log_view() const { return log_view_; }
  const LogViewGeometry& geometry() const { return geometry_; }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  friend int RegisterLogViewClass(HINSTANCE instance);

  LRESULT Handle(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  void Measure();
  void ComputeVisible();
  void OnScroll(ScrollBar bar, WPARAM wparam);
  // After a scroll by a bar, a key or the wheel: both bars and the view redrawn.
  void ShowScrolled();
  // |which| (SB_VERT or SB_HORZ) set to |bar|, redrawn.
  void SetBar(int which, const BarInfo& bar);
  void Paint();
  void OnWindowDestroyed();
  void OnLineAdded(std::string_view text) override;
  void OnCleared() override;
  void Post();

  std::atomic<HWND> window_{nullptr};
  logview::LogView* log_view_ = nullptr;
  HFONT font_ = nullptr;
  LogViewGeometry geometry_;
  // Set while UpdateScrollBars runs; a resize it causes (a bar shown or hidden) asks for one
  // more round instead of recursing.
  bool updating_ = false;
  bool update_again_ = false;
  // The store's DroppedCount at the last UpdateScrollBars: what was dropped since moves a view
  // that is scrolled up.
  uint64_t dropped_seen_ = 0;
  // Raised by the adding thread, cleared by the window's thread before it reads the store.
  std::atomic<bool> change_posted_{false};
};

}  // namespace kelvane::win32
