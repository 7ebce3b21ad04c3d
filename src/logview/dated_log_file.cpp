// logview/dated_log_file.cpp -- the dated log file: its name, the day switch and the writes.
#include "logview/dated_log_file.h"

#include <cerrno>
#include <ctime>

#include "platform/local_time.h"

namespace kelvane::logview {
namespace {

constexpr char kDateStampFormat[] = "%2.2d%2.2d%4.4d";
// Lines reach the disk with the line ends of a text file of the product's home platform.
constexpr std::string_view kLineBreak = "\r\n";

}  // namespace

LocalDate TodayLocal() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  if (!platform::LocalTime(now, &parts)) return {};
  return {parts.tm_mday, parts.tm_mon + 1, parts.tm_year + 1900};
}

int DatedLogFile::SetName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength) return 1;
  name_.assign(name);
  return 0;
}

std::string DatedLogFile::DatedName(std::string_view base, const LocalDate& date) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, kDateStampFormat, date.day, date.month, date.year);
  std::string name(base);
  const size_t separator = name.find_last_of("/\\");
  const size_t file_start = separator == std::string::npos ? 0 : separator + 1;
  const size_t dot = name.find('.', file_start);
  name.insert(dot == std::string::npos ? name.size() : dot, stamp);
  return name;
}

bool DatedLogFile::Open(const LocalDate& today) {
  Close();
  date_ = today;
  if (name_.empty()) return true;
  attempted_ = DatedName(name_, today);
  // Binary: the line breaks are written as CR LF by Write itself.
  errno = 0;
  file_ = std::fopen(attempted_.c_str(), "ab");
  if (file_ == nullptr) {
    open_error_ = errno;
    return false;
  }
  open_error_ = 0;
  path_ = attempted_;
  return true;
}

bool DatedLogFile::Write(std::string_view text, const LocalDate& today) {
  bool opened = true;
  if (!(today == date_)) opened = Open(today);
  if (file_ == nullptr) return opened;
  std::fwrite(kLineBreak.data(), 1, kLineBreak.size(), file_);
  std::fwrite(text.data(), 1, text.size(), file_);
  // Every line reaches the system at once, so that a crash loses nothing already logged.
  std::fflush(file_);
  return true;
}

void DatedLogFile::Close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  path_.clear();
}

}  // namespace kelvane::logview
