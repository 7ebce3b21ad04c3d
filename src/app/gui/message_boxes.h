// app/gui/message_boxes.h -- the one kind of message box the program shows: the application's
// name as caption, the warning icon, and OK or Yes and No.
//
// Window's thread only. Tests replace the runner to answer a box without showing it.
#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

namespace kelvane::gui {

class MessageBoxes {
 public:
  // Shows |box| and returns the button that closed it.
  using Runner = std::function<QMessageBox::StandardButton(QMessageBox& box)>;

  explicit MessageBoxes(QString application_name);

  // |text| in a box over |parent| (none: a top-level box) with |buttons|; the button pressed.
  QMessageBox::StandardButton Show(QWidget* parent, const QString& text,
                                   QMessageBox::StandardButtons buttons = QMessageBox::Ok);

  const QString& caption() const { return caption_; }
  void SetRunner(Runner runner) { runner_ = std::move(runner); }

 private:
  QString caption_;
  Runner runner_;
};

}  // namespace kelvane::gui
