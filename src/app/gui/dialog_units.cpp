// app/gui/dialog_units.cpp -- the font's measures behind dialog units.
#include "app/gui/dialog_units.h"

#include <QFontMetricsF>
#include <QWidget>
#include <cmath>

namespace kelvane::gui {

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetricsF metrics(font);
  // The average width of the 52 letters, as dialog templates measure their font.
  const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  average_width_ = metrics.horizontalAdvance(letters) / letters.size();
  if (average_width_ <= 0) average_width_ = 1;
  height_ = static_cast<int>(std::ceil(metrics.height()));
  if (height_ <= 0) height_ = 1;
}

int DialogUnits::X(int units) const {
  return static_cast<int>(std::lround(units * average_width_ / 4.0));
}

int DialogUnits::Y(int units) const { return (units * height_ + 4) / 8; }

void DialogUnits::Place(QWidget* widget, int x, int y, int width, int height) const {
  widget->setGeometry(Rect(x, y, width, height));
}

}  // namespace kelvane::gui
