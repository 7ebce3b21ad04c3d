// app/gui/about_dialog.cpp -- the about box's controls.
#include "app/gui/about_dialog.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include "app/app_texts.h"
#include "app/gui/dialog_units.h"
#include "app/gui/gui_texts.h"

namespace kelvane::gui {

AboutDialog::AboutDialog(QWidget* parent, const QString& addresses) : QDialog(parent) {
  setWindowTitle(QString::fromUtf8(texts::kAboutCaption));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  const DialogUnits units(font());

  auto* icon = new QLabel(this);
  units.Place(icon, 7, 7, 24, 24);
  const int side = std::min(icon->width(), icon->height());
  icon->setPixmap(QIcon(QString::fromUtf8(texts::kHugeIcon)).pixmap(side, side));

  const char* lines[] = {app::texts::kProductLine, app::texts::kCopyrightLine,
                         texts::kAboutCredit, texts::kAboutCredit2};
  int y = 10;
  for (const char* line : lines) {
    units.Place(new QLabel(QString::fromUtf8(line), this), 40, y, 190, 10);
    y += 13;
  }
  int height = 71;
  if (!addresses.isEmpty()) {
    // Two rows, so that several addresses wrap rather than vanish.
    address_label_ = new QLabel(addresses, this);
    address_label_->setWordWrap(true);
    address_label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    units.Place(address_label_, 40, y + 2, 245, 20);
    height = y + 2 + 20 + 6;
  }
  auto* ok = new QPushButton(QString::fromUtf8(texts::kOkButton), this);
  ok->setDefault(true);
  units.Place(ok, 235, 6, 50, 14);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  setFixedSize(units.Size(292, height));
}

}  // namespace kelvane::gui
