// app/gui/password_dialog.h -- PasswordDialog: the package password prompt. One dialog serves
// every showing, so the text typed at one showing is still in the (masked) field at the next.
//
// Window's thread only.
#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace kelvane::gui {

class PasswordDialog : public QDialog {
  Q_OBJECT

 public:
  explicit PasswordDialog(QWidget* parent = nullptr);

  QString typed() const;
  QLineEdit* field() const { return field_; }
  QPushButton* ok_button() const { return ok_button_; }
  QPushButton* cancel_button() const { return cancel_button_; }

 private:
  QLineEdit* field_;
  QPushButton* ok_button_;
  QPushButton* cancel_button_;
};

}  // namespace kelvane::gui
