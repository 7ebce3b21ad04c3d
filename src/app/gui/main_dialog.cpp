// app/gui/main_dialog.cpp -- the main window's controls and its keys and close box.
#include "app/gui/main_dialog.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include "app/app_texts.h"
#include "app/gui/about_dialog.h"
#include "app/gui/dialog_units.h"
#include "app/gui/gui_texts.h"
#include "app/gui/log_view_control.h"

namespace kelvane::gui {
namespace {

// The window's size in dialog units, and the status line's place below the buttons: two lines
// of text, so that a long path wraps rather than vanishes.
constexpr int kWidth = 299;
constexpr int kHeight = 151;
constexpr int kStatusTop = 147;
constexpr int kStatusHeight = 16;
constexpr int kHeightWithStatus = kStatusTop + kStatusHeight + 4;

}  // namespace

QIcon ProgramIcon() {
  QIcon icon;
  for (const char* path : {texts::kSmallIcon, texts::kLargeIcon, texts::kHugeIcon}) {
    icon.addFile(QString::fromUtf8(path));
  }
  return icon;
}

MainDialog::MainDialog(QWidget* parent)
    : QDialog(parent), run_dialog_([](QDialog& dialog) { return dialog.exec(); }) {
  setWindowTitle(QString::fromUtf8(app::texts::kDefaultCaption));
  // Caption, system menu and minimise box; no maximise, no resizing.
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setWindowIcon(ProgramIcon());
  const DialogUnits units(font());

  frame_ = new QGroupBox(this);
  units.Place(frame_, 7, 7, 285, 117);
  log_control_ = new CUH_Control(this);
  log_control_->setObjectName(QString::fromUtf8(texts::kLogControlName));
  log_control_->setAccessibleName(QString::fromUtf8(texts::kLogControlText));
  units.Place(log_control_, 7, 11, 283, 111);

  read_me_button_ = new QPushButton(this);
  read_me_button_->setObjectName(QString::fromUtf8(texts::kReadMeButtonName));
  units.Place(read_me_button_, 7, 130, 106, 14);
  about_button_ = new QPushButton(QString::fromUtf8(texts::kAboutButton), this);
  units.Place(about_button_, 147, 130, 70, 14);
  exit_button_ = new QPushButton(QString::fromUtf8(texts::kExitButton), this);
  units.Place(exit_button_, 222, 130, 70, 14);
  for (QPushButton* button : {read_me_button_, about_button_, exit_button_}) {
    // No button is the dialog's default: Enter presses none of them.
    button->setAutoDefault(false);
    button->setDefault(false);
  }
  SetReadMeMode(app::ReadMeMode::None);

  status_label_ = new QLabel(this);
  status_label_->setObjectName(QString::fromUtf8(texts::kStatusLabelName));
  status_label_->setWordWrap(true);
  status_label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  units.Place(status_label_, 7, kStatusTop, 285, kStatusHeight);
  status_label_->hide();

  connect(read_me_button_, &QPushButton::clicked, this, [this] {
    if (commands_ != nullptr) commands_->ReadMe();
  });
  connect(about_button_, &QPushButton::clicked, this, &MainDialog::ShowAbout);
  connect(exit_button_, &QPushButton::clicked, this, [this] { done(0); });

  setFixedSize(units.Size(kWidth, kHeight));
  log_control_->setFocus();
}

void MainDialog::SetStatus(const QString& text) {
  status_label_->setText(text);
  status_label_->setToolTip(text);
  if (status_label_->isHidden()) {
    status_label_->show();
    setFixedSize(DialogUnits(font()).Size(kWidth, kHeightWithStatus));
  }
}

void MainDialog::SetReadMeMode(app::ReadMeMode mode) {
  switch (mode) {
    case app::ReadMeMode::Html:
      read_me_button_->setText(QString::fromUtf8(app::texts::kHtmlReadMeButton));
      read_me_button_->setVisible(true);
      break;
    case app::ReadMeMode::Pdf:
      read_me_button_->setText(QString::fromUtf8(app::texts::kPdfReadMeButton));
      read_me_button_->setVisible(true);
      break;
    case app::ReadMeMode::None:
      read_me_button_->setVisible(false);
      break;
  }
}

void MainDialog::ShowAbout() {
  AboutDialog about(this);
  about.setWindowIcon(windowIcon());
  run_dialog_(about);
}

void MainDialog::reject() {}

void MainDialog::accept() {}

void MainDialog::closeEvent(QCloseEvent* event) {
  done(0);
  event->accept();
}

void MainDialog::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
      event->accept();
      return;
    default:
      QDialog::keyPressEvent(event);
  }
}

}  // namespace kelvane::gui
