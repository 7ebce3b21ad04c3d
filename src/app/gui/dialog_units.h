// app/gui/dialog_units.h -- lays controls out in dialog units: a quarter of the font's average
// character width across, an eighth of its height down. The windows keep their proportions
// with any font and on any screen density, since Qt's pixels are device-independent.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

namespace kelvane::gui {

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  int X(int units) const;
  int Y(int units) const;
  QSize Size(int width, int height) const { return QSize(X(width), Y(height)); }
  QRect Rect(int x, int y, int width, int height) const {
    return QRect(X(x), Y(y), X(width), Y(height));
  }
  // Places |widget| at the rectangle given in dialog units.
  void Place(QWidget* widget, int x, int y, int width, int height) const;

 private:
  double average_width_ = 1;
  int height_ = 1;
};

}  // namespace kelvane::gui
