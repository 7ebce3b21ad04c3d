// app/transfer_panel.h -- what the window's transfer panel and address line show, the same in
// both windows: one row of cells per transfer, the totals, the line naming the addresses a
// device may use. Pure functions, any thread; the windows poll the record and draw these.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "ftp/transfer_record.h"

namespace kelvane::app {

// The panel's columns, in their order.
enum class PanelColumn : int { kClient, kFile, kProgress, kRate, kTimeLeft, kResult };
inline constexpr int kPanelColumnCount = 6;
// The columns' headings, indexed by PanelColumn.
const char* PanelHeading(PanelColumn column);

struct PanelRow {
  uint64_t id = 0;
  std::string client;     // dotted address
  std::string file;       // the archive path with '/' between components
  double fraction = 0;    // of the total sent, 0 to 1 (1 for an empty entry once sent)
  std::string percent;    // "42 %", drawn on the bar
  std::string rate;       // "12.3 MB/s" (average since the start)
  std::string time_left;  // "1:05" at the average rate; empty once finished or not yet known
  std::string result;     // "sending", or ResultText once finished
  bool in_progress = false;
  bool failed = false;    // finished with one of the failures
};

// The panel's rows: the transfers in progress in the order they started, then the finished
// ones, newest first.
std::vector<PanelRow> PanelRows(const ftp::TransferSnapshot& snapshot);
// The text of one cell; the progress column gives the percent, drawn over the bar.
const std::string& PanelCell(const PanelRow& row, PanelColumn column);
// "In progress: 2    Complete: 17    Failed: 1" (aborted transfers count in neither).
std::string PanelTotalsText(const ftp::TransferTotals& totals);

// The line above the log: "Devices can reach this PC at ftp://192.168.1.20:21/" with every
// address, joined by " or "; without any, a line saying that no network is connected.
std::string DeviceAddressText(const std::vector<uint32_t>& addresses, uint16_t ftp_port);

// How often the windows redraw the panel and look at the interfaces again.
inline constexpr std::chrono::milliseconds kPanelRefreshInterval{250};
inline constexpr std::chrono::milliseconds kAddressRefreshInterval{3000};

}  // namespace kelvane::app
