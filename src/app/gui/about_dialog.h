// app/gui/about_dialog.h -- AboutDialog: the large icon, the product's name with its version,
// the maker's lines, the addresses devices can reach this PC at, and OK.
//
// Window's thread only.
#pragma once

#include <QDialog>
#include <QString>

class QLabel;

namespace kelvane::gui {

class AboutDialog : public QDialog {
  Q_OBJECT

 public:
  // |addresses| is the main window's address line; none leaves that line out.
  explicit AboutDialog(QWidget* parent = nullptr, const QString& addresses = QString());
  // The address line's label; null without one.
  QLabel* address_label() const { return address_label_; }

 private:
  QLabel* address_label_ = nullptr;
};

}  // namespace kelvane::gui
