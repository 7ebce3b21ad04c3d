// app/gui/qt_front_end.cpp -- the front end's calls as windows and message boxes.
#include "app/gui/qt_front_end.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QLineEdit>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "app/gui/log_view_control.h"
#include "app/gui/gui_texts.h"
#include "app/gui/main_dialog.h"
#include "app/gui/password_dialog.h"
#include "app/gui/ports_dialog.h"
#include "app/gui/transfer_panel_view.h"
#include "platform/process.h"

namespace kelvane::gui {
namespace {

QString FromText(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The main window a termination signal closes while it runs, and whether it has run. Guarded
// by the mutex, since the signal thread outlives every front end.
std::mutex signal_mutex;
MainDialog* signal_target = nullptr;
bool window_has_run = false;

void WaitForSignals() {
  for (;;) {
    const int number = platform::WaitForTerminationSignal();
    if (number < 0) return;
    std::lock_guard<std::mutex> hold(signal_mutex);
    if (MainDialog* dialog = signal_target) {
      QMetaObject::invokeMethod(dialog, [dialog] { dialog->done(0); }, Qt::QueuedConnection);
    } else if (!window_has_run) {
      // Nothing runs yet (a prompt may be open): end as the signal would have.
      std::fflush(nullptr);
      std::_Exit(128 + number);
    }
  }
}

}  // namespace

QtFrontEnd::QtFrontEnd(const QString& application_name)
    : messages_(application_name),
      run_dialog_([](QDialog& dialog) { return dialog.exec(); }),
      open_([](const QUrl& url) { QDesktopServices::openUrl(url); }) {
  RegisterLogViewClass();
  QGuiApplication::setWindowIcon(ProgramIcon());
  main_dialog_ = std::make_unique<MainDialog>();
  main_dialog_->SetDialogRunner(run_dialog_);
}

QtFrontEnd::~QtFrontEnd() {
  std::lock_guard<std::mutex> hold(signal_mutex);
  if (signal_target == main_dialog_.get()) signal_target = nullptr;
}

void QtFrontEnd::TakeTerminationSignals() {
  if (platform::BlockTerminationSignals()) std::thread(WaitForSignals).detach();
}

void QtFrontEnd::SetDialogRunner(std::function<int(QDialog&)> runner) {
  run_dialog_ = std::move(runner);
  main_dialog_->SetDialogRunner(run_dialog_);
}

QWidget* QtFrontEnd::BoxParent() const {
  return main_dialog_->isVisible() ? main_dialog_.get() : nullptr;
}

void QtFrontEnd::ShowMessage(std::string_view text) {
  const QString message = FromText(text);
  if (QThread::currentThread() != thread()) {
    QMetaObject::invokeMethod(
        this, [this, message] { messages_.Show(BoxParent(), message); }, Qt::QueuedConnection);
    return;
  }
  messages_.Show(BoxParent(), message);
}

void QtFrontEnd::ShowStatus(std::string_view text) {
  const QString status = FromText(text);
  if (QThread::currentThread() != thread()) {
    QMetaObject::invokeMethod(
        this, [this, status] { main_dialog_->SetStatus(status); }, Qt::QueuedConnection);
    return;
  }
  main_dialog_->SetStatus(status);
}

void QtFrontEnd::ShowPackageCheck(std::string_view line) {
  const QString text = FromText(line);
  if (QThread::currentThread() != thread()) {
    QMetaObject::invokeMethod(
        this, [this, text] { main_dialog_->AddPackageCheck(text); }, Qt::QueuedConnection);
    return;
  }
  main_dialog_->AddPackageCheck(text);
}

void QtFrontEnd::SetLogLines(size_t lines) { main_dialog_->log_control()->SetCapacity(lines); }

void QtFrontEnd::AttachTransfers(ftp::TransferRecord& record) { transfers_ = &record; }

bool QtFrontEnd::AskYesNo(std::string_view text) {
  return messages_.Show(BoxParent(), FromText(text), QMessageBox::Yes | QMessageBox::No) ==
         QMessageBox::Yes;
}

bool QtFrontEnd::EditPorts(uint32_t* ftp_port, uint32_t* http_port) {
  PortsDialog dialog(messages_, BoxParent());
  dialog.SetPorts(*ftp_port, *http_port);
  if (run_dialog_(dialog) != QDialog::Accepted) return false;
  *ftp_port = dialog.ftp_port();
  *http_port = dialog.http_port();
  return true;
}

bool QtFrontEnd::AskPassword(int /*showing*/, std::string* typed) {
  if (!password_dialog_) {
    password_dialog_ = std::make_unique<PasswordDialog>();
    password_dialog_->field()->setText(QString::fromStdString(*typed));
  }
  password_dialog_->field()->setFocus();
  if (run_dialog_(*password_dialog_) != QDialog::Accepted) return false;
  *typed = password_dialog_->typed().toStdString();
  return true;
}

bool QtFrontEnd::PortsDialogRequested() {
  const Qt::KeyboardModifiers held = QGuiApplication::queryKeyboardModifiers();
  return held.testFlag(Qt::ControlModifier) && held.testFlag(Qt::ShiftModifier);
}

void QtFrontEnd::SetCaption(std::string_view text) { main_dialog_->setWindowTitle(FromText(text)); }

void QtFrontEnd::SetReadMeMode(app::ReadMeMode mode) { main_dialog_->SetReadMeMode(mode); }

void QtFrontEnd::OpenDocument(const std::string& address) {
  const QString text = QString::fromStdString(address);
  const QUrl url = text.startsWith(QLatin1String("http://")) ||
                           text.startsWith(QLatin1String("https://"))
                       ? QUrl(text)
                       : QUrl::fromLocalFile(text);
  open_(url);
}

void QtFrontEnd::AttachLog(logview::LogView& log_view) {
  if (Attach(log_view, main_dialog_.get(), QString::fromUtf8(texts::kLogControlName)) == 0) {
    main_dialog_->log_control()->SetFont(main_dialog_->font());
  }
}

void QtFrontEnd::DetachLog(logview::LogView& log_view) {
  CUH_Control* control = main_dialog_->log_control();
  if (control->log_view() == &log_view) control->Unbind();
}

void QtFrontEnd::Run(app::MainWindowCommands& window) {
  main_dialog_->SetCommands(&window);
  main_dialog_->transfer_panel()->SetRecord(transfers_);
  {
    std::lock_guard<std::mutex> hold(signal_mutex);
    signal_target = main_dialog_.get();
  }
  run_dialog_(*main_dialog_);
  {
    std::lock_guard<std::mutex> hold(signal_mutex);
    signal_target = nullptr;
    window_has_run = true;
  }
  main_dialog_->transfer_panel()->SetRecord(nullptr);
  main_dialog_->SetCommands(nullptr);
}

}  // namespace kelvane::gui
