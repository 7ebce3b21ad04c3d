// app/transfer_file.h -- TransferFile: the CSV file of finished transfers beside the dated log
// file (activity09122026.csv beside activity09122026.log), one per local day.
//
// Write is called on the connection threads of finished transfers, several at once; the file
// is guarded by its own lock. Each row goes to the system in one write, so nothing buffered is
// lost in a crash.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "ftp/transfer_record.h"
#include "logview/dated_log_file.h"
#include "platform/unique_fd.h"

namespace kelvane::app {

class TransferFile {
 public:
  using Today = std::function<logview::LocalDate()>;
  // Told of a day's file that did not open, with the errno value: once per day's attempt.
  using OpenFailed = std::function<void(const std::string& path, int error_number)>;

  // |log_file| is the LogFile setting, the base name of the dated log file. |today| (the
  // local date by default) picks the day's file.
  explicit TransferFile(std::string log_file, Today today = logview::TodayLocal,
                        OpenFailed open_failed = nullptr);

  // Appends the row of |row| to the day's file, opening it first on the first row and at each
  // change of date; a new or empty file gets the header row first. False when the file is not
  // open (it is tried again at the next change of date) or the write failed.
  bool Write(const ftp::TransferRow& row);

  // The transfer file's name for |log_file| on |date|: the dated log file's name with its
  // extension (what follows the last '.' of the file name) replaced by .csv, or .csv added.
  static std::string NameFor(std::string_view log_file, const logview::LocalDate& date);

  // The day's file's name, empty before the first row.
  std::string path() const;

 private:
  // Opens the file for |today|; false when it did not open.
  bool OpenFor(const logview::LocalDate& today);

  const std::string log_file_;
  const Today today_;
  const OpenFailed open_failed_;

  mutable std::mutex mutex_;
  logview::LocalDate date_;  // the date of the file last tried
  std::string path_;
  platform::UniqueFd fd_;
};

}  // namespace kelvane::app
