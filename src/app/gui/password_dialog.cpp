// app/gui/password_dialog.cpp -- the password prompt's controls.
#include "app/gui/password_dialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/app_texts.h"
#include "app/gui/dialog_units.h"
#include "app/gui/gui_texts.h"

namespace kelvane::gui {

PasswordDialog::PasswordDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromUtf8(texts::kPasswordCaption));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  const DialogUnits units(font());

  auto* prompt = new QLabel(QString::fromUtf8(app::texts::kPasswordPrompt), this);
  prompt->setWordWrap(true);
  prompt->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  units.Place(prompt, 7, 7, 172, 19);
  field_ = new QLineEdit(this);
  field_->setEchoMode(QLineEdit::Password);
  units.Place(field_, 7, 30, 172, 12);
  ok_button_ = new QPushButton(QString::fromUtf8(texts::kOkButton), this);
  ok_button_->setDefault(true);
  units.Place(ok_button_, 72, 60, 50, 14);
  cancel_button_ = new QPushButton(QString::fromUtf8(texts::kCancelButton), this);
  cancel_button_->setAutoDefault(false);
  units.Place(cancel_button_, 129, 60, 50, 14);
  connect(ok_button_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel_button_, &QPushButton::clicked, this, &QDialog::reject);
  setFixedSize(units.Size(186, 81));
}

QString PasswordDialog::typed() const { return field_->text(); }

}  // namespace kelvane::gui
