// app/gui/windows_test.cpp -- the Qt front end's windows: the ports dialog's checks, the
// password prompt over three showings, the read-me button by package content, the main window
// started over a fixture package with a real FTP service on 127.0.0.1, and its status line.
// Dialogs and message boxes are answered by scripted runners; runs on the offscreen platform.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/app_texts.h"
#include "app/gui/log_view_control.h"
#include "app/gui/main_dialog.h"
#include "app/gui/message_boxes.h"
#include "app/gui/password_dialog.h"
#include "app/gui/ports_dialog.h"
#include "app/gui/qt_front_end.h"
#include "app/main_window.h"
#include "app/password.h"
#include "app_fakes.h"
#include "gui/gui_test_case.h"

using kelvane::app::MainWindow;
using kelvane::app::ReadMeMode;
using kelvane::app::test::FreePort;
using kelvane::app::test::MapSettings;
using kelvane::app::test::WritePackage;
using kelvane::gui::MessageBoxes;
using kelvane::gui::QtFrontEnd;

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

// The process-wide objects over a package of |files|, with the Qt front end; every message box
// is recorded and answered with |answer|.
struct Objects {
  explicit Objects(const Files& files) : package(WritePackage(dir, files)) {
    reader_opened = reader.Open(package);
    settings.Set("FTPPort", std::to_string(FreePort()));
    settings.Set("HTTPPort", std::to_string(FreePort()));
    front_end.message_boxes().SetRunner([this](QMessageBox& box) {
      messages.push_back(box.text().toStdString());
      captions.push_back(box.windowTitle());
      warning_icons = warning_icons && box.icon() == QMessageBox::Warning;
      return QMessageBox::Ok;
    });
    front_end.SetDocumentOpener([this](const QUrl& url) { opened.push_back(url); });
  }
  ~Objects() {
    if (window) {
      window->Exit();
      window->StopHttpService();
      daemon.StopAndWait();
      daemon.SetLogSink(nullptr);
      window.reset();
    }
  }
  MainWindow& Window() {
    if (!window) {
      window = std::make_unique<MainWindow>(reader, daemon, log_view, settings, front_end);
    }
    return *window;
  }

  kelvane::test::TempDir dir;
  std::string package;
  bool reader_opened = false;
  kelvane::archive::FileArchiveReader reader;
  kelvane::ftp::FtpDaemon daemon{reader};
  kelvane::logview::LogView log_view;
  MapSettings settings;
  QtFrontEnd front_end{QStringLiteral("kelvane-test")};
  std::unique_ptr<MainWindow> window;

  std::vector<std::string> messages;
  std::vector<QString> captions;
  bool warning_icons = true;
  std::vector<QUrl> opened;
};

}  // namespace

class WindowsTest : public QObject {
  Q_OBJECT

 private slots:
  void PortsDialogChecksEachFieldOnOk() {
    const std::string positive = kelvane::app::texts::kNotPositiveInteger;
    const std::string range = "Please enter an integer between 1 and 65535.";
    const struct {
      const char* ftp;
      const char* http;
      std::string message;  // empty: accepted
      int focused;          // 0 FTP, 1 HTTP field
      uint32_t ftp_port, http_port;
    } cases[] = {
        {"2121", "8080", "", 0, 2121, 8080},
        {" \t21 ", "\t80", "", 0, 21, 80},
        {"65535", "1", "", 0, 65535, 1},
        {"", "80", positive, 0, 0, 0},
        {"-21", "80", positive, 0, 0, 0},
        {"+21", "80", positive, 0, 0, 0},
        {"2 1", "80", positive, 0, 0, 0},
        {"0", "80", range, 0, 0, 0},
        {"65536", "80", range, 0, 0, 0},
        {"21", "x", positive, 1, 0, 0},
        {"21", "70000", range, 1, 0, 0},
        {"abc", "0", positive, 0, 0, 0},  // the FTP field is checked first
    };
    for (const auto& c : cases) {
      std::vector<std::string> shown;
      MessageBoxes boxes(QStringLiteral("app"));
      boxes.SetRunner([&shown](QMessageBox& box) {
        shown.push_back(box.text().toStdString());
        return QMessageBox::Ok;
      });
      kelvane::gui::PortsDialog dialog(boxes);
      dialog.SetPorts(7, 8);
      dialog.show();
      dialog.ftp_field()->setText(QString::fromUtf8(c.ftp));
      dialog.http_field()->setText(QString::fromUtf8(c.http));
      QTest::mouseClick(dialog.ok_button(), Qt::LeftButton);
      const QByteArray where = QByteArray(c.ftp) + " / " + c.http;
      if (c.message.empty()) {
        QVERIFY2(shown.empty(), where.constData());
        QVERIFY2(dialog.result() == QDialog::Accepted, where.constData());
        QVERIFY2(dialog.ftp_port() == c.ftp_port && dialog.http_port() == c.http_port,
                 where.constData());
      } else {
        QVERIFY2(shown == std::vector<std::string>{c.message}, where.constData());
        QVERIFY2(dialog.isVisible(), where.constData());
        QVERIFY2(dialog.ftp_port() == 7 && dialog.http_port() == 8, where.constData());
        QLineEdit* focused = c.focused == 0 ? dialog.ftp_field() : dialog.http_field();
        QVERIFY2(dialog.focusWidget() == focused, where.constData());
      }
    }
  }

  void PortsDialogThroughTheFrontEnd() {
    QtFrontEnd front_end(QStringLiteral("app"));
    QString caption;
    bool on_top = false;
    front_end.SetDialogRunner([&](QDialog& dialog) {
      auto& ports = dynamic_cast<kelvane::gui::PortsDialog&>(dialog);
      caption = ports.windowTitle();
      on_top = ports.windowFlags().testFlag(Qt::WindowStaysOnTopHint);
      if (ports.ftp_field()->text() != "2121" || ports.http_field()->text() != "8080") {
        return int(QDialog::Rejected);
      }
      ports.ftp_field()->setText("21");
      ports.http_field()->setText("81");
      ports.accept();
      return ports.result();
    });
    uint32_t ftp = 2121;
    uint32_t http = 8080;
    QVERIFY(front_end.EditPorts(&ftp, &http));
    QCOMPARE(ftp, 21u);
    QCOMPARE(http, 81u);
    QCOMPARE(caption, QStringLiteral("TCP/IP Ports"));
    QVERIFY(on_top);

    front_end.SetDialogRunner([](QDialog&) { return int(QDialog::Rejected); });
    QVERIFY(!front_end.EditPorts(&ftp, &http));
    QCOMPARE(ftp, 21u);
    QCOMPARE(http, 81u);
  }

  void PasswordPromptShowsAtMostThreeTimes() {
    const struct {
      const char* name;
      std::vector<std::optional<std::string>> typed;  // nullopt: Cancel
      bool accepted;
      int invalid_messages;
    } cases[] = {
        {"right at once, any case", {"sEcReT"}, true, 0},
        {"right at the third", {"one", "two", "secret"}, true, 2},
        {"three wrong", {"one", "two", "three"}, false, 3},
        {"cancel at the second", {"one", std::nullopt}, false, 1},
        {"line end never matches", {"secret\r\n"}, false, 1},
    };
    for (const auto& c : cases) {
      Objects o(Files{{"password.txt", "Secret"}});
      QVERIFY(o.reader_opened);
      std::vector<QString> field_at_showing;
      std::vector<bool> masked;
      size_t showing = 0;
      o.front_end.SetDialogRunner([&](QDialog& dialog) {
        auto& prompt = dynamic_cast<kelvane::gui::PasswordDialog&>(dialog);
        field_at_showing.push_back(prompt.field()->text());
        masked.push_back(prompt.field()->echoMode() == QLineEdit::Password);
        if (showing >= c.typed.size() || !c.typed[showing]) {
          ++showing;
          return int(QDialog::Rejected);
        }
        prompt.field()->setText(QString::fromStdString(*c.typed[showing++]));
        return int(QDialog::Accepted);
      });
      const kelvane::archive::ArchiveCursor root(o.reader.directory());
      const bool accepted = kelvane::app::CheckPackagePassword(o.reader, root, o.front_end);
      QVERIFY2(accepted == c.accepted, c.name);
      QVERIFY2(o.messages.size() == size_t(c.invalid_messages), c.name);
      for (const std::string& m : o.messages) QCOMPARE(m, std::string("Invalid password!"));
      QVERIFY2(showing <= 3, c.name);
      // The field keeps the previous showing's text.
      QVERIFY2(field_at_showing.front().isEmpty(), c.name);
      for (size_t i = 1; i < field_at_showing.size(); ++i) {
        QVERIFY2(field_at_showing[i] == QString::fromStdString(*c.typed[i - 1]), c.name);
      }
      for (bool m : masked) QVERIFY2(m, c.name);
    }
  }

  void PasswordDialogHasItsControls() {
    kelvane::gui::PasswordDialog dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Enter Password"));
    QCOMPARE(dialog.ok_button()->text(), QStringLiteral("OK"));
    QCOMPARE(dialog.cancel_button()->text(), QStringLiteral("Cancel"));
    QVERIFY(dialog.ok_button()->isDefault());
  }

  void ReadMeButtonFollowsThePackage() {
    const struct {
      const char* name;
      Files files;
      ReadMeMode mode;
      const char* text;  // nullptr: hidden
    } cases[] = {
        {"pages", {{"www\\index.htm", "<p>hi</p>"}, {"pdf\\index.pdf", "%PDF"}}, ReadMeMode::Html,
         "ReadMe (html)..."},
        {"pdf only", {{"pdf\\index.pdf", "%PDF-1.4"}}, ReadMeMode::Pdf, "ReadMe (pdf)..."},
        {"neither", {{"readme.txt", "x"}}, ReadMeMode::None, nullptr},
    };
    for (const auto& c : cases) {
      Objects o(c.files);
      QVERIFY(o.reader_opened);
      kelvane::test::TempDir temp;
      o.Window().SetTemporaryFolder([&temp] { return std::optional<std::string>(temp.path() + "/"); });
      QVERIFY2(o.Window().Initialise() == MainWindow::InitResult::kRunning, c.name);
      QPushButton* button = o.front_end.main_dialog().read_me_button();
      if (c.text == nullptr) {
        QVERIFY2(button->isHidden(), c.name);
        continue;
      }
      QVERIFY2(!button->isHidden(), c.name);
      QCOMPARE(button->text(), QString::fromUtf8(c.text));
      // Pressing it while the window runs opens the address or the extracted file.
      o.front_end.SetDialogRunner([&](QDialog& dialog) {
        if (c.mode == ReadMeMode::Html) o.Window().WaitHttpListening(std::chrono::seconds(10));
        QTest::mouseClick(o.front_end.main_dialog().read_me_button(), Qt::LeftButton);
        dialog.done(0);
        return 0;
      });
      o.front_end.Run(o.Window());
      QVERIFY2(o.opened.size() == 1, c.name);
      if (c.mode == ReadMeMode::Html) {
        QCOMPARE(o.opened[0].toString(),
                 QStringLiteral("http://localhost:%1/www/index.htm").arg(o.Window().http_port()));
      } else {
        QCOMPARE(o.opened[0], QUrl::fromLocalFile(QString::fromStdString(temp.path() + "/readme.pdf")));
        QCOMPARE(kelvane::test::ReadWholeFile(temp.path() + "/readme.pdf").value_or(""),
                 std::string("%PDF-1.4"));
      }
    }
  }

  void MainWindowOverAFixturePackage() {
    Objects o(Files{{"version.txt", "3.34\r\n"}, {"pub\\file.bin", "data"}});
    QVERIFY(o.reader_opened);
    const uint16_t ftp_port = FreePort();
    o.settings.Set("FTPPort", std::to_string(ftp_port));
    QVERIFY(o.Window().Initialise() == MainWindow::InitResult::kRunning);
    kelvane::gui::MainDialog& dialog = o.front_end.main_dialog();

    QCOMPARE(dialog.windowTitle(), QStringLiteral("3.34\r\n"));
    QCOMPARE(dialog.about_button()->text(), QStringLiteral("&About..."));
    QCOMPARE(dialog.exit_button()->text(), QStringLiteral("E&xit"));
    QVERIFY(dialog.read_me_button()->isHidden());
    QVERIFY(!dialog.windowIcon().isNull());
    QCOMPARE(dialog.log_control()->log_view(), &o.log_view);
    // The frame fits about a dozen lines of the window's font, before the window is shown.
    QVERIFY(dialog.log_control()->capacity() >= 8);
    const std::vector<std::string> status = {
        "FTP server ready on port " + std::to_string(ftp_port) + ".",
        "Copyright (C) 2026 Varnek Systems", "Kelvane v3.01"};
    QCOMPARE(o.log_view.LineTexts(), status);  // newest first
    QVERIFY(o.messages.empty());

    bool stayed_open = false;
    bool about_shown = false;
    o.front_end.SetDialogRunner([&](QDialog& shown) {
      if (&shown != &dialog) {  // the about box
        about_shown = shown.windowTitle() == QStringLiteral("About FTP Server");
        return 0;
      }
      dialog.show();
      QTest::keyClick(&dialog, Qt::Key_Escape);
      QTest::keyClick(&dialog, Qt::Key_Return);
      QTest::keyClick(dialog.log_control(), Qt::Key_Enter);
      stayed_open = dialog.isVisible();
      QTest::mouseClick(dialog.about_button(), Qt::LeftButton);
      dialog.close();  // the close box: the same as Exit
      return dialog.isVisible() ? -1 : dialog.result();
    });
    o.front_end.Run(o.Window());
    QVERIFY(stayed_open);
    QVERIFY(about_shown);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), 0);
  }

  // The LogLines setting reaches the window before the log is attached: the window keeps that
  // many lines, or the lines that fit when those are more.
  void LogLinesSettingIsTheWindowsCapacity() {
    const struct {
      const char* setting;  // nullptr: not set
      int lines_added;
      bool fitting;         // the lines that fit win
      size_t kept;          // when they do not
    } cases[] = {
        {nullptr, 6000, false, 5000},
        {"300", 400, false, 300},
        {"0", 40, true, 0},
        {"2", 40, true, 0},
    };
    for (const auto& c : cases) {
      const kelvane::gui::test::CaseName named(c.setting != nullptr ? c.setting : "default");
      Objects o(Files{{"version.txt", "1"}});
      QVERIFY(o.reader_opened);
      if (c.setting != nullptr) o.settings.Set("LogLines", c.setting);
      QVERIFY(o.Window().Initialise() == MainWindow::InitResult::kRunning);
      kelvane::gui::CUH_Control* control = o.front_end.main_dialog().log_control();
      const size_t fitting = static_cast<size_t>(control->visible_lines());
      QVERIFY(fitting >= 8);
      const size_t expected = c.fitting ? fitting : c.kept;
      QCOMPARE(control->capacity(), expected);
      for (int i = 0; i < c.lines_added; ++i) o.log_view.AddLine("line", true);
      QCOMPARE(o.log_view.LineCount(), expected);
    }
  }

  void LogFileThatDoesNotOpenShowsAStatusLineNotABox() {
    Objects o(Files{{"version.txt", "1"}});
    QVERIFY(o.reader_opened);
    const std::string folder = o.dir.File("app-1.2.missing");
    o.settings.Set("LogFile", folder + "/ftp.log");
    kelvane::gui::MainDialog& dialog = o.front_end.main_dialog();
    QVERIFY(dialog.status_label()->isHidden());
    const int height = dialog.height();

    QVERIFY(o.Window().Initialise() == MainWindow::InitResult::kRunning);
    for (int i = 0; i < 3; ++i) o.log_view.AddLine("more", true);
    QVERIFY(o.messages.empty());
    QVERIFY(!dialog.status_label()->isHidden());
    const QString status = dialog.status_label()->text();
    QVERIFY2(status.startsWith(QString::fromStdString("Unable to open log file " + folder + "/ftp")),
             qPrintable(status));
    QVERIFY(status.contains(QStringLiteral("No such file or directory")));
    // The line sits below the buttons, inside the grown window.
    QVERIFY(dialog.height() > height);
    QVERIFY(dialog.status_label()->geometry().top() >= dialog.exit_button()->geometry().bottom());
    QVERIFY(dialog.status_label()->geometry().bottom() <= dialog.height());

    // From another thread the text arrives later, on the window's thread.
    std::thread other([&o] { o.front_end.ShowStatus("later status"); });
    other.join();
    QCOMPARE(dialog.status_label()->text(), status);
    QCoreApplication::sendPostedEvents();
    QCOMPARE(dialog.status_label()->text(), QStringLiteral("later status"));
    QVERIFY(o.messages.empty());
  }

  void MessageBoxesCarryTheApplicationNameAndTheWarningIcon() {
    Objects o(Files{});
    o.front_end.ShowMessage("Unable to open archive!");
    QVERIFY(!o.front_end.AskYesNo("Question?"));
    QCOMPARE(o.messages, (std::vector<std::string>{"Unable to open archive!", "Question?"}));
    for (const QString& caption : o.captions) QCOMPARE(caption, QStringLiteral("kelvane-test"));
    QVERIFY(o.warning_icons);

    // From another thread the box is shown later, on the window's thread.
    std::thread other([&o] { o.front_end.ShowMessage("Unable to run HTTP server on port 81!"); });
    other.join();
    QCOMPARE(o.messages.size(), size_t{2});
    QCoreApplication::sendPostedEvents();
    QCOMPARE(o.messages.back(), std::string("Unable to run HTTP server on port 81!"));
  }
};

QTEST_MAIN(WindowsTest)
#include "windows_test.moc"
