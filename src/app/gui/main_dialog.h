// app/gui/main_dialog.h -- MainDialog: the main window itself. The log view in its frame, the
// read-me button, About and Exit, and a status line below them that appears with the first
// status text. Enter and Escape do nothing; the close box does what Exit does (the dialog
// ends with result 0 and start-up stops the FTP service).
//
// Window's thread only. The main window's logic (app::MainWindow) reaches it through the Qt
// front end; the buttons call back through MainWindowCommands.
#pragma once

#include <QDialog>
#include <functional>

#include "app/front_end.h"

class QGroupBox;
class QLabel;
class QPushButton;

namespace kelvane::gui {

class CUH_Control;

class MainDialog : public QDialog {
  Q_OBJECT

 public:
  explicit MainDialog(QWidget* parent = nullptr);

  // The read-me button's text, or the button hidden for None.
  void SetReadMeMode(app::ReadMeMode mode);
  // Shows |text| in the status line (made visible, the window grown to hold it), replacing
  // the text before.
  void SetStatus(const QString& text);
  // Where the read-me button goes while the window runs; none before and after.
  void SetCommands(app::MainWindowCommands* commands) { commands_ = commands; }
  // Shows the about box; tests replace how a dialog is run.
  void SetDialogRunner(std::function<int(QDialog&)> runner) { run_dialog_ = std::move(runner); }

  CUH_Control* log_control() const { return log_control_; }
  QPushButton* read_me_button() const { return read_me_button_; }
  QPushButton* about_button() const { return about_button_; }
  QPushButton* exit_button() const { return exit_button_; }
  QLabel* status_label() const { return status_label_; }

  // Escape, and the close box's cancel: nothing happens.
  void reject() override;
  // Enter: nothing happens.
  void accept() override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void ShowAbout();

  app::MainWindowCommands* commands_ = nullptr;
  std::function<int(QDialog&)> run_dialog_;
  QGroupBox* frame_;
  CUH_Control* log_control_;
  QPushButton* read_me_button_;
  QPushButton* about_button_;
  QPushButton* exit_button_;
  QLabel* status_label_;
};

// The program's icon at 16, 32 and 64 pixels.
QIcon ProgramIcon();

}  // namespace kelvane::gui
