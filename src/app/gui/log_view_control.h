// app/gui/log_view_control.h -- CUH_Control: the window half of the activity log. It shows the
// newest lines of a LogView, sets the store's capacity to the larger of the lines wanted and the
// lines that have fitted it, and scrolls over older lines (vertically, in lines) and long lines
// (horizontally, in widths of "X") by its bars, the mouse wheel and the keys. At the newest line
// the view follows new lines; scrolled up, the lines it shows keep their rows while new lines
// arrive and old ones drop.
//
// The widget lives on the window's thread and every member is called there. The LogView tells
// it of new lines on whichever thread added them (OnLineAdded); that thread only raises a flag
// and emits LinesChanged, which reaches the widget queued on the window's thread: the adding
// thread never paints and never waits for the window. Painting copies the rows it draws from
// the store under the store's lock, so each paint sees one consistent line list.
#pragma once

#include <QAbstractScrollArea>
#include <QFont>
#include <QPoint>
#include <QString>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "logview/log_view.h"

class QPaintEvent;
class QResizeEvent;

namespace kelvane::gui {

// Makes the log view's widget and its queued signal known to Qt. Returns 0 when the widget can
// be used afterwards, 1 otherwise. Call once before the first CUH_Control is made.
int RegisterLogViewClass();

// The scroll bar requests the widget understands; any other request leaves the position as is.
enum class ScrollCode {
  kLineUp,         // up, or left
  kLineDown,       // down, or right
  kPageUp,         // a page up, or left
  kPageDown,       // a page down, or right
  kThumbPosition,  // the thumb was dropped at a position
  kThumbTrack,     // the thumb is being dragged through a position
  kTop,
  kBottom,
  kEndScroll,
};

// The position a scroll request asks for (before clamping), from |position|, the |page| size
// and the |thumb| position the request carries.
int ScrolledPosition(ScrollCode code, int position, int page, int thumb);

class CUH_Control : public QAbstractScrollArea, private logview::LogObserver {
  Q_OBJECT

 public:
  // Pixels between the left edge and the first character.
  static constexpr int kLeftMargin = 2;

  explicit CUH_Control(QWidget* parent = nullptr);
  ~CUH_Control() override;

  // Binds |log_view| (not owned; it must outlive the binding): lines are kept and shown from
  // now on, in the palette's text and base colours. Any binding before is undone first.
  void Bind(logview::LogView* log_view);
  // Undoes the binding; the store keeps no lines any more. Done by the destructor too.
  void Unbind();
  logview::LogView* log_view() const { return log_view_; }

  // Draws with |font| from now on and measures "X" in it.
  int SetFont(const QFont& font);
  // Raises the capacity to |wanted| or to the lines that fit, whichever is larger; it never
  // falls. Hands it to the store and updates the scroll bars.
  void SetCapacity(size_t wanted);
  // Takes the store's line count and longest length and sets both scroll bars from them: a view
  // at the newest line stays there; one scrolled up keeps the lines it shows (while they last).
  void UpdateScrollBars();
  // One scroll request on the vertical or the horizontal bar.
  void Scroll(Qt::Orientation orientation, ScrollCode code, int thumb = 0);

  size_t capacity() const { return capacity_; }
  int line_height() const { return line_height_; }
  int char_width() const { return char_width_; }
  int visible_lines() const { return visible_lines_; }
  int visible_columns() const { return visible_columns_; }
  int vertical_maximum() const { return vertical_maximum_; }
  int vertical_position() const { return vertical_position_; }
  int horizontal_maximum() const { return horizontal_maximum_; }
  int horizontal_position() const { return horizontal_position_; }

 signals:
  // Emitted on the adding thread, received queued on the window's thread.
  void LinesChanged();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  // Up and Down scroll a line, Page Up and Page Down a page, Home to the oldest line and End to
  // the newest, Left and Right a column; other keys go to the parent unhandled.
  void keyPressEvent(QKeyEvent* event) override;
  // The system's lines per notch (three by default); a sideways wheel scrolls columns.
  void wheelEvent(QWheelEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;

 private:
  void OnLineAdded(std::string_view text) override;
  void OnCleared() override;
  void Post();
  void OnLinesChanged();
  void Measure();
  void ComputeVisible();
  void OnBarAction(Qt::Orientation orientation, int action);
  void OnBarValue(Qt::Orientation orientation, int value);
  void SetBar(Qt::Orientation orientation, int maximum, int position);
  // The top row's line counted from the oldest kept line, with the lines dropped since the bars
  // were last set taken off (|dropped| is the store's DroppedCount); -1 at the newest line,
  // where the view follows new lines.
  int TopLine(uint64_t dropped) const;

  logview::LogView* log_view_ = nullptr;
  QFont font_;
  int line_height_ = 1;
  int char_width_ = 1;
  size_t capacity_ = 0;
  int visible_lines_ = 0;
  int visible_columns_ = 0;
  int vertical_maximum_ = 0;
  int vertical_position_ = 0;
  int horizontal_maximum_ = 0;
  int horizontal_position_ = 0;
  // The store's DroppedCount when the bars were last set.
  uint64_t dropped_seen_ = 0;
  // Wheel turns below one line (in eighths of a degree), kept for the next turn.
  QPoint wheel_rest_;
  // Set while this widget moves a bar itself, so that the bar's echo is not taken as a request.
  bool setting_bar_ = false;
  // Set while UpdateScrollBars runs; a resize it causes asks for one more round instead.
  bool updating_ = false;
  bool update_again_ = false;
  // Raised by the adding thread, cleared by the window's thread before it reads the store: at
  // most one LinesChanged waits in the queue at a time.
  std::atomic<bool> change_posted_{false};
};

// Binds |log_view| to the CUH_Control child of |parent| named |control_name|. Returns 0; 1 when
// |parent| is null or has no such child (the log view then stays without a window).
int Attach(logview::LogView& log_view, QWidget* parent, const QString& control_name);

// A colour as the store keeps it (0x00BBGGRR), and back.
uint32_t StoreColour(const QColor& colour);
QColor WidgetColour(uint32_t colour);

}  // namespace kelvane::gui
