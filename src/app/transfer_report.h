// app/transfer_report.h -- the texts of finished transfers: the headless front end's lines and
// the rows of the transfer file. Pure functions, any thread.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "ftp/transfer_record.h"

namespace kelvane::app {

// "complete", "failed: <reason>" or "aborted".
std::string ResultText(ftp::TransferResult result);

// Whole seconds of the elapsed time (two decimals) and the rate in MB/s (10^6 bytes per
// second); an elapsed time under 1 ms counts as 1 ms for the rate.
double TransferSeconds(std::chrono::milliseconds elapsed);
double TransferMegabytesPerSecond(uint32_t sent, std::chrono::milliseconds elapsed);

// `Transfer: <client> "<path>" <sent>/<total> bytes in <s> s (<MB/s> MB/s) <result>` for a
// finished row.
std::string TransferLine(const ftp::TransferRow& row);
// `Transfers: <n> complete, <m> failed`.
std::string TransferTotalsLine(const ftp::TransferTotals& totals);

// |moment| in UTC as 2026-12-09T14:03:27Z (whole seconds, rounded down).
std::string Iso8601Utc(std::chrono::system_clock::time_point moment);
// A field as a CSV file holds it: quoted, with quotes doubled, when it has a comma, a quote, a
// CR or a LF; as it stands otherwise.
std::string CsvField(std::string_view text);
// One row of the transfer file for a finished row, with its CR LF.
std::string TransferCsvRow(const ftp::TransferRow& row);

}  // namespace kelvane::app
