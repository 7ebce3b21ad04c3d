// app/win32/log_view_geometry.cpp -- the log view's capacity, scroll and row arithmetic.
#include "app/win32/log_view_geometry.h"

#include <algorithm>

namespace kelvane::win32 {

int ScrolledPosition(int code, int position, int page, int thumb) {
  switch (code) {
    case kScrollLineUp:
      return position - 1;
    case kScrollLineDown:
      return position + 1;
    case kScrollPageUp:
      return position - page;
    case kScrollPageDown:
      return position + page;
    case kScrollThumbPosition:
    case kScrollThumbTrack:
      return thumb;
    default:
      return position;
  }
}

void LogViewGeometry::SetCell(int char_width, int line_height) {
  char_width_ = std::max(1, char_width);
  line_height_ = std::max(1, line_height);
}

void LogViewGeometry::SetClientSize(int width, int height) {
  visible_lines_ = std::max(0, height) / line_height_;
  visible_columns_ = std::max(0, width) / char_width_;
}

size_t LogViewGeometry::SetCapacity(size_t wanted, bool has_window) {
  capacity_ = has_window ? std::max(wanted, static_cast<size_t>(visible_lines_)) : wanted;
  return capacity_;
}

void LogViewGeometry::UpdateRanges(int line_count, int longest) {
  const int distance = vertical_maximum_ - vertical_position_;
  vertical_maximum_ = std::max(0, line_count - visible_lines_);
  vertical_position_ = std::max(0, vertical_maximum_ - distance);

  horizontal_maximum_ = longest - visible_columns_ + 1;
  if (horizontal_position_ > horizontal_maximum_) horizontal_position_ = horizontal_maximum_;
  if (horizontal_position_ < 0) horizontal_position_ = 0;
}

bool LogViewGeometry::Scroll(ScrollBar bar, int code, int thumb) {
  const bool vertical = bar == ScrollBar::kVertical;
  int& position = vertical ? vertical_position_ : horizontal_position_;
  const int maximum = vertical ? vertical_maximum_ : horizontal_maximum_;
  const int page = vertical ? visible_lines_ : visible_columns_;
  int wanted = ScrolledPosition(code, position, page, thumb);
  if (wanted == position) return false;
  wanted = std::max(std::min(wanted, maximum), 0);
  if (wanted == position) return false;
  position = wanted;
  return true;
}

PaintRows LogViewGeometry::Rows(int line_count, int client_height) const {
  PaintRows rows;
  if (line_count <= 0) return rows;
  // Lines added since the last UpdateRanges are counted here too: what fits fills from the top.
  if (line_count <= visible_lines_) {
    rows.from_top = true;
    rows.count = line_count;
    return rows;
  }
  rows.first = std::clamp(BottomLine(), 0, line_count - 1);
  // One row more than fits, so that a partly covered top row is drawn as well.
  const int fitting = std::max(0, client_height) / line_height_ + 1;
  rows.count = std::min(line_count - rows.first, fitting);
  return rows;
}

}  // namespace kelvane::win32
