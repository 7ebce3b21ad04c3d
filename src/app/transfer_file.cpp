// app/transfer_file.cpp -- the transfer file: its name, the day switch and the rows.
#include "app/transfer_file.h"

#include <utility>

#include "app/app_texts.h"
#include "app/transfer_report.h"
#include "platform/file_io.h"

namespace kelvane::app {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

}  // namespace

TransferFile::TransferFile(std::string log_file, Today today, OpenFailed open_failed)
    : log_file_(std::move(log_file)),
      today_(today ? std::move(today) : Today(logview::TodayLocal)),
      open_failed_(std::move(open_failed)) {}

std::string TransferFile::NameFor(std::string_view log_file, const logview::LocalDate& date) {
  std::string name = logview::DatedLogFile::DatedName(log_file, date);
  const size_t separator = name.find_last_of("/\\");
  const size_t file_start = separator == std::string::npos ? 0 : separator + 1;
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot >= file_start) name.erase(dot);
  return name + texts::kTransferFileExtension;
}

std::string TransferFile::path() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return path_;
}

bool TransferFile::OpenFor(const logview::LocalDate& today) {
  fd_.Reset();
  date_ = today;
  path_ = NameFor(log_file_, today);
  int error_number = 0;
  fd_ = platform::OpenForAppending(path_, &error_number);
  if (!fd_.valid()) {
    if (open_failed_) open_failed_(path_, error_number);
    return false;
  }
  // A restart on the same day appends to the day's file, below its header.
  if (platform::FileSize(fd_.get()) == 0) {
    const std::string header = std::string(texts::kTransferFileHeader) + std::string(kLineEnd);
    if (!platform::WriteAll(fd_.get(), header.data(), header.size())) return false;
  }
  return true;
}

bool TransferFile::Write(const ftp::TransferRow& row) {
  const logview::LocalDate today = today_();
  const std::string line = TransferCsvRow(row);
  std::lock_guard<std::mutex> hold(mutex_);
  if (path_.empty() || !(today == date_)) {
    if (!OpenFor(today)) return false;
  }
  if (!fd_.valid()) return false;
  return platform::WriteAll(fd_.get(), line.data(), line.size());
}

}  // namespace kelvane::app
