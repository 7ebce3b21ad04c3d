// app/gui/transfer_panel_test.cpp -- the main window's transfer panel over a real transfer
// record driven by observer calls (rows in place by id, progress bars, failed rows, totals, the
// window's polling while it runs), the address line from a fake interface list and in the about
// box, and the package check's lines from another thread. Runs on the offscreen platform.
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSplitter>
#include <QTableView>
#include <QtTest>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/gui/about_dialog.h"
#include "app/gui/log_view_control.h"
#include "app/gui/main_dialog.h"
#include "app/gui/qt_front_end.h"
#include "app/gui/transfer_panel_view.h"
#include "app/gui/transfer_table_model.h"
#include "ftp/transfer_record.h"
#include "gui/gui_test_case.h"

using kelvane::ftp::TransferEnd;
using kelvane::ftp::TransferInfo;
using kelvane::ftp::TransferRecord;
using kelvane::ftp::TransferResult;
using kelvane::gui::QtFrontEnd;
using kelvane::gui::TransferPanelView;
using kelvane::gui::TransferTableModel;
using kelvane::gui::test::CaseName;
using kelvane::platform::InterfaceAddress;

namespace {

using std::chrono::milliseconds;

// A record on a steady clock the test moves.
struct Record {
  Record()
      : record(TransferRecord::kDefaultFinishedRows,
               TransferRecord::Clocks{[] { return std::chrono::system_clock::time_point{}; },
                                      [this] { return now; }}) {}
  TransferInfo Info(uint64_t id, uint32_t size) const {
    return TransferInfo{id, "10.0.0." + std::to_string(id), "device", "\\fw\\part" + std::to_string(id) + ".bin",
                        size};
  }
  void Start(uint64_t id, uint32_t size) { record.OnTransferStart(Info(id, size)); }
  void Progress(uint64_t id, uint32_t size, uint32_t sent) {
    record.OnTransferProgress(Info(id, size), sent);
  }
  void End(uint64_t id, uint32_t size, uint32_t sent, TransferResult result) {
    record.OnTransferEnd(Info(id, size), TransferEnd{sent, milliseconds(1000), result});
  }

  std::chrono::steady_clock::time_point now{};
  TransferRecord record;
};

// The main window's commands, for the address line and Run.
class Commands : public kelvane::app::MainWindowCommands {
 public:
  void ReadMe() override {}
  kelvane::app::ReadMeMode read_me_mode() const override { return kelvane::app::ReadMeMode::None; }
  uint16_t WaitHttpListening(std::chrono::milliseconds) override { return 0; }
  uint16_t ftp_port() const override { return 2121; }
};

// Interfaces a test changes while the window looks at them.
struct Interfaces {
  std::vector<InterfaceAddress> Get() {
    std::lock_guard<std::mutex> hold(mutex);
    return list;
  }
  void Set(std::vector<InterfaceAddress> interfaces) {
    std::lock_guard<std::mutex> hold(mutex);
    list = std::move(interfaces);
  }
  std::mutex mutex;
  std::vector<InterfaceAddress> list;
};

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}

QString Cell(const TransferTableModel& model, int row, kelvane::app::PanelColumn column) {
  return model.index(row, static_cast<int>(column)).data().toString();
}

}  // namespace

class TransferPanelTest : public QObject {
  Q_OBJECT

 private slots:
  // Observer calls, in steps; after each the panel shows the rows in their order with their
  // progress and results, updated in place: the model is never reset, and the selected
  // transfer stays selected as it moves from the running rows to the finished ones.
  void RowsFollowTheRecordInPlace() {
    using kelvane::app::PanelColumn;
    Record r;
    TransferPanelView panel;
    panel.resize(700, 300);
    panel.show();
    panel.SetRecord(&r.record);
    TransferTableModel& model = *panel.model();
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QSignalSpy layouts(&model, &QAbstractItemModel::layoutChanged);

    struct Row {
      uint64_t id;
      const char* percent;
      const char* result;
      double fraction;
      bool failed;
    };
    const struct {
      const char* name;
      std::function<void()> events;
      std::vector<Row> rows;
      const char* totals;
    } steps[] = {
        {"two start, one a quarter sent",
         [&] {
           r.Start(1, 1000);
           r.Start(2, 4000);
           r.now += std::chrono::seconds(1);
           r.Progress(1, 1000, 250);
         },
         {{1, "25 %", "sending", 0.25, false}, {2, "0 %", "sending", 0.0, false}},
         "In progress: 2    Complete: 0    Failed: 0"},
        {"the first completes and moves below the running one",
         [&] { r.End(1, 1000, 1000, TransferResult::kComplete); },
         {{2, "0 %", "sending", 0.0, false}, {1, "100 %", "complete", 1.0, false}},
         "In progress: 1    Complete: 1    Failed: 0"},
        {"a third starts, the second fails damaged",
         [&] {
           r.Start(3, 500);
           r.Progress(2, 4000, 1000);
           r.End(2, 4000, 1000, TransferResult::kDamaged);
         },
         {{3, "0 %", "sending", 0.0, false},
          {2, "25 %", "failed: damaged entry", 0.25, true},
          {1, "100 %", "complete", 1.0, false}},
         "In progress: 1    Complete: 1    Failed: 1"},
        {"the third sends everything, then is cut",
         [&] {
           r.now += std::chrono::seconds(1);
           r.Progress(3, 500, 500);
           r.End(3, 500, 400, TransferResult::kConnectionLost);
         },
         {{3, "80 %", "failed: data connection lost", 0.8, true},
          {2, "25 %", "failed: damaged entry", 0.25, true},
          {1, "100 %", "complete", 1.0, false}},
         "In progress: 0    Complete: 1    Failed: 2"},
    };
    // Transfer 1 selected from the start; it keeps the selection wherever its row goes.
    bool selected = false;
    for (const auto& step : steps) {
      const CaseName named(step.name);
      step.events();
      panel.Refresh();
      if (!selected) {
        panel.table()->selectRow(0);
        selected = true;
      }
      QCOMPARE(model.rowCount(), static_cast<int>(step.rows.size()));
      for (size_t i = 0; i < step.rows.size(); ++i) {
        const Row& want = step.rows[i];
        const int row = static_cast<int>(i);
        QCOMPARE(model.rows()[i].id, want.id);
        QCOMPARE(Cell(model, row, PanelColumn::kClient), "10.0.0." + QString::number(want.id));
        QCOMPARE(Cell(model, row, PanelColumn::kFile), "fw/part" + QString::number(want.id) + ".bin");
        QCOMPARE(Cell(model, row, PanelColumn::kProgress), QString::fromUtf8(want.percent));
        QCOMPARE(Cell(model, row, PanelColumn::kResult), QString::fromUtf8(want.result));
        const QModelIndex bar = model.index(row, static_cast<int>(PanelColumn::kProgress));
        QCOMPARE(bar.data(TransferTableModel::kFractionRole).toDouble(), want.fraction);
        QCOMPARE(bar.data(TransferTableModel::kFailedRole).toBool(), want.failed);
        // Failed rows are marked in every cell.
        QCOMPARE(model.index(row, 0).data(Qt::BackgroundRole).isValid(), want.failed);
      }
      const QModelIndexList chosen = panel.table()->selectionModel()->selectedRows();
      QCOMPARE(chosen.size(), qsizetype{1});
      QCOMPARE(model.rows()[static_cast<size_t>(chosen.front().row())].id, uint64_t{1});
      QCOMPARE(panel.totals_label()->text(), QString::fromUtf8(step.totals));
    }
    QCOMPARE(resets.count(), 0);
    QCOMPARE(layouts.count(), 0);
  }

  // The progress column is drawn as a bar filled to the transfer's part, red for a failure.
  void ProgressColumnIsDrawnAsABar() {
    Record r;
    r.Start(1, 1000);
    r.Start(2, 1000);
    r.now += std::chrono::seconds(1);
    r.Progress(1, 1000, 500);
    r.End(2, 1000, 500, TransferResult::kStalled);
    TransferPanelView panel;
    panel.resize(700, 300);
    panel.show();
    panel.SetRecord(&r.record);
    panel.table()->clearSelection();
    QCoreApplication::processEvents();
    const QImage image = panel.table()->viewport()->grab().toImage();
    const int column = static_cast<int>(kelvane::app::PanelColumn::kProgress);
    auto pixel = [&](int row, double across) {
      const QRect cell = panel.table()->visualRect(panel.model()->index(row, column));
      return QColor(image.pixel(cell.left() + static_cast<int>(cell.width() * across),
                                cell.top() + 4));
    };
    // Half sent: the first quarter is filled, the last quarter is not.
    QVERIFY(pixel(0, 0.2) != pixel(0, 0.8));
    const QColor failed = pixel(1, 0.2);
    QVERIFY2(failed.red() > failed.green() + 60 && failed.red() > failed.blue() + 60,
             qPrintable(failed.name()));
    QVERIFY(pixel(1, 0.2) != pixel(0, 0.2));
  }

  // While the window runs it polls the record on its own thread: transfers reported on another
  // thread appear without any call from the test; after Run it stops.
  void WindowPollsTheRecordWhileItRuns() {
    Record r;
    Commands commands;
    Interfaces interfaces;
    QtFrontEnd front_end(QStringLiteral("kelvane-test"));
    front_end.main_dialog().SetInterfaceSource([&interfaces] { return interfaces.Get(); });
    front_end.AttachTransfers(r.record);
    TransferPanelView& panel = *front_end.main_dialog().transfer_panel();
    bool appeared = false;
    bool failed_shown = false;
    front_end.SetDialogRunner([&](QDialog& dialog) {
      std::thread([&r] { r.Start(7, 100); }).join();
      appeared = QTest::qWaitFor([&] { return panel.model()->rowCount() == 1; }, 10000);
      std::thread([&r] { r.End(7, 100, 10, TransferResult::kStalled); }).join();
      failed_shown = QTest::qWaitFor(
          [&] { return panel.totals_label()->text().endsWith(QStringLiteral("Failed: 1")); },
          10000);
      dialog.done(0);
      return 0;
    });
    front_end.Run(commands);
    QVERIFY(appeared);
    QVERIFY(failed_shown);
    QVERIFY(!panel.polling());
  }

  // The line above the log names the addresses of the interfaces that are up, with the FTP
  // port; the window looks again every few seconds while it runs; the about box shows it too.
  void AddressLineFollowsTheInterfaces() {
    const InterfaceAddress eth{"eth0", Ip(192, 168, 1, 20), true, false};
    const InterfaceAddress wlan{"wlan0", Ip(10, 1, 2, 3), true, false};
    const InterfaceAddress down{"eth1", Ip(172, 16, 0, 9), false, false};
    const InterfaceAddress lo{"lo", Ip(127, 0, 0, 1), true, true};
    const struct {
      const char* name;
      std::vector<InterfaceAddress> interfaces;
      const char* line;
    } cases[] = {
        {"one network", {lo, eth}, "Devices can reach this PC at ftp://192.168.1.20:2121/"},
        {"two networks, one down",
         {eth, down, wlan, lo},
         "Devices can reach this PC at ftp://192.168.1.20:2121/ or ftp://10.1.2.3:2121/"},
        {"loopback only", {down, lo}, "Devices can reach this PC at ftp://127.0.0.1:2121/"},
        {"nothing", {}, "No network connection: devices cannot reach this PC yet"},
    };
    Commands commands;
    for (const auto& c : cases) {
      const CaseName named(c.name);
      Interfaces interfaces;
      interfaces.Set(c.interfaces);
      QtFrontEnd front_end(QStringLiteral("kelvane-test"));
      kelvane::gui::MainDialog& dialog = front_end.main_dialog();
      dialog.SetInterfaceSource([&interfaces] { return interfaces.Get(); });
      QVERIFY(dialog.address_label()->isHidden());
      dialog.SetCommands(&commands);
      QVERIFY(!dialog.address_label()->isHidden());
      QCOMPARE(dialog.address_label()->text(), QString::fromUtf8(c.line));
      // Above the log.
      QVERIFY(dialog.address_label()->geometry().bottom() < dialog.splitter()->geometry().top());
      dialog.SetCommands(nullptr);
    }

    // While the window runs: an interface that comes is shown within the refresh interval, and
    // the about box names the addresses shown.
    Interfaces interfaces;
    interfaces.Set({lo, eth});
    QtFrontEnd front_end(QStringLiteral("kelvane-test"));
    kelvane::gui::MainDialog& dialog = front_end.main_dialog();
    dialog.SetInterfaceSource([&interfaces] { return interfaces.Get(); });
    bool changed = false;
    QString about_line;
    front_end.SetDialogRunner([&](QDialog& shown) {
      if (auto* about = dynamic_cast<kelvane::gui::AboutDialog*>(&shown)) {
        about_line = about->address_label() != nullptr ? about->address_label()->text() : "none";
        return 0;
      }
      interfaces.Set({lo, eth, wlan});
      changed = QTest::qWaitFor(
          [&] { return dialog.address_label()->text().endsWith(QStringLiteral("10.1.2.3:2121/")); },
          static_cast<int>(kelvane::app::kAddressRefreshInterval.count()) * 3);
      QTest::mouseClick(dialog.about_button(), Qt::LeftButton);
      shown.done(0);
      return 0;
    });
    front_end.Run(commands);
    QVERIFY(changed);
    QCOMPARE(about_line, QStringLiteral(
        "Devices can reach this PC at ftp://192.168.1.20:2121/ or ftp://10.1.2.3:2121/"));
  }

  // Package check lines from another thread reach the window's thread in their order; the area
  // under the log appears with the first line and keeps every line.
  void PackageCheckLinesFromAnotherThread() {
    QtFrontEnd front_end(QStringLiteral("kelvane-test"));
    kelvane::gui::MainDialog& dialog = front_end.main_dialog();
    QPlainTextEdit* area = dialog.package_check();
    QVERIFY(area->isHidden());
    const int height = dialog.height();
    const int log_height = dialog.log_control()->height();
    const int panel_height = dialog.transfer_panel()->height();
    std::vector<std::string> lines;
    for (int i = 0; i < 40; ++i) {
      lines.push_back("Damaged entry: \\fw\\part" + std::to_string(i) + ".bin (bad data)");
    }
    lines.push_back("Package verified: 120 entries, 5000000 bytes, 40 damaged");
    std::thread checker([&] {
      for (const std::string& line : lines) front_end.ShowPackageCheck(line);
    });
    checker.join();
    QVERIFY(area->isHidden());  // nothing is shown from the checking thread
    QCoreApplication::sendPostedEvents();
    QVERIFY(!area->isHidden());
    QStringList expected;
    for (const std::string& line : lines) expected << QString::fromStdString(line);
    QCOMPARE(area->toPlainText(), expected.join('\n'));
    // Between the log and the panel; the window grew by its height, so that the log and the
    // panel keep theirs.
    QVERIFY(dialog.height() > height);
    QVERIFY(area->height() > 0);
    QCOMPARE(dialog.log_control()->height(), log_height);
    QCOMPARE(dialog.transfer_panel()->height(), panel_height);
    const QWidget* frame = dialog.log_control()->parentWidget();
    QVERIFY(area->geometry().top() > frame->geometry().bottom());
    QVERIFY(area->geometry().bottom() < dialog.transfer_panel()->geometry().top());

    // From the window's thread it is shown at once.
    front_end.ShowPackageCheck("one more");
    QVERIFY(area->toPlainText().endsWith(QStringLiteral("\none more")));
  }
};

QTEST_MAIN(TransferPanelTest)
#include "transfer_panel_test.moc"
