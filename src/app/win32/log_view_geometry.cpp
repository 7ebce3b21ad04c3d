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

void LogViewGeometry::UpdateRanges(int line_count, int longest, int dropped) {
  const bool at_newest = AtNewest();
  vertical_maximum_ = std::max(0, line_count - visible_lines_);
  // The position counts lines from the oldest kept one: lines dropped there move the lines
  // shown towards the top.
  vertical_position_ = at_newest ? vertical_maximum_
                                 : std::clamp(vertical_position_ - std::max(0, dropped), 0,
                                              vertical_maximum_);

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

bool LogViewGeometry::ScrollByKey(int key) {
  switch (key) {
    case kKeyUp:
      return Scroll(ScrollBar::kVertical, kScrollLineUp, 0);
    case kKeyDown:
      return Scroll(ScrollBar::kVertical, kScrollLineDown, 0);
    case kKeyPageUp:
      return Scroll(ScrollBar::kVertical, kScrollPageUp, 0);
    case kKeyPageDown:
      return Scroll(ScrollBar::kVertical, kScrollPageDown, 0);
    // As a thumb drag to either end: the bars' own top and bottom codes leave the view alone.
    case kKeyHome:
      return Scroll(ScrollBar::kVertical, kScrollThumbPosition, 0);
    case kKeyEnd:
      return Scroll(ScrollBar::kVertical, kScrollThumbPosition, vertical_maximum_);
    case kKeyLeft:
      return Scroll(ScrollBar::kHorizontal, kScrollLineUp, 0);
    case kKeyRight:
      return Scroll(ScrollBar::kHorizontal, kScrollLineDown, 0);
    default:
      return false;
  }
}

bool LogViewGeometry::ScrollByWheel(int delta, unsigned lines_per_notch) {
  if (lines_per_notch == 0) return false;
  // A page per notch is the page a Page Up or Down moves, at least one line.
  const int per_notch = lines_per_notch == kWheelPageScroll
                            ? std::max(1, visible_lines_)
                            : static_cast<int>(std::min(lines_per_notch, 1000u));
  // A turn the other way drops what was left over from this way.
  if ((wheel_remainder_ > 0 && delta < 0) || (wheel_remainder_ < 0 && delta > 0)) {
    wheel_remainder_ = 0;
  }
  wheel_remainder_ += delta;
  const int lines = wheel_remainder_ * per_notch / kWheelNotch;
  if (lines == 0) return false;
  wheel_remainder_ -= lines * kWheelNotch / per_notch;
  return Scroll(ScrollBar::kVertical, kScrollThumbPosition, vertical_position_ - lines);
}

BarInfo LogViewGeometry::Bar(ScrollBar bar) const {
  const bool vertical = bar == ScrollBar::kVertical;
  const int maximum = vertical ? vertical_maximum_ : horizontal_maximum_;
  const int page = vertical ? visible_lines_ : visible_columns_;
  if (maximum <= 0) return BarInfo{};
  BarInfo info;
  info.page = page;
  info.maximum = maximum + std::max(0, page - 1);
  info.position = vertical ? vertical_position_ : horizontal_position_;
  return info;
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
