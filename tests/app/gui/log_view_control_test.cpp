// app/gui/log_view_control_test.cpp -- the log view widget over a real LogView: capacity from
// its height, dropping the oldest line, scroll ranges and positions, what is painted in which
// row, and twenty threads adding lines while it paints. Runs on the offscreen platform.
#include <QApplication>
#include <QImage>
#include <QScrollBar>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "app/gui/log_view_control.h"
#include "logview/log_view.h"

using kelvane::gui::CUH_Control;
using kelvane::gui::ScrollCode;
using kelvane::logview::LogView;

namespace {

// A shown widget of |lines| rows' height (plus the frame) bound to its own store.
struct Bound {
  explicit Bound(int lines, int width = 300) {
    control.show();
    Resize(lines, width);
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
uint32_t LineColour(int i) {
  return 0x101010u + static_cast<uint32_t>(i) * 0x000811u;
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
    // One line above the newest: new lines in a full store keep that distance.
    b.Add(3);
    QCOMPARE(b.control.vertical_maximum(), maximum);
    QCOMPARE(b.control.vertical_position(), maximum - 1);

    // The bar's own line-down action goes through the same codes.
    b.control.verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    QCOMPARE(b.control.vertical_position(), maximum);
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
