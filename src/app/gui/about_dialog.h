// app/gui/about_dialog.h -- AboutDialog: the large icon, the product's name with its version,
// the maker's lines, and OK.
//
// Window's thread only.
#pragma once

#include <QDialog>

namespace kelvane::gui {

class AboutDialog : public QDialog {
  Q_OBJECT

 public:
  explicit AboutDialog(QWidget* parent = nullptr);
};

}  // namespace kelvane::gui
