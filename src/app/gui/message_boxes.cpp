// app/gui/message_boxes.cpp -- building and running a message box.
#include "app/gui/message_boxes.h"

namespace kelvane::gui {

MessageBoxes::MessageBoxes(QString application_name)
    : caption_(std::move(application_name)),
      runner_([](QMessageBox& box) { return static_cast<QMessageBox::StandardButton>(box.exec()); }) {}

QMessageBox::StandardButton MessageBoxes::Show(QWidget* parent, const QString& text,
                                               QMessageBox::StandardButtons buttons) {
  QMessageBox box(QMessageBox::Warning, caption_, text, buttons, parent);
  return runner_(box);
}

}  // namespace kelvane::gui
