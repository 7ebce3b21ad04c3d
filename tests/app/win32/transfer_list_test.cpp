// app/win32/transfer_list_test.cpp -- the transfer panel's redraw range between two polls of the
// record, and the width of a progress bar's filled part.
#include "app/win32/transfer_list.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace kelvane::win32 {
namespace {

app::PanelRow Row(uint64_t id, const char* percent, double fraction = 0.5) {
  app::PanelRow row;
  row.id = id;
  row.client = "192.168.1.7";
  row.file = "fw/image.bin";
  row.percent = percent;
  row.fraction = fraction;
  row.rate = "1.0 MB/s";
  row.time_left = "0:10";
  row.result = "sending";
  row.in_progress = true;
  return row;
}

TEST(TransferListTest, RedrawsFromTheFirstToTheLastRowThatDiffers) {
  const std::vector<app::PanelRow> three = {Row(1, "10 %"), Row(2, "20 %"), Row(3, "30 %")};
  auto with = [&](size_t index, auto change) {
    std::vector<app::PanelRow> rows = three;
    change(rows[index]);
    return rows;
  };
  const struct {
    const char* name;
    std::vector<app::PanelRow> before;
    std::vector<app::PanelRow> after;
    int first;
    int last;
  } cases[] = {
      {"both empty", {}, {}, -1, -1},
      {"the same rows", three, three, -1, -1},
      {"the first row's percent", three, with(0, [](app::PanelRow& r) { r.percent = "11 %"; }), 0,
       0},
      {"the last row's rate", three, with(2, [](app::PanelRow& r) { r.rate = "2.0 MB/s"; }), 2, 2},
      {"the middle row failed", three, with(1, [](app::PanelRow& r) { r.failed = true; }), 1, 1},
      {"the bar grew by a visible step", three,
       with(1, [](app::PanelRow& r) { r.fraction = 0.6; }), 1, 1},
      {"another transfer in the same place", three, with(0, [](app::PanelRow& r) { r.id = 9; }),
       0, 0},
      {"a row more", three, {Row(1, "10 %"), Row(2, "20 %"), Row(3, "30 %"), Row(4, "0 %")}, 3,
       3},
      {"a row fewer", three, {Row(1, "10 %"), Row(2, "20 %")}, 2, 2},
      {"a row fewer and the first changed", three, {Row(1, "15 %"), Row(2, "20 %")}, 0, 2},
      {"from none", {}, three, 0, 2},
      {"to none", three, {}, 0, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RowRange range = ChangedRows(c.before, c.after);
    EXPECT_EQ(c.first, range.first);
    EXPECT_EQ(c.last, range.last);
  }
}

TEST(TransferListTest, TheBarIsFilledByTheFractionClampedAndRounded) {
  const struct {
    int width;
    double fraction;
    int filled;
  } cases[] = {
      {100, 0.0, 0},  {100, 0.5, 50},  {100, 1.0, 100}, {100, 1.5, 100},
      {100, -0.2, 0}, {7, 0.5, 4},     {7, 0.49, 3},    {0, 0.5, 0},
      {-3, 0.5, 0},   {100, std::numeric_limits<double>::quiet_NaN(), 0},   {1, 0.5, 1},     {250, 0.004, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + " at " + std::to_string(c.fraction));
    EXPECT_EQ(c.filled, ProgressFill(c.width, c.fraction));
  }
}

}  // namespace
}  // namespace kelvane::win32
