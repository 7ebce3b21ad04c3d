// app/gui/ports_dialog.cpp -- the ports dialog's controls and its checks.
#include "app/gui/ports_dialog.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/app_texts.h"
#include "app/gui/dialog_units.h"
#include "app/gui/gui_texts.h"
#include "app/gui/message_boxes.h"
#include "app/startup_rules.h"

namespace kelvane::gui {
namespace {

QLabel* RightLabel(const char* text, QWidget* parent) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  return label;
}

}  // namespace

PortsDialog::PortsDialog(MessageBoxes& messages, QWidget* parent)
    : QDialog(parent), messages_(messages) {
  setWindowTitle(QString::fromUtf8(texts::kPortsCaption));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
  const DialogUnits units(font());

  auto* group = new QGroupBox(this);
  units.Place(group, 5, 5, 125, 50);
  units.Place(RightLabel(app::texts::kFtpPortLabel, this), 10, 20, 65, 12);
  ftp_field_ = new QLineEdit(this);
  units.Place(ftp_field_, 80, 20, 40, 12);
  units.Place(RightLabel(app::texts::kHttpPortLabel, this), 10, 36, 65, 12);
  http_field_ = new QLineEdit(this);
  units.Place(http_field_, 80, 36, 40, 12);
  ok_button_ = new QPushButton(QString::fromUtf8(texts::kOkButton), this);
  ok_button_->setDefault(true);
  units.Place(ok_button_, 80, 60, 50, 14);
  connect(ok_button_, &QPushButton::clicked, this, &PortsDialog::accept);
  setFixedSize(units.Size(137, 79));
  SetPorts(ftp_port_, http_port_);
}

void PortsDialog::SetPorts(uint32_t ftp_port, uint32_t http_port) {
  ftp_port_ = ftp_port;
  http_port_ = http_port;
  ftp_field_->setText(QString::number(ftp_port));
  http_field_->setText(QString::number(http_port));
}

void PortsDialog::accept() {
  uint32_t checked[2] = {0, 0};
  QLineEdit* fields[2] = {ftp_field_, http_field_};
  for (int i = 0; i < 2; ++i) {
    const std::string message = app::CheckPortField(fields[i]->text().toStdString(), &checked[i]);
    if (!message.empty()) {
      messages_.Show(this, QString::fromStdString(message));
      fields[i]->setFocus();
      fields[i]->selectAll();
      return;
    }
  }
  ftp_port_ = checked[0];
  http_port_ = checked[1];
  QDialog::accept();
}

}  // namespace kelvane::gui
