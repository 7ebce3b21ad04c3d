// app/transfer_report.cpp -- the lines and rows of finished transfers.
#include "app/transfer_report.h"

#include <algorithm>

#include "app/app_texts.h"
#include "util/string_format.h"

namespace kelvane::app {
namespace {

using util::Format;

constexpr std::string_view kCsvLineEnd = "\r\n";

const char* FailureReason(ftp::TransferResult result) {
  switch (result) {
    case ftp::TransferResult::kDamaged: return texts::kReasonDamaged;
    case ftp::TransferResult::kConnectionLost: return texts::kReasonConnectionLost;
    case ftp::TransferResult::kStalled: return texts::kReasonStalled;
    case ftp::TransferResult::kRefused: return texts::kReasonRefused;
    case ftp::TransferResult::kComplete:
    case ftp::TransferResult::kAborted: break;
  }
  return "";
}

}  // namespace

std::string ResultText(ftp::TransferResult result) {
  if (result == ftp::TransferResult::kComplete) return texts::kResultComplete;
  if (result == ftp::TransferResult::kAborted) return texts::kResultAborted;
  return Format(texts::kResultFailedFormat, FailureReason(result));
}

double TransferSeconds(std::chrono::milliseconds elapsed) {
  return static_cast<double>(elapsed.count()) / 1000.0;
}

double TransferMegabytesPerSecond(uint32_t sent, std::chrono::milliseconds elapsed) {
  const auto ms = std::max<std::chrono::milliseconds::rep>(elapsed.count(), 1);
  return static_cast<double>(sent) / static_cast<double>(ms) / 1000.0;
}

std::string TransferLine(const ftp::TransferRow& row) {
  return Format(texts::kTransferLineFormat, row.client_address.c_str(), row.path.c_str(),
                row.sent, row.total, TransferSeconds(row.elapsed),
                TransferMegabytesPerSecond(row.sent, row.elapsed),
                ResultText(row.result.value_or(ftp::TransferResult::kAborted)).c_str());
}

std::string TransferTotalsLine(const ftp::TransferTotals& totals) {
  return Format(texts::kTransferTotalsFormat, static_cast<unsigned long long>(totals.complete),
                static_cast<unsigned long long>(totals.failed));
}

std::string Iso8601Utc(std::chrono::system_clock::time_point moment) {
  using namespace std::chrono;
  const sys_seconds seconds = floor<std::chrono::seconds>(moment);
  const sys_days day = floor<days>(seconds);
  const year_month_day date(day);
  const hh_mm_ss<std::chrono::seconds> time(seconds - day);
  return Format("%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
}

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

std::string TransferCsvRow(const ftp::TransferRow& row) {
  std::string line = Iso8601Utc(row.started);
  for (const std::string& field :
       {CsvField(row.client_address), CsvField(row.user_name), CsvField(row.path),
        std::to_string(row.sent), std::to_string(row.total),
        Format("%.2f", TransferSeconds(row.elapsed)),
        CsvField(ResultText(row.result.value_or(ftp::TransferResult::kAborted)))}) {
    line += ',';
    line += field;
  }
  line += kCsvLineEnd;
  return line;
}

}  // namespace kelvane::app
