// The texts of finished transfers (headless lines, CSV rows), the transfer file beside the log
// file with its day switch, and the choice of addresses a device is told.
#include "app/transfer_report.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "app/device_addresses.h"
#include "app/transfer_panel.h"
#include "app/transfer_file.h"
#include "support/fixture_package.h"

namespace kelvane::app {
namespace {

using ftp::TransferResult;
using ftp::TransferRow;
using std::chrono::milliseconds;

// 2026-12-09 23:59:58 UTC.
const std::chrono::system_clock::time_point kLateEvening =
    std::chrono::system_clock::from_time_t(1796860798);

TransferRow Row(std::string path, uint32_t sent, uint32_t total, milliseconds elapsed,
                TransferResult result) {
  TransferRow row;
  row.id = 1;
  row.client_address = "192.168.1.31";
  row.user_name = "anonymous";
  row.path = std::move(path);
  row.sent = sent;
  row.total = total;
  row.started = kLateEvening;
  row.elapsed = elapsed;
  row.result = result;
  return row;
}

TEST(TransferReportTest, LinesNameTheClientPathBytesTimeRateAndResult) {
  const struct {
    TransferRow row;
    const char* line;
  } cases[] = {
      {Row("pub\\Image", 1206620, 1206620, milliseconds(1500), TransferResult::kComplete),
       "Transfer: 192.168.1.31 \"pub\\Image\" 1206620/1206620 bytes in 1.50 s (0.8 MB/s) complete"},
      {Row("a.bin", 5000000, 5000000, milliseconds(1000), TransferResult::kComplete),
       "Transfer: 192.168.1.31 \"a.bin\" 5000000/5000000 bytes in 1.00 s (5.0 MB/s) complete"},
      // Under a millisecond counts as one for the rate.
      {Row("v.txt", 6, 6, milliseconds(0), TransferResult::kComplete),
       "Transfer: 192.168.1.31 \"v.txt\" 6/6 bytes in 0.00 s (0.0 MB/s) complete"},
      {Row("d.bin", 40000, 100000, milliseconds(12), TransferResult::kDamaged),
       "Transfer: 192.168.1.31 \"d.bin\" 40000/100000 bytes in 0.01 s (3.3 MB/s) failed: damaged "
       "entry"},
      {Row("c.bin", 7, 9, milliseconds(2000), TransferResult::kConnectionLost),
       "Transfer: 192.168.1.31 \"c.bin\" 7/9 bytes in 2.00 s (0.0 MB/s) failed: data connection "
       "lost"},
      {Row("s.bin", 0, 9, milliseconds(30004), TransferResult::kStalled),
       "Transfer: 192.168.1.31 \"s.bin\" 0/9 bytes in 30.00 s (0.0 MB/s) failed: stalled"},
      {Row("r.bin", 0, 9, milliseconds(0), TransferResult::kRefused),
       "Transfer: 192.168.1.31 \"r.bin\" 0/9 bytes in 0.00 s (0.0 MB/s) failed: refused"},
      {Row("x.bin", 3000000, 9000000, milliseconds(2000), TransferResult::kAborted),
       "Transfer: 192.168.1.31 \"x.bin\" 3000000/9000000 bytes in 2.00 s (1.5 MB/s) aborted"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(c.line, TransferLine(c.row));
  }
  EXPECT_EQ("Transfers: 20 complete, 3 failed", TransferTotalsLine({0, 20, 3, 1}));
}

TEST(TransferReportTest, CsvFieldsAreQuotedOnlyWhenTheyMustBe) {
  const struct {
    const char* text;
    const char* field;
  } cases[] = {
      {"pub\\Image", "pub\\Image"}, {"", ""},
      {"a,b", "\"a,b\""},           {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"\"", "\"\"\"\""},           {"line\r\nend", "\"line\r\nend\""},
      {"lf\n", "\"lf\n\""},         {"semi;colon", "semi;colon"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.field, CsvField(c.text));
  }
}

TEST(TransferReportTest, StartTimesAreUtcIso8601) {
  EXPECT_EQ("2026-12-09T23:59:58Z", Iso8601Utc(kLateEvening));
  EXPECT_EQ("1970-01-01T00:00:00Z", Iso8601Utc(std::chrono::system_clock::from_time_t(0)));
  // Leap day, and the fraction of a second dropped.
  EXPECT_EQ("2028-02-29T12:00:00Z",
            Iso8601Utc(std::chrono::system_clock::from_time_t(1835438400) + milliseconds(999)));
  TransferRow row = Row("dir,with\\\"odd\".bin", 5, 10, milliseconds(1234),
                        TransferResult::kDamaged);
  row.user_name = "a,b";
  EXPECT_EQ(
      "2026-12-09T23:59:58Z,192.168.1.31,\"a,b\",\"dir,with\\\"\"odd\"\".bin\",5,10,1.23,"
      "failed: damaged entry\r\n",
      TransferCsvRow(row));
}

TEST(TransferFileTest, TheNameFollowsTheDatedLogFile) {
  const logview::LocalDate date{9, 12, 2026};
  const struct {
    const char* log_file;
    const char* csv;
  } cases[] = {
      {"activity.log", "activity09122026.csv"},
      {"/var/log/activity.log", "/var/log/activity09122026.csv"},
      {"activity", "activity09122026.csv"},
      {"C:\\logs.d\\activity", "C:\\logs.d\\activity09122026.csv"},
      {"logs.d/act.x.log", "logs.d/act09122026.x.csv"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log_file);
    EXPECT_EQ(c.csv, TransferFile::NameFor(c.log_file, date));
  }
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(TransferFileTest, WritesAHeaderOnceAppendsAfterARestartAndSwitchesAtMidnight) {
  test::TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string base = dir.File("activity.log");
  logview::LocalDate today{9, 12, 2026};
  const std::string header = "start,client,user,path,bytes,total,seconds,result\r\n";
  const TransferRow first = Row("a.bin", 10, 10, milliseconds(500), TransferResult::kComplete);
  const TransferRow second = Row("b,c", 1, 10, milliseconds(20), TransferResult::kAborted);
  {
    TransferFile file(base, [&] { return today; });
    EXPECT_EQ("", file.path());
    ASSERT_TRUE(file.Write(first));
    EXPECT_EQ(dir.File("activity09122026.csv"), file.path());
  }
  {
    // A restart on the same day appends below the same header.
    TransferFile file(base, [&] { return today; });
    ASSERT_TRUE(file.Write(second));
    EXPECT_EQ(header + TransferCsvRow(first) + TransferCsvRow(second),
              ReadWhole(dir.File("activity09122026.csv")));
    today = {10, 12, 2026};
    ASSERT_TRUE(file.Write(first));
    EXPECT_EQ(dir.File("activity10122026.csv"), file.path());
  }
  EXPECT_EQ(header + TransferCsvRow(first), ReadWhole(dir.File("activity10122026.csv")));
  EXPECT_EQ(header + TransferCsvRow(first) + TransferCsvRow(second),
            ReadWhole(dir.File("activity09122026.csv")));
}

TEST(TransferFileTest, AFileThatDoesNotOpenIsToldOncePerDay) {
  test::TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  logview::LocalDate today{9, 12, 2026};
  std::vector<std::string> failures;
  TransferFile file(dir.File("gone.d/activity.log"), [&] { return today; },
                    [&](const std::string& path, int error_number) {
                      EXPECT_NE(0, error_number);
                      failures.push_back(path);
                    });
  const TransferRow row = Row("a.bin", 10, 10, milliseconds(5), TransferResult::kComplete);
  EXPECT_FALSE(file.Write(row));
  EXPECT_FALSE(file.Write(row));
  today = {10, 12, 2026};
  EXPECT_FALSE(file.Write(row));
  EXPECT_EQ((std::vector<std::string>{dir.File("gone.d/activity09122026.csv"),
                                      dir.File("gone.d/activity10122026.csv")}),
            failures);
}

platform::InterfaceAddress Interface(uint32_t address, bool up = true, bool loopback = false) {
  return {"if", address, up, loopback};
}

TEST(DeviceAddressesTest, ShowsTheInterfacesThatAreUpAndLoopbackOnlyWithoutOthers) {
  constexpr uint32_t kLan = 0xC0A8011E;      // 192.168.1.30
  constexpr uint32_t kWifi = 0x0A000005;     // 10.0.0.5
  constexpr uint32_t kLoop = 0x7F000001;     // 127.0.0.1
  constexpr uint32_t kLoopTwo = 0x7F000101;  // 127.0.1.1, flagged as an ordinary interface
  const struct {
    const char* name;
    std::vector<platform::InterfaceAddress> interfaces;
    std::vector<uint32_t> shown;
  } cases[] = {
      {"none", {}, {}},
      {"loopback only", {Interface(kLoop, true, true)}, {kLoop}},
      {"loopback and a LAN", {Interface(kLoop, true, true), Interface(kLan)}, {kLan}},
      {"order kept", {Interface(kWifi), Interface(kLoop, true, true), Interface(kLan)},
       {kWifi, kLan}},
      {"a down LAN", {Interface(kLoop, true, true), Interface(kLan, false)}, {kLoop}},
      {"everything down", {Interface(kLoop, false, true), Interface(kLan, false)}, {}},
      {"127/8 is loopback", {Interface(kLoopTwo), Interface(kLan)}, {kLan}},
      {"repeats once", {Interface(kLan), Interface(kLan), Interface(kWifi)}, {kLan, kWifi}},
      {"no address", {Interface(0), Interface(kLoop, true, true)}, {kLoop}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.shown, AddressesToShow(c.interfaces));
  }
}

TEST(DeviceAddressesTest, LinesGiveTheFtpAndTheHttpAddresses) {
  const std::vector<uint32_t> addresses = {0xC0A80114, 0x0A000005};
  EXPECT_EQ((std::vector<std::string>{"Address: ftp://192.168.1.20:21/",
                                      "Address: ftp://10.0.0.5:21/",
                                      "Address: http://192.168.1.20:8081/www/index.htm",
                                      "Address: http://10.0.0.5:8081/www/index.htm"}),
            AddressLines(addresses, 21, 8081));
  EXPECT_EQ((std::vector<std::string>{"Address: ftp://192.168.1.20:2121/",
                                      "Address: ftp://10.0.0.5:2121/"}),
            AddressLines(addresses, 2121, 0));
}

TEST(DeviceAddressesTest, TheWindowsLineJoinsEveryAddressOrSaysThereIsNone) {
  EXPECT_EQ("Devices can reach this PC at ftp://192.168.1.20:21/",
            DeviceAddressText({0xC0A80114}, 21));
  EXPECT_EQ("Devices can reach this PC at ftp://192.168.1.20:2121/ or ftp://10.0.0.5:2121/",
            DeviceAddressText({0xC0A80114, 0x0A000005}, 2121));
  EXPECT_EQ("No network connection: devices cannot reach this PC yet", DeviceAddressText({}, 21));
}

// Rows in progress come first in their order of start, finished ones newest first; the cells
// follow from the bytes and the time.
TEST(TransferPanelTest, RowsAndCellsFollowTheSnapshot) {
  ftp::TransferSnapshot snapshot;
  TransferRow sending = Row("\\fw\\image.bin", 25'000'000, 100'000'000, milliseconds(2500),
                            TransferResult::kComplete);
  sending.result.reset();
  sending.id = 7;
  TransferRow waiting = sending;
  waiting.id = 8;
  waiting.sent = 0;
  waiting.elapsed = milliseconds(0);
  snapshot.in_progress = {sending, waiting};
  TransferRow old_one = Row("\\version.txt", 0, 0, milliseconds(3), TransferResult::kComplete);
  old_one.id = 2;
  TransferRow new_one = Row("\\fw\\image.bin", 4'000'000, 100'000'000, milliseconds(60'000),
                            TransferResult::kStalled);
  new_one.id = 3;
  snapshot.finished = {old_one, new_one};
  snapshot.totals = {2, 1, 1, 0};

  const std::vector<PanelRow> rows = PanelRows(snapshot);
  ASSERT_EQ(4u, rows.size());
  const struct {
    uint64_t id;
    const char* cells[kPanelColumnCount];
    double fraction;
    bool in_progress, failed;
  } expected[] = {
      {7, {"192.168.1.31", "fw/image.bin", "25 %", "10.0 MB/s", "0:08", "sending"}, 0.25, true,
       false},
      {8, {"192.168.1.31", "fw/image.bin", "0 %", "0.0 MB/s", "", "sending"}, 0, true, false},
      {3, {"192.168.1.31", "fw/image.bin", "4 %", "0.1 MB/s", "", "failed: stalled"}, 0.04,
       false, true},
      {2, {"192.168.1.31", "version.txt", "100 %", "0.0 MB/s", "", "complete"}, 1, false, false},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(expected[i].id, rows[i].id);
    for (int c = 0; c < kPanelColumnCount; ++c) {
      EXPECT_EQ(expected[i].cells[c], PanelCell(rows[i], static_cast<PanelColumn>(c)));
    }
    EXPECT_DOUBLE_EQ(expected[i].fraction, rows[i].fraction);
    EXPECT_EQ(expected[i].in_progress, rows[i].in_progress);
    EXPECT_EQ(expected[i].failed, rows[i].failed);
  }
  EXPECT_EQ("In progress: 2    Complete: 1    Failed: 1", PanelTotalsText(snapshot.totals));
  EXPECT_STREQ("Time left", PanelHeading(PanelColumn::kTimeLeft));
}

// An hour or more of time left shows its hours.
TEST(TransferPanelTest, LongTimesLeftShowHours) {
  ftp::TransferSnapshot snapshot;
  TransferRow slow = Row("\\a", 1'000, 4'000'000, milliseconds(1000), TransferResult::kComplete);
  slow.result.reset();
  snapshot.in_progress = {slow};
  EXPECT_EQ("1:06:39", PanelRows(snapshot)[0].time_left);
}

}  // namespace
}  // namespace kelvane::app
