// app/gui/log_view_control.cpp -- measuring, capacity, scroll bars, scrolling and painting of
// the log view widget.
#include "app/gui/log_view_control.h"

#include <QApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>
#include <QWheelEvent>
#include <algorithm>
#include <vector>

namespace kelvane::gui {
namespace {

// How often UpdateScrollBars goes round again when showing or hiding a bar resized the view.
constexpr int kUpdateRounds = 4;

// One row as painting copies it out of the store.
struct PaintRow {
  QString text;
  QColor text_colour;
  QColor background_colour;
};

PaintRow CopyRow(const logview::LogLine& line) {
  return PaintRow{QString::fromUtf8(line.text.data(), static_cast<qsizetype>(line.text.size())),
                  WidgetColour(line.text_colour), WidgetColour(line.background_colour)};
}

}  // namespace

int RegisterLogViewClass() {
  qRegisterMetaType<CUH_Control*>();
  return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr ? 0 : 1;
}

int ScrolledPosition(ScrollCode code, int position, int page, int thumb) {
  switch (code) {
    case ScrollCode::kLineUp:
      return position - 1;
    case ScrollCode::kLineDown:
      return position + 1;
    case ScrollCode::kPageUp:
      return position - page;
    case ScrollCode::kPageDown:
      return position + page;
    case ScrollCode::kThumbPosition:
    case ScrollCode::kThumbTrack:
      return thumb;
    case ScrollCode::kTop:
    case ScrollCode::kBottom:
    case ScrollCode::kEndScroll:
      break;
  }
  return position;
}

uint32_t StoreColour(const QColor& colour) {
  return static_cast<uint32_t>(colour.red()) | static_cast<uint32_t>(colour.green()) << 8 |
         static_cast<uint32_t>(colour.blue()) << 16;
}

QColor WidgetColour(uint32_t colour) {
  return QColor(static_cast<int>(colour & 0xFF), static_cast<int>((colour >> 8) & 0xFF),
                static_cast<int>((colour >> 16) & 0xFF));
}

CUH_Control::CUH_Control(QWidget* parent) : QAbstractScrollArea(parent), font_(font()) {
  setFocusPolicy(Qt::StrongFocus);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  viewport()->setAutoFillBackground(false);
  viewport()->setCursor(Qt::ArrowCursor);
  Measure();
  connect(this, &CUH_Control::LinesChanged, this, &CUH_Control::OnLinesChanged,
          Qt::QueuedConnection);
  for (const Qt::Orientation orientation : {Qt::Vertical, Qt::Horizontal}) {
    QScrollBar* bar =
        orientation == Qt::Vertical ? verticalScrollBar() : horizontalScrollBar();
    bar->setRange(0, 0);
    bar->setSingleStep(1);
    connect(bar, &QScrollBar::actionTriggered, this,
            [this, orientation](int action) { OnBarAction(orientation, action); });
    connect(bar, &QScrollBar::valueChanged, this,
            [this, orientation](int value) { OnBarValue(orientation, value); });
  }
}

CUH_Control::~CUH_Control() { Unbind(); }

void CUH_Control::Bind(logview::LogView* log_view) {
  Unbind();
  if (log_view == nullptr) return;
  log_view_ = log_view;
  log_view_->SetColours(StoreColour(palette().color(QPalette::Text)),
                        StoreColour(palette().color(QPalette::Base)));
  log_view_->SetKeepLines(true);
  log_view_->AddObserver(this);
  dropped_seen_ = log_view_->DroppedCount();
  vertical_maximum_ = 0;
  vertical_position_ = 0;
  ComputeVisible();
  SetCapacity(capacity_);
}

void CUH_Control::Unbind() {
  if (log_view_ == nullptr) return;
  // Waits for a delivery to this widget under way on another thread; none can follow.
  log_view_->RemoveObserver(this);
  log_view_->SetKeepLines(false);
  log_view_ = nullptr;
}

int CUH_Control::SetFont(const QFont& font) {
  font_ = font;
  Measure();
  if (log_view_ != nullptr) {
    ComputeVisible();
    SetCapacity(capacity_);
  }
  return 0;
}

void CUH_Control::Measure() {
  const QFontMetrics metrics(font_);
  char_width_ = std::max(1, metrics.horizontalAdvance(QLatin1Char('X')));
  line_height_ = std::max(1, metrics.height());
}

void CUH_Control::ComputeVisible() {
  // A widget not shown yet has not laid its view out: count what its size will give (the main
  // window binds the log and adds its status lines before it is shown).
  const QSize view = isVisible() ? viewport()->size() : maximumViewportSize();
  visible_lines_ = view.height() / line_height_;
  visible_columns_ = view.width() / char_width_;
}

void CUH_Control::SetCapacity(size_t wanted) {
  const size_t fitting = static_cast<size_t>(std::max(0, visible_lines_));
  const size_t capacity = log_view_ != nullptr ? std::max(wanted, fitting) : wanted;
  capacity_ = capacity;
  if (log_view_ == nullptr) return;
  log_view_->SetCapacity(capacity_);
  UpdateScrollBars();
}

void CUH_Control::UpdateScrollBars() {
  if (log_view_ == nullptr) return;
  // Showing or hiding a bar resizes the view, which comes back here through resizeEvent; that
  // inner call only asks for one more round.
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
    const int top = TopLine(dropped);
    dropped_seen_ = dropped;
    vertical_maximum_ = std::max(0, count - visible_lines_);
    vertical_position_ = top < 0 ? vertical_maximum_ : std::min(top, vertical_maximum_);
    SetBar(Qt::Vertical, vertical_maximum_, vertical_position_);

    horizontal_maximum_ = longest - visible_columns_ + 1;
    if (horizontal_position_ > horizontal_maximum_) horizontal_position_ = horizontal_maximum_;
    if (horizontal_position_ < 0) horizontal_position_ = 0;
    SetBar(Qt::Horizontal, std::max(0, horizontal_maximum_), horizontal_position_);
    if (!update_again_) break;
  }
  updating_ = false;
  viewport()->update();
}

int CUH_Control::TopLine(uint64_t dropped) const {
  if (vertical_position_ >= vertical_maximum_) return -1;
  // Scrolled up: the position counts rows from the oldest line, so new lines leave it as it is
  // and every line dropped at the oldest end moves it one up, down to 0.
  const uint64_t gone = dropped - dropped_seen_;
  return gone >= static_cast<uint64_t>(vertical_position_)
             ? 0
             : vertical_position_ - static_cast<int>(gone);
}

void CUH_Control::SetBar(Qt::Orientation orientation, int maximum, int position) {
  QScrollBar* bar = orientation == Qt::Vertical ? verticalScrollBar() : horizontalScrollBar();
  setting_bar_ = true;
  bar->setPageStep(std::max(1, orientation == Qt::Vertical ? visible_lines_ : visible_columns_));
  bar->setRange(0, maximum);
  bar->setValue(position);
  setting_bar_ = false;
}

void CUH_Control::Scroll(Qt::Orientation orientation, ScrollCode code, int thumb) {
  const bool vertical = orientation == Qt::Vertical;
  int& position = vertical ? vertical_position_ : horizontal_position_;
  const int maximum = vertical ? vertical_maximum_ : horizontal_maximum_;
  const int page = vertical ? visible_lines_ : visible_columns_;
  int wanted = ScrolledPosition(code, position, page, thumb);
  if (wanted == position) return;
  wanted = std::min(wanted, maximum);
  wanted = std::max(wanted, 0);
  position = wanted;
  SetBar(orientation, std::max(0, maximum), position);
  viewport()->update();
}

void CUH_Control::OnBarAction(Qt::Orientation orientation, int action) {
  QScrollBar* bar = orientation == Qt::Vertical ? verticalScrollBar() : horizontalScrollBar();
  ScrollCode code = ScrollCode::kEndScroll;
  switch (action) {
    case QAbstractSlider::SliderSingleStepSub:
      code = ScrollCode::kLineUp;
      break;
    case QAbstractSlider::SliderSingleStepAdd:
      code = ScrollCode::kLineDown;
      break;
    case QAbstractSlider::SliderPageStepSub:
      code = ScrollCode::kPageUp;
      break;
    case QAbstractSlider::SliderPageStepAdd:
      code = ScrollCode::kPageDown;
      break;
    case QAbstractSlider::SliderMove:
      code = ScrollCode::kThumbTrack;
      break;
    case QAbstractSlider::SliderToMinimum:
    case QAbstractSlider::SliderToMaximum:
      // The bar's Top and Bottom menu items: the same as Home and End.
      code = ScrollCode::kThumbPosition;
      break;
    default:
      break;
  }
  const int thumb = action == QAbstractSlider::SliderToMinimum   ? 0
                    : action == QAbstractSlider::SliderToMaximum ? bar->maximum()
                                                                 : bar->sliderPosition();
  Scroll(orientation, code, thumb);
  // The bar applies its slider position right after this signal: make it ours.
  bar->setSliderPosition(orientation == Qt::Vertical ? vertical_position_ : horizontal_position_);
}

void CUH_Control::OnBarValue(Qt::Orientation orientation, int value) {
  if (setting_bar_) return;
  const int position = orientation == Qt::Vertical ? vertical_position_ : horizontal_position_;
  if (value != position) Scroll(orientation, ScrollCode::kThumbPosition, value);
}

void CUH_Control::scrollContentsBy(int /*dx*/, int /*dy*/) {
  // Every scroll repaints the whole view (Scroll); nothing is moved pixel-wise.
}

void CUH_Control::OnLineAdded(std::string_view /*text*/) { Post(); }

void CUH_Control::OnCleared() { Post(); }

void CUH_Control::Post() {
  if (!change_posted_.exchange(true)) emit LinesChanged();
}

void CUH_Control::OnLinesChanged() {
  // Cleared before reading the store: a line added from here on posts again.
  change_posted_.store(false);
  UpdateScrollBars();
}

void CUH_Control::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  ComputeVisible();
  SetCapacity(capacity_);
}

void CUH_Control::mousePressEvent(QMouseEvent* event) {
  setFocus(Qt::MouseFocusReason);
  QAbstractScrollArea::mousePressEvent(event);
}

void CUH_Control::keyPressEvent(QKeyEvent* event) {
  if (event->modifiers() & ~(Qt::KeypadModifier | Qt::ControlModifier)) {
    event->ignore();
    return;
  }
  switch (event->key()) {
    case Qt::Key_Up:
      Scroll(Qt::Vertical, ScrollCode::kLineUp);
      break;
    case Qt::Key_Down:
      Scroll(Qt::Vertical, ScrollCode::kLineDown);
      break;
    case Qt::Key_PageUp:
      Scroll(Qt::Vertical, ScrollCode::kPageUp);
      break;
    case Qt::Key_PageDown:
      Scroll(Qt::Vertical, ScrollCode::kPageDown);
      break;
    case Qt::Key_Home:
      Scroll(Qt::Vertical, ScrollCode::kThumbPosition, 0);
      break;
    case Qt::Key_End:
      Scroll(Qt::Vertical, ScrollCode::kThumbPosition, vertical_maximum_);
      break;
    case Qt::Key_Left:
      Scroll(Qt::Horizontal, ScrollCode::kLineUp);
      break;
    case Qt::Key_Right:
      Scroll(Qt::Horizontal, ScrollCode::kLineDown);
      break;
    default:
      event->ignore();
      return;
  }
  event->accept();
}

void CUH_Control::wheelEvent(QWheelEvent* event) {
  // One notch is 120 eighths of a degree; finer wheels and touch pads send parts of it, which
  // add up until they make a whole line.
  constexpr int kNotch = 120;
  const int lines_per_notch = std::max(1, QApplication::wheelScrollLines());
  wheel_rest_ += event->angleDelta();
  const int down = -wheel_rest_.y() * lines_per_notch / kNotch;
  const int right = -wheel_rest_.x() * lines_per_notch / kNotch;
  wheel_rest_ -= QPoint(-right * kNotch / lines_per_notch, -down * kNotch / lines_per_notch);
  if (down != 0) {
    Scroll(Qt::Vertical, ScrollCode::kThumbPosition, vertical_position_ + down);
  }
  if (right != 0) {
    Scroll(Qt::Horizontal, ScrollCode::kThumbPosition, horizontal_position_ + right);
  }
  event->accept();
}

void CUH_Control::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(viewport());
  const QRect area = viewport()->rect();
  const QColor window_colour = palette().color(QPalette::Base);
  if (log_view_ == nullptr) {
    painter.fillRect(area, window_colour);
    return;
  }
  painter.setFont(font_);
  const int ascent = QFontMetrics(font_).ascent();
  const int x = kLeftMargin - horizontal_position_ * char_width_;
  const int rows_that_fit = area.height() / line_height_ + 2;

  // The rows to draw, newest first, copied under the store's lock; the line count is taken
  // from the same copy, so the rows and the count agree even while lines arrive.
  std::vector<PaintRow> rows;
  bool from_top = false;
  log_view_->LockedLines([&](const std::deque<logview::LogLine>& lines) {
    const int count = static_cast<int>(lines.size());
    if (count == 0) return;
    // Lines that arrived after the bars were set (their notice is still queued) do not move a
    // view scrolled up.
    const int top = TopLine(log_view_->DroppedCount());
    const int distance = top < 0 ? 0 : count - visible_lines_ - top;
    from_top = count - visible_lines_ <= 0;
    const int first = from_top ? 0 : std::clamp(distance, 0, count - 1);
    const int last = from_top ? count : std::min(count, first + rows_that_fit);
    rows.reserve(static_cast<size_t>(last - first));
    for (int i = first; i < last; ++i) rows.push_back(CopyRow(lines[static_cast<size_t>(i)]));
  });

  auto draw_row = [&](const PaintRow& row, int top) {
    const QRect cell(area.left(), top, area.width(), line_height_);
    painter.fillRect(cell, row.background_colour);
    painter.setClipRect(cell);
    painter.setPen(row.text_colour);
    painter.drawText(QPoint(x, top + ascent), row.text);
    painter.setClipping(false);
  };

  if (rows.empty()) {
    painter.fillRect(area, window_colour);
  } else if (from_top) {
    int top = area.top();
    for (auto row = rows.rbegin(); row != rows.rend(); ++row, top += line_height_) {
      draw_row(*row, top);
    }
    if (top <= area.bottom()) {
      painter.fillRect(QRect(area.left(), top, area.width(), area.bottom() - top + 1),
                       window_colour);
    }
  } else {
    int top = area.bottom() + 1 - line_height_;
    int highest_top = area.bottom() + 1;
    for (const PaintRow& row : rows) {
      draw_row(row, top);
      highest_top = top;
      if (top < area.top()) break;
      top -= line_height_;
    }
    if (highest_top > area.top()) {
      painter.fillRect(QRect(area.left(), area.top(), area.width(), highest_top - area.top()),
                       window_colour);
    }
  }
}

int Attach(logview::LogView& log_view, QWidget* parent, const QString& control_name) {
  if (parent == nullptr) return 1;
  auto* control = parent->findChild<CUH_Control*>(control_name);
  if (control == nullptr) return 1;
  control->Bind(&log_view);
  return 0;
}

}  // namespace kelvane::gui
