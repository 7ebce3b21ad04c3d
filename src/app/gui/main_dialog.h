// app/gui/main_dialog.h -- MainDialog: the main window itself. From the top: the line naming
// the addresses devices can reach this PC at; then, in a splitter that moves the space between
// them, the log view in its frame, the package check's lines (hidden until the first one) and
// the transfer panel; then the read-me button, About and Exit, and a status line that appears
// with the first status text. Enter and Escape do nothing; the close box does what Exit
// does (the dialog ends with result 0 and start-up stops the FTP service). The window itself
// keeps a fixed size and grows only to make room for the package check or the status line.
//
// Window's thread only. The main window's logic (app::MainWindow) reaches it through the Qt
// front end; the buttons call back through MainWindowCommands. While commands are set, a timer
// on the window's thread looks at the interfaces every app::kAddressRefreshInterval.
#pragma once

#include <QDialog>
#include <QString>
#include <QTimer>
#include <functional>
#include <vector>

#include "app/front_end.h"
#include "platform/interfaces.h"

class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSplitter;

namespace kelvane::gui {

class CUH_Control;
class TransferPanelView;

class MainDialog : public QDialog {
  Q_OBJECT

 public:
  using InterfaceSource = std::function<std::vector<platform::InterfaceAddress>()>;

  explicit MainDialog(QWidget* parent = nullptr);

  // The read-me button's text, or the button hidden for None.
  void SetReadMeMode(app::ReadMeMode mode);
  // Shows |text| in the status line (made visible, the window grown to hold it), replacing
  // the text before.
  void SetStatus(const QString& text);
  // Adds |line| to the package check's lines (made visible with the first, the window grown to
  // hold them); every line is kept.
  void AddPackageCheck(const QString& line);
  // Where the buttons go and which FTP port the address line names while the window runs; none
  // before and after. Setting them shows the address line at once and starts its timer.
  void SetCommands(app::MainWindowCommands* commands);
  // Where the address line takes the interfaces from; platform::ListIpv4Interfaces unless a
  // test gives its own.
  void SetInterfaceSource(InterfaceSource source) { interfaces_ = std::move(source); }
  // Looks at the interfaces now and updates the address line when its text changed.
  void RefreshAddresses();
  // Shows the about box; tests replace how a dialog is run.
  void SetDialogRunner(std::function<int(QDialog&)> runner) { run_dialog_ = std::move(runner); }

  CUH_Control* log_control() const { return log_control_; }
  TransferPanelView* transfer_panel() const { return transfer_panel_; }
  QSplitter* splitter() const { return splitter_; }
  QLabel* address_label() const { return address_label_; }
  QPlainTextEdit* package_check() const { return package_check_; }
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
  // The window's height for what is shown, the extra lines included.
  void FitHeight();

  app::MainWindowCommands* commands_ = nullptr;
  std::function<int(QDialog&)> run_dialog_;
  InterfaceSource interfaces_;
  QTimer address_timer_;
  QLabel* address_label_;
  QSplitter* splitter_;
  QGroupBox* frame_;
  CUH_Control* log_control_;
  TransferPanelView* transfer_panel_;
  QPlainTextEdit* package_check_;
  QPushButton* read_me_button_;
  QPushButton* about_button_;
  QPushButton* exit_button_;
  QLabel* status_label_;
};

// The program's icon at 16, 32 and 64 pixels.
QIcon ProgramIcon();

}  // namespace kelvane::gui
