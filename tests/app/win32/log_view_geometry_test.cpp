// app/win32/log_view_geometry_test.cpp -- the log view's arithmetic without a window: what each
// scroll code, key and wheel turn asks for, clamping on both bars (an empty horizontal range
// included), the bars' thumbs, the capacity that only grows (with the LogLines wish), the view
// that follows the newest line or stays put, and which kept lines a paint draws.
#include "app/win32/log_view_geometry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvane::win32 {
namespace {

// A cell of 7 by 13 pixels; a client area of 10 columns and 5 lines (with 5 pixels to spare
// in each direction, which count for nothing).
constexpr int kCharWidth = 7;
constexpr int kLineHeight = 13;
constexpr int kColumns = 10;
constexpr int kLines = 5;
// Pixels left of the first character.
constexpr int kMargin = 2;

LogViewGeometry MakeGeometry() {
  LogViewGeometry geometry;
  geometry.SetCell(kCharWidth, kLineHeight);
  geometry.SetClientSize(kColumns * kCharWidth + 5, kLines * kLineHeight + 5);
  return geometry;
}

TEST(LogViewGeometryTest, EachScrollCodeAsksForItsPosition) {
  const struct {
    int code;
    int expected;
  } cases[] = {
      {kScrollLineUp, 9},
      {kScrollLineDown, 11},
      {kScrollPageUp, 6},
      {kScrollPageDown, 14},
      {kScrollThumbPosition, 3},
      {kScrollThumbTrack, 3},
      {kScrollTop, 10},
      {kScrollBottom, 10},
      {kScrollEndScroll, 10},
      {kScrollEndScroll + 1, 10},
      {-1, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(c.expected, ScrolledPosition(c.code, /*position=*/10, /*page=*/4, /*thumb=*/3));
  }
}

// One scroll request after another on one geometry: its result, the position, and (vertically)
// the kept line the bottom row then shows.
struct ScrollStep {
  int code;
  int thumb;
  bool changed;
  int position;
};

void RunSteps(LogViewGeometry& geometry, ScrollBar bar,
              const std::initializer_list<ScrollStep>& steps) {
  int index = 0;
  for (const ScrollStep& step : steps) {
    SCOPED_TRACE("step " + std::to_string(index++));
    EXPECT_EQ(step.changed, geometry.Scroll(bar, step.code, step.thumb));
    if (bar == ScrollBar::kVertical) {
      EXPECT_EQ(step.position, geometry.vertical_position());
      EXPECT_EQ(geometry.vertical_maximum() - step.position, geometry.BottomLine());
    } else {
      EXPECT_EQ(step.position, geometry.horizontal_position());
    }
  }
}

TEST(LogViewGeometryTest, VerticalScrollsMoveByLinesAndPagesWithinTheRange) {
  LogViewGeometry geometry = MakeGeometry();
  geometry.UpdateRanges(/*line_count=*/12, /*longest=*/4);
  ASSERT_EQ(7, geometry.vertical_maximum());
  ASSERT_EQ(7, geometry.vertical_position());  // at the newest line
  RunSteps(geometry, ScrollBar::kVertical,
           {
               {kScrollLineDown, 0, false, 7},  // already at the bottom
               {kScrollPageDown, 0, false, 7},
               {kScrollLineUp, 0, true, 6},
               {kScrollPageUp, 0, true, 1},
               {kScrollPageUp, 0, true, 0},  // clamped at the top
               {kScrollLineUp, 0, false, 0},
               {kScrollThumbTrack, 2, true, 2},
               {kScrollThumbPosition, 2, false, 2},
               {kScrollTop, 0, false, 2},  // not moves: the position stays
               {kScrollBottom, 0, false, 2},
               {kScrollEndScroll, 5, false, 2},
               {kScrollThumbTrack, 99, true, 7},  // clamped at the range's maximum
               {kScrollThumbTrack, -3, true, 0},
               {kScrollPageDown, 0, true, 5},
           });
}

TEST(LogViewGeometryTest, HorizontalScrollsMoveByCharacterWidths) {
  LogViewGeometry geometry = MakeGeometry();
  geometry.UpdateRanges(/*line_count=*/3, /*longest=*/25);
  ASSERT_EQ(25 - kColumns + 1, geometry.horizontal_maximum());
  ASSERT_EQ(0, geometry.horizontal_position());
  EXPECT_EQ(kMargin, geometry.TextLeft(kMargin));
  RunSteps(geometry, ScrollBar::kHorizontal,
           {
               {kScrollLineUp, 0, false, 0},
               {kScrollLineDown, 0, true, 1},
               {kScrollPageDown, 0, true, 11},
               {kScrollPageDown, 0, true, 16},  // clamped at length - columns + 1
               {kScrollLineDown, 0, false, 16},
               {kScrollPageUp, 0, true, 6},
               {kScrollThumbTrack, 3, true, 3},
           });
  // Each column scrolled moves the text left by one character width.
  EXPECT_EQ(kMargin - 3 * kCharWidth, geometry.TextLeft(kMargin));
  // The vertical bar has an empty range (every line fits) and does not move.
  RunSteps(geometry, ScrollBar::kVertical, {{kScrollLineDown, 0, false, 0}});
}

TEST(LogViewGeometryTest, WhenEveryLineFitsNoScrollMovesTheView) {
  LogViewGeometry geometry = MakeGeometry();
  geometry.UpdateRanges(/*line_count=*/2, /*longest=*/4);
  ASSERT_LT(geometry.horizontal_maximum(), 0);
  for (const int code : {kScrollLineDown, kScrollPageDown, kScrollThumbTrack, kScrollLineUp}) {
    SCOPED_TRACE(code);
    for (const ScrollBar bar : {ScrollBar::kHorizontal, ScrollBar::kVertical}) {
      EXPECT_FALSE(geometry.Scroll(bar, code, 4));
      EXPECT_EQ(0, geometry.horizontal_position());
      EXPECT_EQ(0, geometry.vertical_position());
    }
  }
  EXPECT_EQ(kMargin, geometry.TextLeft(kMargin));
}

TEST(LogViewGeometryTest, CapacityIsTheLargestLineCountThatFittedAndOnlyGrows) {
  LogViewGeometry geometry;
  geometry.SetCell(kCharWidth, kLineHeight);
  const struct {
    const char* name;
    int client_height;
    bool has_window;
    size_t capacity;
  } steps[] = {
      {"no window keeps what is asked for", 0, false, 0},
      {"a window five lines tall", 5 * kLineHeight, true, 5},
      {"a partly covered line does not count", 5 * kLineHeight + kLineHeight - 1, true, 5},
      {"grown to nine lines", 9 * kLineHeight, true, 9},
      {"shrunk again: the capacity stays", 2 * kLineHeight, true, 9},
      {"lower than one line", 4, true, 9},
      {"without the window only what is asked for counts", 9 * kLineHeight, false, 9},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    geometry.SetClientSize(kColumns * kCharWidth, step.client_height);
    // Like the control, every call asks for the capacity it has.
    EXPECT_EQ(step.capacity, geometry.SetCapacity(geometry.capacity(), step.has_window));
    EXPECT_EQ(step.capacity, geometry.capacity());
  }
  // More than fits is kept when asked for; without a window what is asked for is all.
  EXPECT_EQ(40u, geometry.SetCapacity(40, true));
  geometry.SetClientSize(kColumns * kCharWidth, 3 * kLineHeight);
  EXPECT_EQ(12u, geometry.SetCapacity(12, false));
}

// The LogLines setting arrives before the window is bound; the window then keeps the larger of
// it and the lines that fit, as the front end and the control call SetCapacity.
TEST(LogViewGeometryTest, TheLogLinesWishIsKeptUnlessMoreLinesFit) {
  const struct {
    const char* name;
    size_t log_lines;
    int fitting_lines;  // the window's client height in lines once bound
    size_t capacity;
  } cases[] = {
      {"the default", 5000, 9, 5000},
      {"fewer than fit", 3, 9, 9},
      {"exactly what fits", 9, 9, 9},
      {"none wished", 0, 9, 9},
      {"a tall window", 5000, 6000, 6000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogViewGeometry geometry;
    geometry.SetCell(kCharWidth, kLineHeight);
    EXPECT_EQ(c.log_lines, geometry.SetCapacity(c.log_lines, /*has_window=*/false));
    geometry.SetClientSize(kColumns * kCharWidth, c.fitting_lines * kLineHeight);
    EXPECT_EQ(c.capacity, geometry.SetCapacity(geometry.capacity(), /*has_window=*/true));
    // A later resize to fewer lines keeps it.
    geometry.SetClientSize(kColumns * kCharWidth, kLineHeight);
    EXPECT_EQ(c.capacity, geometry.SetCapacity(geometry.capacity(), /*has_window=*/true));
  }
}

TEST(LogViewGeometryTest, ACellBelowOnePixelCountsAsOne) {
  LogViewGeometry geometry;
  geometry.SetCell(0, -4);
  geometry.SetClientSize(30, 12);
  EXPECT_EQ(1, geometry.char_width());
  EXPECT_EQ(1, geometry.line_height());
  EXPECT_EQ(30, geometry.visible_columns());
  EXPECT_EQ(12, geometry.visible_lines());
  geometry.SetClientSize(-5, -5);  // a client area Windows reports before the first layout
  EXPECT_EQ(0, geometry.visible_columns());
  EXPECT_EQ(0, geometry.visible_lines());
}

// Lines arrive (or go, on a clear) while the view is at the newest line or scrolled up: at the
// newest line it follows; scrolled up it keeps showing the same lines, which move up only as
// lines are dropped from the oldest end of a full store.
TEST(LogViewGeometryTest, TheViewFollowsAtTheNewestLineAndStaysPutWhenScrolledUp) {
  LogViewGeometry geometry = MakeGeometry();
  const struct {
    const char* name;
    int scroll_thumb;  // -1: no scroll before the update
    int line_count;
    int dropped;
    int maximum;
    int position;
  } steps[] = {
      {"fits", -1, 4, 0, 0, 0},
      {"one more than fits: at the newest line", -1, 6, 0, 1, 1},
      {"follows the newest line", -1, 9, 0, 4, 4},
      {"scrolled two up, then lines arrive: the same lines show", 2, 11, 0, 6, 2},
      {"still put", -1, 15, 0, 10, 2},
      {"full store: two dropped move the view up by two", -1, 15, 2, 10, 0},
      {"the oldest shown is dropped: the view stays at the top", -1, 15, 3, 10, 0},
      {"scrolled back to the newest line, it follows again", 10, 15, 1, 10, 10},
      {"and on, dropping or not", -1, 16, 4, 11, 11},
      {"cleared", 4, 0, 0, 0, 0},
      {"after a clear the view follows the newest line", -1, 8, 0, 3, 3},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    if (step.scroll_thumb >= 0)
      geometry.Scroll(ScrollBar::kVertical, kScrollThumbTrack, step.scroll_thumb);
    geometry.UpdateRanges(step.line_count, 0, step.dropped);
    EXPECT_EQ(step.maximum, geometry.vertical_maximum());
    EXPECT_EQ(step.position, geometry.vertical_position());
    EXPECT_EQ(step.position == step.maximum, geometry.AtNewest());
  }
}

// A taller view lowers the range; a view scrolled up past the new maximum comes to rest there.
TEST(LogViewGeometryTest, ATallerViewClampsTheScrolledPosition) {
  LogViewGeometry geometry = MakeGeometry();
  geometry.UpdateRanges(20, 0);
  geometry.Scroll(ScrollBar::kVertical, kScrollThumbTrack, 12);
  geometry.SetClientSize(kColumns * kCharWidth, 12 * kLineHeight);
  geometry.UpdateRanges(20, 0);
  EXPECT_EQ(8, geometry.vertical_maximum());
  EXPECT_EQ(8, geometry.vertical_position());
}

TEST(LogViewGeometryTest, KeysScrollByLinesPagesAndToEitherEnd) {
  LogViewGeometry geometry = MakeGeometry();
  geometry.UpdateRanges(/*line_count=*/30, /*longest=*/14);
  ASSERT_EQ(25, geometry.vertical_maximum());
  ASSERT_EQ(25, geometry.vertical_position());
  const struct {
    int key;
    bool moved;
    int vertical;
    int horizontal;
  } steps[] = {
      {kKeyDown, false, 25, 0},  // at the newest line already
      {kKeyEnd, false, 25, 0},
      {kKeyUp, true, 24, 0},
      {kKeyPageUp, true, 19, 0},  // by the five visible lines
      {kKeyPageUp, true, 14, 0},
      {kKeyDown, true, 15, 0},
      {kKeyHome, true, 0, 0},  // the oldest line
      {kKeyPageUp, false, 0, 0},
      {kKeyUp, false, 0, 0},
      {kKeyPageDown, true, 5, 0},
      {kKeyRight, true, 5, 1},
      {kKeyRight, true, 5, 2},
      {kKeyLeft, true, 5, 1},
      {kKeyEnd, true, 25, 1},  // the newest line; the columns stay
      {0x41, false, 25, 1},    // 'A'
      {0x0D, false, 25, 1},    // Enter
  };
  int index = 0;
  for (const auto& step : steps) {
    SCOPED_TRACE("step " + std::to_string(index++));
    EXPECT_EQ(step.moved, geometry.ScrollByKey(step.key));
    EXPECT_EQ(step.vertical, geometry.vertical_position());
    EXPECT_EQ(step.horizontal, geometry.horizontal_position());
  }
  EXPECT_TRUE(geometry.AtNewest());
}

TEST(LogViewGeometryTest, TheWheelScrollsBySettingLinesPerNotchAndAddsUpParts) {
  const struct {
    const char* name;
    unsigned lines_per_notch;
    std::vector<int> deltas;
    std::vector<int> positions;  // after each delta, from 20 of a maximum 25
  } cases[] = {
      {"three lines a notch, up then down", 3, {120, 120, -120}, {17, 14, 17}},
      {"down towards the newest line", 3, {-120}, {23}},
      {"half notches add up", 2, {60, 60, 60}, {19, 18, 17}},
      {"a third of a notch is one line of three", 3, {40, 40, 40}, {19, 18, 17}},
      {"small steps make no line until they add up", 1, {30, 30, 30, 30}, {20, 20, 20, 19}},
      {"a turn back drops what was left over", 1, {90, -30, -90}, {20, 20, 21}},
      {"a page a notch", kWheelPageScroll, {120, 240}, {15, 5}},
      {"no lines per notch: the wheel does nothing", 0, {120}, {20}},
      {"clamped at the oldest line", 3, {120 * 9}, {0}},
      {"clamped at the newest line", 3, {-120 * 9}, {25}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogViewGeometry geometry = MakeGeometry();
    geometry.UpdateRanges(/*line_count=*/30, /*longest=*/0);
    geometry.Scroll(ScrollBar::kVertical, kScrollThumbTrack, 20);
    ASSERT_EQ(c.deltas.size(), c.positions.size());
    int position = geometry.vertical_position();
    for (size_t i = 0; i < c.deltas.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(c.positions[i] != position, geometry.ScrollByWheel(c.deltas[i], c.lines_per_notch));
      position = geometry.vertical_position();
      EXPECT_EQ(c.positions[i], position);
    }
  }
}

// The bars' ranges and thumbs: the thumb is a page long and its last position is the range's
// maximum, so that the bar reaches every kept line and a click beside the thumb moves a page.
TEST(LogViewGeometryTest, EachBarShowsAPageLongThumbThatReachesTheLastLine) {
  const struct {
    const char* name;
    int line_count;
    int longest;
    BarInfo vertical;
    BarInfo horizontal;
  } cases[] = {
      {"nothing kept: both empty", 0, 0, {0, 0, 0}, {0, 0, 0}},
      {"everything fits: both empty", 5, kColumns - 1, {0, 0, 0}, {0, 0, 0}},
      {"a line exactly as wide as the view still scrolls by one", 5, kColumns,
       {0, 0, 0}, {kColumns, kColumns, 0}},
      {"one more line than fits", 6, 3, {5, kLines, 1}, {0, 0, 0}},
      {"5000 lines", 5000, 40, {4999, kLines, 4995}, {40, kColumns, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogViewGeometry geometry = MakeGeometry();
    geometry.UpdateRanges(c.line_count, c.longest);
    for (const ScrollBar bar : {ScrollBar::kVertical, ScrollBar::kHorizontal}) {
      const bool vertical = bar == ScrollBar::kVertical;
      SCOPED_TRACE(vertical ? "vertical" : "horizontal");
      const BarInfo expected = vertical ? c.vertical : c.horizontal;
      const BarInfo info = geometry.Bar(bar);
      EXPECT_EQ(expected.maximum, info.maximum);
      EXPECT_EQ(expected.page, info.page);
      EXPECT_EQ(expected.position, info.position);
      // The largest position the bar lets the thumb reach is the geometry's maximum.
      if (info.page > 0) {
        EXPECT_EQ(vertical ? geometry.vertical_maximum() : geometry.horizontal_maximum(),
                  info.maximum - info.page + 1);
      }
    }
  }
}

TEST(LogViewGeometryTest, AShorterLongestLinePullsTheHorizontalPositionBack) {
  LogViewGeometry geometry = MakeGeometry();
  geometry.UpdateRanges(3, 30);
  geometry.Scroll(ScrollBar::kHorizontal, kScrollThumbTrack, 20);
  ASSERT_EQ(20, geometry.horizontal_position());
  const struct {
    int longest;
    int maximum;
    int position;
  } steps[] = {{40, 31, 20}, {25, 16, 16}, {10, 1, 1}, {3, -6, 0}, {30, 21, 0}};
  for (const auto& step : steps) {
    SCOPED_TRACE(step.longest);
    geometry.UpdateRanges(3, step.longest);
    EXPECT_EQ(step.maximum, geometry.horizontal_maximum());
    EXPECT_EQ(step.position, geometry.horizontal_position());
  }
}

TEST(LogViewGeometryTest, RowsFillFromTheTopWhileLinesFitAndFromTheBottomOtherwise) {
  const int height = kLines * kLineHeight + 5;  // five whole rows and part of a sixth
  const struct {
    const char* name;
    int ranged_lines;  // the line count of the last range update
    int scroll_thumb;  // -1: at the newest line
    int line_count;    // the lines a paint finds in the store
    PaintRows rows;
  } cases[] = {
      {"empty", 0, -1, 0, {false, 0, 0}},
      {"fits", 3, -1, 3, {true, 0, 3}},
      {"exactly fills", 5, -1, 5, {true, 0, 5}},
      {"one more: the partly covered row too", 6, -1, 6, {false, 0, 6}},
      {"many: only the rows that show", 20, -1, 20, {false, 0, 6}},
      {"scrolled to the oldest", 20, 0, 20, {false, 15, 5}},
      {"scrolled part way", 20, 10, 20, {false, 5, 6}},
      // Lines added since the last range update are drawn from the top as long as they fit,
      // and never name a line the store does not hold.
      {"added before the update, still fitting", 2, -1, 4, {true, 0, 4}},
      {"store cleared before the update", 20, 0, 7, {false, 6, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogViewGeometry geometry = MakeGeometry();
    geometry.UpdateRanges(c.ranged_lines, 0);
    if (c.scroll_thumb >= 0)
      geometry.Scroll(ScrollBar::kVertical, kScrollThumbTrack, c.scroll_thumb);
    const PaintRows rows = geometry.Rows(c.line_count, height);
    EXPECT_EQ(c.rows.from_top, rows.from_top);
    EXPECT_EQ(c.rows.first, rows.first);
    EXPECT_EQ(c.rows.count, rows.count);
    EXPECT_LE(rows.first + rows.count, c.line_count);
  }
}

}  // namespace
}  // namespace kelvane::win32
