// app/win32/log_view_geometry.h -- LogViewGeometry: the arithmetic of the log view control
// without its window: the character cell, the visible lines and columns, the capacity (which
// only grows), the two scroll ranges and positions, the scroll requests of the bars, the keys
// and the mouse wheel, and which kept line the bottom row shows.
//
// Plain data; the control owns one and uses it on the window's thread only.
#pragma once

#include <cstddef>

namespace kelvane::win32 {

// The scroll requests of WM_VSCROLL and WM_HSCROLL, with the values Windows gives them
// (SB_LINEUP ... SB_ENDSCROLL; up and left share each value).
enum ScrollCode : int {
  kScrollLineUp = 0,
  kScrollLineDown = 1,
  kScrollPageUp = 2,
  kScrollPageDown = 3,
  kScrollThumbPosition = 4,
  kScrollThumbTrack = 5,
  kScrollTop = 6,
  kScrollBottom = 7,
  kScrollEndScroll = 8,
};

enum class ScrollBar { kVertical, kHorizontal };

// The keys the control scrolls with, as Windows numbers them (VK_PRIOR ... VK_DOWN).
enum ScrollKey : int {
  kKeyPageUp = 0x21,
  kKeyPageDown = 0x22,
  kKeyEnd = 0x23,
  kKeyHome = 0x24,
  kKeyLeft = 0x25,
  kKeyUp = 0x26,
  kKeyRight = 0x27,
  kKeyDown = 0x28,
};

// One notch of the mouse wheel (WHEEL_DELTA), and the lines-per-notch setting that means a
// page per notch (WHEEL_PAGESCROLL).
inline constexpr int kWheelNotch = 120;
inline constexpr unsigned kWheelPageScroll = 0xFFFFFFFFu;

// What SetScrollInfo is given for one bar: the range 0 .. |maximum| with a thumb |page| long,
// so that the largest position the bar reaches (maximum - page + 1) is the range maximum of
// the geometry. An empty range (the bar hidden) when nothing is left to scroll.
struct BarInfo {
  int maximum = 0;
  int page = 0;
  int position = 0;
};

// The position a scroll request asks for before clamping: from |position|, the |page| size
// and the |thumb| position the request carries. Unknown codes keep the position.
int ScrolledPosition(int code, int position, int page, int thumb);

// Which kept lines a paint draws, newest first: |first| (0 = the newest line) is drawn in the
// bottom row and the |count| - 1 older ones above it; with |from_top| every line fits and the
// oldest is drawn in the top row, the newest below the others.
struct PaintRows {
  bool from_top = false;
  int first = 0;
  int count = 0;
};

class LogViewGeometry {
 public:
  // The character cell, as the extent of "X" measures it; values below 1 count as 1.
  void SetCell(int char_width, int line_height);
  // The client area in pixels: the whole lines and columns that fit.
  void SetClientSize(int width, int height);

  // The capacity for |wanted|: with a window, the larger of |wanted| and the lines that fit,
  // without one |wanted| itself. Stored and returned.
  size_t SetCapacity(size_t wanted, bool has_window);

  // The scroll ranges after a change of the kept lines (|line_count|, of which |dropped| went
  // from the oldest end since the last call) or of the |longest| line's length. A view at the
  // newest line stays there; a view scrolled up keeps showing the same lines, moving only as
  // far as lines it shows are dropped. The horizontal position is clamped to its new range.
  void UpdateRanges(int line_count, int longest, int dropped = 0);

  // One scroll request on |bar|. True when the position changed (then the bar and the view
  // need redrawing); the new position is clamped to 0 .. the range's maximum.
  bool Scroll(ScrollBar bar, int code, int thumb);
  // A key pressed in the control: arrows by a line (up and down) or a column (left and right),
  // Page Up and Page Down by the visible lines, Home to the oldest line, End to the newest.
  // False for other keys and when the view does not move.
  bool ScrollByKey(int key);
  // A WM_MOUSEWHEEL turn of |delta| (positive: away from the user, towards older lines) with
  // |lines_per_notch| from the system's setting (kWheelPageScroll: a page). Parts of a notch
  // add up until they make a line. True when the view moved.
  bool ScrollByWheel(int delta, unsigned lines_per_notch);

  // What the vertical or horizontal bar shows.
  BarInfo Bar(ScrollBar bar) const;
  // Whether the bottom row shows the newest line (new lines then scroll into view).
  bool AtNewest() const { return vertical_position_ == vertical_maximum_; }

  // The kept line the bottom row shows: the vertical maximum less the position.
  int BottomLine() const { return vertical_maximum_ - vertical_position_; }
  // The rows a paint draws for |line_count| kept lines in a client area |client_height| tall.
  PaintRows Rows(int line_count, int client_height) const;
  // Where each row's text starts, from the left margin and the horizontal position.
  int TextLeft(int left_margin) const { return left_margin - horizontal_position_ * char_width_; }

  int char_width() const { return char_width_; }
  int line_height() const { return line_height_; }
  int visible_lines() const { return visible_lines_; }
  int visible_columns() const { return visible_columns_; }
  size_t capacity() const { return capacity_; }
  int vertical_maximum() const { return vertical_maximum_; }
  int vertical_position() const { return vertical_position_; }
  // May be negative (every line fits); the bar then shows an empty range.
  int horizontal_maximum() const { return horizontal_maximum_; }
  int horizontal_position() const { return horizontal_position_; }

 private:
  int char_width_ = 1;
  int line_height_ = 1;
  int visible_lines_ = 0;
  int visible_columns_ = 0;
  size_t capacity_ = 0;
  int vertical_maximum_ = 0;
  int vertical_position_ = 0;
  int horizontal_maximum_ = 0;
  int horizontal_position_ = 0;
  // Wheel movement not yet turned into lines, in the units of the wheel's delta.
  int wheel_remainder_ = 0;
};

}  // namespace kelvane::win32
