// app/transfer_panel.cpp -- the transfer panel's cells and the device address line.
#include "app/transfer_panel.h"

#include <algorithm>
#include <cmath>

#include "app/app_texts.h"
#include "app/transfer_report.h"
#include "platform/socket.h"
#include "util/string_format.h"

namespace kelvane::app {
namespace {

using util::Format;

// "m:ss" below an hour, "h:mm:ss" from there on.
std::string Duration(int64_t seconds) {
  if (seconds < 3600) {
    return Format("%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  }
  return Format("%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
}

PanelRow MakeRow(const ftp::TransferRow& transfer) {
  PanelRow row;
  row.id = transfer.id;
  row.client = transfer.client_address;
  row.file = transfer.path;
  std::replace(row.file.begin(), row.file.end(), '\\', '/');
  if (!row.file.empty() && row.file.front() == '/') row.file.erase(0, 1);
  row.in_progress = !transfer.result.has_value();
  row.failed = transfer.result && ftp::IsFailure(*transfer.result);

  const bool whole = transfer.sent >= transfer.total;
  row.fraction = transfer.total == 0
                     ? (whole && !row.in_progress && !row.failed ? 1.0 : 0.0)
                     : std::min(1.0, static_cast<double>(transfer.sent) / transfer.total);
  const uint64_t percent =
      transfer.total == 0 ? static_cast<uint64_t>(row.fraction * 100)
                          : std::min<uint64_t>(100, uint64_t{transfer.sent} * 100 / transfer.total);
  row.percent = Format(texts::kPanelPercentFormat, static_cast<int>(percent));

  const double rate = TransferMegabytesPerSecond(transfer.sent, transfer.elapsed);
  row.rate = Format(texts::kPanelRateFormat, rate);
  if (row.in_progress && transfer.sent > 0 && transfer.elapsed.count() > 0) {
    const double left_bytes = static_cast<double>(transfer.total - std::min(transfer.sent, transfer.total));
    const double bytes_per_ms = static_cast<double>(transfer.sent) / transfer.elapsed.count();
    row.time_left = Duration(static_cast<int64_t>(std::ceil(left_bytes / bytes_per_ms / 1000.0)));
  }
  row.result = row.in_progress ? std::string(texts::kPanelSending) : ResultText(*transfer.result);
  return row;
}

}  // namespace

const char* PanelHeading(PanelColumn column) {
  return texts::kPanelHeadings[static_cast<int>(column)];
}

std::vector<PanelRow> PanelRows(const ftp::TransferSnapshot& snapshot) {
  std::vector<PanelRow> rows;
  rows.reserve(snapshot.in_progress.size() + snapshot.finished.size());
  for (const ftp::TransferRow& transfer : snapshot.in_progress) rows.push_back(MakeRow(transfer));
  for (auto it = snapshot.finished.rbegin(); it != snapshot.finished.rend(); ++it) {
    rows.push_back(MakeRow(*it));
  }
  return rows;
}

const std::string& PanelCell(const PanelRow& row, PanelColumn column) {
  switch (column) {
    case PanelColumn::kClient: return row.client;
    case PanelColumn::kFile: return row.file;
    case PanelColumn::kProgress: return row.percent;
    case PanelColumn::kRate: return row.rate;
    case PanelColumn::kTimeLeft: return row.time_left;
    case PanelColumn::kResult: break;
  }
  return row.result;
}

std::string PanelTotalsText(const ftp::TransferTotals& totals) {
  return Format(texts::kPanelTotalsFormat, static_cast<unsigned long long>(totals.in_progress),
                static_cast<unsigned long long>(totals.complete),
                static_cast<unsigned long long>(totals.failed));
}

std::string DeviceAddressText(const std::vector<uint32_t>& addresses, uint16_t ftp_port) {
  if (addresses.empty()) return texts::kNoDeviceAddress;
  std::string text = texts::kDeviceAddressPrefix;
  for (size_t i = 0; i < addresses.size(); ++i) {
    if (i > 0) text += texts::kDeviceAddressJoin;
    text += Format(texts::kDeviceUrlFormat, platform::FormatDotted(addresses[i]).c_str(),
                   unsigned{ftp_port});
  }
  return text;
}

}  // namespace kelvane::app
