// app/gui/log_view_control_test.cpp -- the log view widget over a real LogView: capacity from
// its height, dropping the oldest line, scroll ranges and positions, what is painted in which
// row, and twenty threads adding lines while it paints. Runs on the offscreen platform.
#include <QApplication>
#include <QImage>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QWheelEvent>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <future>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/gui/log_view_control.h"
#include "gui/gui_test_case.h"
#include "logview/log_view.h"

using kelvane::gui::CUH_Control;
using kelvane::gui::ScrollCode;
using kelvane::gui::test::CaseName;
using kelvane::logview::LogView;

namespace {

// A shown widget of |lines| rows' height (plus the frame) bound to its own store, which keeps
// |wanted| lines when more than fit (the LogLines setting).
struct Bound {
  explicit Bound(int lines, int width = 300, size_t wanted = 0) {
    control.show();
    Resize(lines, width);
    control.SetCapacity(wanted);
    control.Bind(&store);
    Settle();
  }
  ~Bound() { control.Unbind(); }
  void Resize(int lines, int width = 300) {
    const int frame = control.height() - control.viewport()->height();
    control.resize(width, lines * control.line_height() + frame);
    Settle();
  }
  // Delivers the queued line notices, as the window's event loop would.
  static void Settle() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();  // lays out a scroll bar that was shown or hidden
  }
  void Add(int count, const std::string& prefix = "line ") {
    for (int i = 0; i < count; ++i) store.AddLine(prefix + std::to_string(added_++), false);
    Settle();
  }
  // Adds |count| lines numbered on from the last, each with its own background (LineColour),
  // from another thread; the notices stay queued until Settle.
  void AddFromThread(int count) {
    std::thread adder([this, count] {
      for (int i = 0; i < count; ++i, ++added_) {
        store.SetColours(0x000000, LineColour(added_));
        store.AddLine("line " + std::to_string(added_), false);
      }
    });
    adder.join();
  }
  // The number of the line the model puts in the bottom row (lines are "line <n>").
  int BottomLine() const {
    const int distance = control.vertical_maximum() - control.vertical_position();
    const std::string text = store.LineTexts().at(static_cast<size_t>(distance));
    return std::stoi(text.substr(5));
  }
  static uint32_t LineColour(int i) { return 0x101010u + static_cast<uint32_t>(i) * 0x000811u; }

  LogView store;
  CUH_Control control;
  int added_ = 0;
};

// The colour of row |row|'s background, sampled at its right end where no text reaches.
QRgb RowColour(const QImage& image, int row, int line_height) {
  return image.pixel(image.width() - 2, row * line_height + line_height / 2);
}

QRgb BottomRowColour(const QImage& image, int rows_up, int line_height) {
  return image.pixel(image.width() - 2, image.height() - 1 - rows_up * line_height -
                                            line_height / 2);
}

QImage Render(CUH_Control& control) {
  return control.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// A colour per line number that no palette uses.
uint32_t LineColour(int i) { return Bound::LineColour(i); }

// The centre of a part of |bar| (an arrow, the page area above or below the thumb), as the
// style lays it out.
QPoint BarPart(QScrollBar* bar, QStyle::SubControl part) {
  QStyleOptionSlider option;
  option.initFrom(bar);
  option.subControls = QStyle::SC_All;
  option.orientation = bar->orientation();
  if (bar->orientation() == Qt::Horizontal) option.state |= QStyle::State_Horizontal;
  option.minimum = bar->minimum();
  option.maximum = bar->maximum();
  option.sliderPosition = bar->sliderPosition();
  option.sliderValue = bar->value();
  option.singleStep = bar->singleStep();
  option.pageStep = bar->pageStep();
  return bar->style()->subControlRect(QStyle::CC_ScrollBar, &option, part, bar).center();
}

void Wheel(CUH_Control& control, QPoint angle) {
  const QPointF at(control.viewport()->width() / 2.0, control.viewport()->height() / 2.0);
  QWheelEvent event(at, control.viewport()->mapToGlobal(at), QPoint(), angle, Qt::NoButton,
                    Qt::NoModifier, Qt::NoScrollPhase, false);
  QCoreApplication::sendEvent(control.viewport(), &event);
}

}  // namespace

class LogViewControlTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QCOMPARE(kelvane::gui::RegisterLogViewClass(), 0); }

  void ScrolledPositionFollowsTheCodes() {
    const struct {
      ScrollCode code;
      int expected;
    } cases[] = {
        {ScrollCode::kLineUp, 9},         {ScrollCode::kLineDown, 11},
        {ScrollCode::kPageUp, 6},         {ScrollCode::kPageDown, 14},
        {ScrollCode::kThumbPosition, 3},  {ScrollCode::kThumbTrack, 3},
        {ScrollCode::kTop, 10},           {ScrollCode::kBottom, 10},
        {ScrollCode::kEndScroll, 10},
    };
    for (const auto& c : cases) {
      QCOMPARE(kelvane::gui::ScrolledPosition(c.code, 10, 4, 3), c.expected);
    }
  }

  void CapacityFollowsTheHeightAndOnlyGrows() {
    Bound b(5);
    const struct {
      int lines;
      size_t expected;
    } steps[] = {{5, 5}, {9, 9}, {3, 9}, {12, 12}, {1, 12}};
    for (const auto& step : steps) {
      b.Resize(step.lines);
      QCOMPARE(b.control.visible_lines(), b.control.viewport()->height() / b.control.line_height());
      QCOMPARE(b.control.capacity(), step.expected);
      QCOMPARE(b.store.capacity(), step.expected);
    }
    // A larger font fits fewer lines but keeps the capacity; a smaller one raises it.
    b.Resize(12);
    QFont big = b.control.font();
    big.setPixelSize(b.control.line_height() * 3);
    b.control.SetFont(big);
    QCOMPARE(b.control.capacity(), size_t{12});
    QFont small = b.control.font();
    small.setPixelSize(2);
    b.control.SetFont(small);
    QVERIFY(b.control.capacity() > 12);
    QCOMPARE(b.control.capacity(), size_t(b.control.viewport()->height() / b.control.line_height()));
  }

  void AFullStoreDropsTheOldestLine() {
    Bound b(4);
    const size_t capacity = b.control.capacity();
    QVERIFY(capacity >= 3);
    b.Add(static_cast<int>(capacity) + 2);
    const std::vector<std::string> texts = b.store.LineTexts();
    QCOMPARE(texts.size(), capacity);
    QCOMPARE(texts.front(), "line " + std::to_string(capacity + 1));  // the newest
    QCOMPARE(texts.back(), std::string("line 2"));  // lines 0 and 1 were dropped
    QCOMPARE(b.control.vertical_maximum(), 0);
    QVERIFY(!b.control.verticalScrollBar()->isVisible());
  }

  void VerticalRangeAndPositionFollowLinesAndScrolls() {
    Bound b(12);
    b.Resize(5);  // capacity stays 12; five rows show
    const int visible = b.control.visible_lines();
    b.Add(12);
    const int maximum = 12 - visible;
    QCOMPARE(b.control.vertical_maximum(), maximum);
    QCOMPARE(b.control.vertical_position(), maximum);  // at the newest line
    QCOMPARE(b.control.verticalScrollBar()->maximum(), maximum);
    QVERIFY(b.control.verticalScrollBar()->isVisible());

    const struct {
      ScrollCode code;
      int thumb;
      int expected;
    } steps[] = {
        {ScrollCode::kLineUp, 0, maximum - 1},
        {ScrollCode::kPageUp, 0, std::max(0, maximum - 1 - visible)},
        {ScrollCode::kPageUp, 0, 0},  // clamped at the top
        {ScrollCode::kLineUp, 0, 0},
        {ScrollCode::kThumbPosition, 2, 2},
        {ScrollCode::kBottom, 0, 2},  // not a move
        {ScrollCode::kThumbTrack, 99, maximum},  // clamped at the range
        {ScrollCode::kLineDown, 0, maximum},
        {ScrollCode::kLineUp, 0, maximum - 1},
    };
    int step_number = 0;
    for (const auto& step : steps) {
      b.control.Scroll(Qt::Vertical, step.code, step.thumb);
      const QByteArray where = QByteArray::number(step_number++);
      QVERIFY2(b.control.vertical_position() == step.expected, where.constData());
      QVERIFY2(b.control.verticalScrollBar()->value() == step.expected, where.constData());
    }
    // One line above the newest, new lines in a full store keep the rows' lines: the position
    // moves up by the lines that arrived.
    b.Add(3);
    QCOMPARE(b.control.vertical_maximum(), maximum);
    QCOMPARE(b.control.vertical_position(), maximum - 4);

    // The bar's own line-down action goes through the same codes.
    b.control.verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    QCOMPARE(b.control.vertical_position(), maximum - 3);
  }

  void HorizontalRangeCountsCharacterWidths() {
    Bound b(5);
    const int columns = b.control.visible_columns();
    b.store.AddLine("short", false);
    Bound::Settle();
    QCOMPARE(b.control.horizontal_maximum(), 5 - columns + 1);
    QVERIFY(!b.control.horizontalScrollBar()->isVisible());

    const int length = columns + 10;
    b.store.AddLine(std::string(static_cast<size_t>(length), 'X'), false);
    Bound::Settle();
    // The bar took some height, not width: the columns stay.
    QCOMPARE(b.control.horizontal_maximum(), length - b.control.visible_columns() + 1);
    const int maximum = b.control.horizontal_maximum();
    QVERIFY(b.control.horizontalScrollBar()->isVisible());
    const struct {
      ScrollCode code;
      int expected;
    } steps[] = {
        {ScrollCode::kLineDown, 1},
        {ScrollCode::kLineDown, 2},
        {ScrollCode::kLineUp, 1},
        {ScrollCode::kPageDown, maximum},
        {ScrollCode::kPageUp, 0},
    };
    for (const auto& step : steps) {
      b.control.Scroll(Qt::Horizontal, step.code);
      QCOMPARE(b.control.horizontal_position(), step.expected);
      QCOMPARE(b.control.horizontalScrollBar()->value(), step.expected);
    }
  }

  void ScrollingRightMovesTheTextLeftByOneCharacter() {
    Bound b(3);
    b.store.AddLine(std::string(static_cast<size_t>(b.control.visible_columns() + 8), 'X'), false);
    Bound::Settle();
    const QImage at_zero = Render(b.control);
    b.control.Scroll(Qt::Horizontal, ScrollCode::kLineDown);
    const QImage at_one = Render(b.control);
    const int shift = b.control.char_width();
    const int row_height = b.control.line_height();
    bool some_ink = false;
    for (int y = 0; y < row_height; ++y) {
      for (int x = 0; x + shift < at_zero.width(); ++x) {
        QCOMPARE(at_one.pixel(x, y), at_zero.pixel(x + shift, y));
        some_ink = some_ink || at_zero.pixel(x + shift, y) != at_zero.pixel(at_zero.width() - 1, y);
      }
    }
    QVERIFY(some_ink);
  }

  void RowsFillFromTheTopWhileAllLinesFit() {
    Bound b(6);
    for (int i = 0; i < 3; ++i) {
      b.store.SetColours(0x000000, LineColour(i));
      b.store.AddLine("row " + std::to_string(i), false);
    }
    Bound::Settle();
    const QImage image = Render(b.control);
    const int height = b.control.line_height();
    for (int row = 0; row < 3; ++row) {
      QCOMPARE(RowColour(image, row, height), kelvane::gui::WidgetColour(LineColour(row)).rgb());
    }
    // Below the last row: the window colour.
    QCOMPARE(RowColour(image, 4, height), b.control.palette().color(QPalette::Base).rgb());
  }

  void RowsFillFromTheBottomWhenLinesDoNotFit() {
    Bound b(10);
    b.Resize(4);
    const int visible = b.control.visible_lines();
    for (int i = 0; i < 10; ++i) {
      b.store.SetColours(0x000000, LineColour(i));
      b.store.AddLine("row " + std::to_string(i), false);
    }
    Bound::Settle();
    const int height = b.control.line_height();
    const struct {
      int lines_up;  // how far the view was scrolled up from the newest line
    } cases[] = {{0}, {2}, {10 - visible}};
    for (const auto& c : cases) {
      b.control.Scroll(Qt::Vertical, ScrollCode::kThumbPosition,
                       b.control.vertical_maximum() - c.lines_up);
      const QImage image = Render(b.control);
      for (int up = 0; up < visible; ++up) {
        const int line = 9 - c.lines_up - up;
        QCOMPARE(BottomRowColour(image, up, height),
                 kelvane::gui::WidgetColour(LineColour(line)).rgb());
      }
    }
  }

  void TwentyThreadsAddLinesWhileTheWidgetPaints() {
    Bound b(8);
    constexpr int kThreads = 20;
    constexpr int kLinesEach = 150;
    auto add_from_threads = [&](const char* round) {
      std::vector<std::future<void>> done;
      for (int t = 0; t < kThreads; ++t) {
        done.push_back(std::async(std::launch::async, [&b, t, round] {
          for (int i = 0; i < kLinesEach; ++i) {
            b.store.AddLine(std::string(round) + std::to_string(t) + ":" + std::to_string(i) +
                                std::string(static_cast<size_t>((t * 7 + i) % 40), '.'),
                            false);
          }
        }));
      }
      return done;
    };

    // The adding threads never wait for the window's thread, which handles no event here.
    for (auto& f : add_from_threads("a")) {
      QVERIFY(f.wait_for(std::chrono::seconds(60)) == std::future_status::ready);
    }

    // Now the window's thread paints and takes the notices while they add.
    std::vector<std::future<void>> done = add_from_threads("b");
    auto all_done = [&] {
      for (auto& f : done) {
        if (f.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return false;
      }
      return true;
    };
    int paints = 0;
    while (!all_done()) {
      QCoreApplication::processEvents();
      Render(b.control);
      ++paints;
    }
    QVERIFY(paints > 0);
    Bound::Settle();

    const std::vector<std::string> texts = b.store.LineTexts();
    QCOMPARE(texts.size(), b.control.capacity());
    QCOMPARE(b.control.vertical_maximum(),
             std::max(0, static_cast<int>(texts.size()) - b.control.visible_lines()));
    QCOMPARE(b.control.vertical_position(), b.control.vertical_maximum());
    size_t longest = 0;
    for (const std::string& text : texts) longest = std::max(longest, text.size());
    QCOMPARE(b.control.horizontal_maximum(),
             static_cast<int>(longest) - b.control.visible_columns() + 1);
    // Each thread's lines stay in their order in the store (newest first).
    for (size_t i = 1; i < texts.size(); ++i) {
      const auto thread_of = [](const std::string& s) { return s.substr(0, s.find(':')); };
      const auto number_of = [](const std::string& s) {
        return std::stoi(s.substr(s.find(':') + 1));
      };
      if (thread_of(texts[i]) == thread_of(texts[i - 1])) {
        QVERIFY(number_of(texts[i]) < number_of(texts[i - 1]));
      }
    }
  }

  void CapacityIsTheLargerOfWantedAndFitting() {
    const struct {
      const char* name;
      int rows;       // the view's height in lines
      size_t wanted;  // the LogLines setting
      int grown_rows;  // then made this tall
      size_t expected, expected_grown;
    } cases[] = {
        {"wanted above fitting", 6, 5000, 12, 5000, 5000},
        {"none wanted", 6, 0, 12, 6, 12},
        {"fewer wanted than fit", 6, 3, 9, 6, 9},
        {"grown past wanted", 6, 8, 20, 8, 20},
    };
    for (const auto& c : cases) {
      const CaseName named(c.name);
      Bound b(c.rows, 300, c.wanted);
      QCOMPARE(b.control.capacity(), c.expected);
      QCOMPARE(b.store.capacity(), c.expected);
      b.Resize(c.grown_rows);
      QCOMPARE(b.control.capacity(), c.expected_grown);
      b.Resize(c.rows);  // shrinking keeps it
      QCOMPARE(b.control.capacity(), c.expected_grown);
    }
    // Only the wanted lines are kept, and the bar reaches every one of them.
    Bound b(10, 300, 30);
    b.Add(100);
    QCOMPARE(b.store.LineCount(), size_t{30});
    QCOMPARE(b.control.vertical_maximum(), 30 - b.control.visible_lines());
    QCOMPARE(b.control.verticalScrollBar()->maximum(), 30 - b.control.visible_lines());
  }

  // Every way of scrolling, in turn, over far more lines than fit; after each step the bar, the
  // model and the painted bottom row agree on the line shown. The bar's arrows and page areas
  // are clicked where the style draws them: its up arrow shows older lines, and a page click
  // moves by a page of lines.
  void KeysWheelAndBarScrollOverEveryKeptLine() {
    Bound b(10, 300, 200);
    b.AddFromThread(250);  // lines 50 to 249 are kept
    Bound::Settle();
    const int visible = b.control.visible_lines();
    const int maximum = 200 - visible;
    QCOMPARE(b.control.vertical_maximum(), maximum);
    QScrollBar* bar = b.control.verticalScrollBar();
    QVERIFY(bar->isVisible());
    QCOMPARE(bar->pageStep(), visible);
    const int notch = std::max(1, QApplication::wheelScrollLines());

    auto key = [&b](Qt::Key k) { return [&b, k] { QTest::keyClick(&b.control, k); }; };
    auto wheel = [&b](int y) { return [&b, y] { Wheel(b.control, QPoint(0, y)); }; };
    auto click = [bar](QStyle::SubControl part) {
      return [bar, part] { QTest::mouseClick(bar, Qt::LeftButton, {}, BarPart(bar, part)); };
    };
    const struct {
      const char* name;
      std::function<void()> act;
      int position;
    } steps[] = {
        {"Up", key(Qt::Key_Up), maximum - 1},
        {"Down", key(Qt::Key_Down), maximum},
        {"Down at the newest", key(Qt::Key_Down), maximum},
        {"Page Up", key(Qt::Key_PageUp), maximum - visible},
        {"Page Down", key(Qt::Key_PageDown), maximum},
        {"Home", key(Qt::Key_Home), 0},
        {"Up at the oldest", key(Qt::Key_Up), 0},
        {"Page Down from the oldest", key(Qt::Key_PageDown), visible},
        {"End", key(Qt::Key_End), maximum},
        {"wheel away", wheel(120), maximum - notch},
        {"wheel back", wheel(-120), maximum},
        {"wheel away a third", wheel(40), maximum - notch / 3},
        {"wheel away two thirds more", wheel(80), maximum - notch},
        {"bar's up arrow", click(QStyle::SC_ScrollBarSubLine), maximum - notch - 1},
        {"bar's up arrow again", click(QStyle::SC_ScrollBarSubLine), maximum - notch - 2},
        {"bar's down arrow", click(QStyle::SC_ScrollBarAddLine), maximum - notch - 1},
        {"bar above the thumb", click(QStyle::SC_ScrollBarSubPage), maximum - notch - 1 - visible},
        {"bar below the thumb", click(QStyle::SC_ScrollBarAddPage), maximum - notch - 1},
        {"bar's menu Top", [bar] { bar->triggerAction(QAbstractSlider::SliderToMinimum); }, 0},
        {"bar's menu Bottom", [bar] { bar->triggerAction(QAbstractSlider::SliderToMaximum); },
         maximum},
    };
    for (const auto& step : steps) {
      const CaseName named(step.name);
      step.act();
      Bound::Settle();
      QCOMPARE(b.control.vertical_position(), step.position);
      QCOMPARE(bar->value(), step.position);
      const int line = 249 - (maximum - step.position);
      QCOMPARE(b.BottomLine(), line);
      QCOMPARE(BottomRowColour(Render(b.control), 0, b.control.line_height()),
               kelvane::gui::WidgetColour(LineColour(line)).rgb());
    }
    // Keys the view does not use reach its parent.
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(&b.control, &enter);
    QVERIFY(!enter.isAccepted());
  }

  // Lines arrive from another thread while the view is at the newest line or scrolled up, in a
  // store that has room or is full: at the newest line the view follows; scrolled up, the same
  // line stays in the bottom row, until that line itself is dropped and the view stops at the
  // oldest one.
  void FollowsAtTheNewestLineAndStaysWhenScrolledUp() {
    const struct {
      const char* name;
      int before;    // lines added first
      int up;        // lines scrolled up from the newest
      int arriving;  // lines then added from another thread
      bool follows;
    } cases[] = {
        {"at the newest, room left", 40, 0, 15, true},
        {"at the newest, full", 120, 0, 15, true},
        {"scrolled up, room left", 40, 7, 15, false},
        {"scrolled up, full", 120, 7, 15, false},
        {"scrolled up one, full, many", 120, 1, 60, false},
        {"at the top, full", 120, 100 - 10, 5, false},
    };
    for (const auto& c : cases) {
      const CaseName named(c.name);
      Bound b(10, 300, 100);
      QCOMPARE(b.control.visible_lines(), 10);
      b.AddFromThread(c.before);
      Bound::Settle();
      b.control.Scroll(Qt::Vertical, ScrollCode::kThumbPosition, b.control.vertical_maximum() - c.up);
      const int shown = b.BottomLine();

      b.AddFromThread(c.arriving);
      const int newest = c.before + c.arriving - 1;
      const int oldest = std::max(0, newest - 99);
      // A view whose top line was dropped stops with the oldest line in its top row.
      const int expected = c.follows ? newest : std::max(shown, oldest + 9);
      const QRgb expected_colour = kelvane::gui::WidgetColour(LineColour(expected)).rgb();
      // Painted before the notices arrive, a view scrolled up already shows where it stays.
      if (!c.follows) {
        QCOMPARE(BottomRowColour(Render(b.control), 0, b.control.line_height()), expected_colour);
      }
      Bound::Settle();
      QCOMPARE(b.BottomLine(), expected);
      QCOMPARE(b.control.vertical_position() == b.control.vertical_maximum(), c.follows);
      QCOMPARE(BottomRowColour(Render(b.control), 0, b.control.line_height()), expected_colour);
      if (c.follows) continue;
      // End goes back to the newest line, and from there the view follows again.
      QTest::keyClick(&b.control, Qt::Key_End);
      b.AddFromThread(3);
      Bound::Settle();
      QCOMPARE(b.BottomLine(), newest + 3);
    }
  }

  void AttachNeedsTheNamedChild() {
    LogView store;
    QWidget parent;
    auto* control = new CUH_Control(&parent);
    control->setObjectName("log");
    QCOMPARE(kelvane::gui::Attach(store, nullptr, "log"), 1);
    QCOMPARE(kelvane::gui::Attach(store, &parent, "other"), 1);
    store.AddLine("not kept", false);
    QCOMPARE(store.LineCount(), size_t{0});
    QCOMPARE(kelvane::gui::Attach(store, &parent, "log"), 0);
    store.AddLine("kept", false);
    QCOMPARE(store.LineCount(), size_t{1});
    control->Unbind();
    store.AddLine("not kept either", false);
    QCOMPARE(store.LineCount(), size_t{1});
  }
};

QTEST_MAIN(LogViewControlTest)
#include "log_view_control_test.moc"
