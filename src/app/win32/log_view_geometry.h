// app/win32/log_view_geometry.h -- LogViewGeometry: the arithmetic of the log view control
// without its window: the character cell, the visible lines and columns, the capacity (which
// only grows), the two scroll ranges and positions, the scroll requests, and which kept line
// the bottom row shows.
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

  // The scroll ranges after a change of the kept lines (|line_count|) or of the |longest|
  // line's length: the vertical range keeps the view's bottom row at the same distance from
  // the newest line; the horizontal position is clamped to its new range.
  void UpdateRanges(int line_count, int longest);

  // One scroll request on |bar|. True when the position changed (then the bar and the view
  // need redrawing); the new position is clamped to 0 .. the range's maximum.
  bool Scroll(ScrollBar bar, int code, int thumb);

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
};

}  // namespace kelvane::win32
