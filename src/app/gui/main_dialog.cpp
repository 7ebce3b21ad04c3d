// app/gui/main_dialog.cpp -- the main window's controls and their layout, the address line, the
// package check's lines, and its keys and close box.
#include "app/gui/main_dialog.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QVBoxLayout>

#include "app/app_texts.h"
#include "app/device_addresses.h"
#include "app/gui/about_dialog.h"
#include "app/gui/dialog_units.h"
#include "app/gui/gui_texts.h"
#include "app/gui/log_view_control.h"
#include "app/gui/transfer_panel_view.h"
#include "app/transfer_panel.h"

namespace kelvane::gui {
namespace {

// The window's size in dialog units: wide enough for the panel's columns; high enough for the
// address line, the log's dozen lines, a few panel rows and the buttons. The package check's
// lines (three rows, scrolling) and the status line (two lines of text, so that a long path
// wraps rather than vanishes) add their height when they appear.
constexpr int kWidth = 440;
constexpr int kHeight = 270;
constexpr int kMargin = 7;
constexpr int kSpacing = 4;
constexpr int kAddressHeight = 10;
constexpr int kLogPaneHeight = 117;
constexpr int kPanelPaneHeight = 100;
constexpr int kButtonHeight = 14;
constexpr int kReadMeWidth = 106;
constexpr int kButtonWidth = 70;
constexpr int kCheckHeight = 30;
// The splitter's panes, from the top.
constexpr int kLogPane = 0;
constexpr int kCheckPane = 1;
constexpr int kPanelPane = 2;
constexpr int kStatusHeight = 16;

}  // namespace

QIcon ProgramIcon() {
  QIcon icon;
  for (const char* path : {texts::kSmallIcon, texts::kLargeIcon, texts::kHugeIcon}) {
    icon.addFile(QString::fromUtf8(path));
  }
  return icon;
}

MainDialog::MainDialog(QWidget* parent)
    : QDialog(parent),
      run_dialog_([](QDialog& dialog) { return dialog.exec(); }),
      interfaces_(platform::ListIpv4Interfaces) {
  setWindowTitle(QString::fromUtf8(app::texts::kDefaultCaption));
  // Caption, system menu and minimise box; no maximise, no resizing.
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setWindowIcon(ProgramIcon());
  const DialogUnits units(font());

  address_label_ = new QLabel(this);
  address_label_->setObjectName(QString::fromUtf8(texts::kAddressLabelName));
  address_label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  address_label_->setFixedHeight(units.Y(kAddressHeight));
  address_label_->hide();

  splitter_ = new QSplitter(Qt::Vertical, this);
  splitter_->setChildrenCollapsible(false);
  frame_ = new QGroupBox(splitter_);
  log_control_ = new CUH_Control(frame_);
  log_control_->setObjectName(QString::fromUtf8(texts::kLogControlName));
  log_control_->setAccessibleName(QString::fromUtf8(texts::kLogControlText));
  auto* frame_layout = new QVBoxLayout(frame_);
  frame_layout->setContentsMargins(1, units.Y(kSpacing), 1, 1);
  frame_layout->addWidget(log_control_);
  package_check_ = new QPlainTextEdit(splitter_);
  package_check_->setObjectName(QString::fromUtf8(texts::kPackageCheckName));
  package_check_->setReadOnly(true);
  package_check_->setLineWrapMode(QPlainTextEdit::NoWrap);
  package_check_->setMinimumHeight(units.Y(kCheckHeight) / 2);
  package_check_->setFocusPolicy(Qt::ClickFocus);
  package_check_->hide();
  transfer_panel_ = new TransferPanelView(splitter_);
  transfer_panel_->setObjectName(QString::fromUtf8(texts::kTransferPanelName));
  splitter_->addWidget(frame_);
  splitter_->addWidget(package_check_);
  splitter_->addWidget(transfer_panel_);
  splitter_->setStretchFactor(kLogPane, 1);
  splitter_->setStretchFactor(kCheckPane, 0);
  splitter_->setStretchFactor(kPanelPane, 1);
  splitter_->setSizes({units.Y(kLogPaneHeight), 0, units.Y(kPanelPaneHeight)});

  read_me_button_ = new QPushButton(this);
  read_me_button_->setObjectName(QString::fromUtf8(texts::kReadMeButtonName));
  read_me_button_->setFixedSize(units.Size(kReadMeWidth, kButtonHeight));
  about_button_ = new QPushButton(QString::fromUtf8(texts::kAboutButton), this);
  about_button_->setFixedSize(units.Size(kButtonWidth, kButtonHeight));
  exit_button_ = new QPushButton(QString::fromUtf8(texts::kExitButton), this);
  exit_button_->setFixedSize(units.Size(kButtonWidth, kButtonHeight));
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
  status_label_->setFixedHeight(units.Y(kStatusHeight));
  status_label_->hide();

  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(units.X(kSpacing));
  buttons->addWidget(read_me_button_);
  buttons->addStretch(1);
  buttons->addWidget(about_button_);
  buttons->addWidget(exit_button_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(units.X(kMargin), units.Y(kMargin), units.X(kMargin),
                             units.Y(kMargin));
  layout->setSpacing(units.Y(kSpacing));
  layout->addWidget(address_label_);
  layout->addWidget(splitter_, 1);
  layout->addLayout(buttons);
  layout->addWidget(status_label_);

  connect(read_me_button_, &QPushButton::clicked, this, [this] {
    if (commands_ != nullptr) commands_->ReadMe();
  });
  connect(about_button_, &QPushButton::clicked, this, &MainDialog::ShowAbout);
  connect(exit_button_, &QPushButton::clicked, this, [this] { done(0); });
  address_timer_.setInterval(static_cast<int>(app::kAddressRefreshInterval.count()));
  connect(&address_timer_, &QTimer::timeout, this, &MainDialog::RefreshAddresses);

  FitHeight();
  log_control_->setFocus();
}

void MainDialog::FitHeight() {
  const DialogUnits units(font());
  // The address line is counted from the start, so that showing it moves nothing.
  int height = units.Y(kHeight);
  if (!package_check_->isHidden()) height += units.Y(kCheckHeight) + splitter_->handleWidth();
  if (!status_label_->isHidden()) height += units.Y(kStatusHeight) + units.Y(kSpacing);
  if (address_label_->isHidden()) height -= units.Y(kAddressHeight) + units.Y(kSpacing);
  setFixedSize(units.X(kWidth), height);
  // Places the controls now, so that they have their places (and the log its lines that fit)
  // before the window is first shown: a hidden widget lays out its children only when told.
  layout()->activate();
  splitter_->refresh();
  frame_->layout()->activate();
}

void MainDialog::SetStatus(const QString& text) {
  status_label_->setText(text);
  status_label_->setToolTip(text);
  if (status_label_->isHidden()) {
    status_label_->show();
    FitHeight();
  }
}

void MainDialog::AddPackageCheck(const QString& line) {
  package_check_->appendPlainText(line);
  if (package_check_->isHidden()) {
    // The window grows by the area's height, which goes to the area alone: the log and the
    // panel keep theirs.
    QList<int> sizes = splitter_->sizes();
    package_check_->show();
    FitHeight();
    sizes[kCheckPane] = DialogUnits(font()).Y(kCheckHeight);
    splitter_->setSizes(sizes);
    splitter_->refresh();
    frame_->layout()->activate();
  }
}

void MainDialog::SetCommands(app::MainWindowCommands* commands) {
  commands_ = commands;
  if (commands_ == nullptr) {
    address_timer_.stop();
    return;
  }
  RefreshAddresses();
  address_timer_.start();
}

void MainDialog::RefreshAddresses() {
  if (commands_ == nullptr) return;
  const QString text = QString::fromStdString(app::DeviceAddressText(
      app::AddressesToShow(interfaces_ ? interfaces_() : std::vector<platform::InterfaceAddress>()),
      commands_->ftp_port()));
  if (address_label_->text() != text) {
    address_label_->setText(text);
    address_label_->setToolTip(text);
  }
  if (address_label_->isHidden()) {
    address_label_->show();
    FitHeight();
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
  RefreshAddresses();
  AboutDialog about(this, commands_ != nullptr ? address_label_->text() : QString());
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
