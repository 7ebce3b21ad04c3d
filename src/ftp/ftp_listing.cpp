// ftp/ftp_listing.cpp -- LIST and NLST lines and calendar conversions.
#include "ftp/ftp_listing.h"

#include <cstdio>
#include <ctime>

#include "platform/local_time.h"

namespace kelvane::ftp {
namespace {

using std::chrono::days;
using std::chrono::sys_days;

constexpr char kLineEnd[] = "\r\n";
constexpr size_t kNameColumn = 59;
constexpr size_t kTemplateWidth = 64;
constexpr size_t kSizeLastColumn = 44;
constexpr size_t kMonthColumn = 46;
constexpr size_t kDayColumn = 50;
constexpr size_t kTimeColumn = 53;
constexpr char kFileModes[] = "-r-xr-xr--";
constexpr char kDirectoryModes[] = "dr-xr-xr--";
constexpr char kFileFactsFormat[] = "type=file;size=%u;modify=%s;perm=rl; ";
constexpr char kDirectoryFacts[] = "type=dir;perm=rl; ";
constexpr char kLinksOwnerGroup[] = "1 owner    group";  // columns 13 to 28
constexpr size_t kLinksColumn = 13;
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr uint64_t kFileTimeUnitsPerSecond = 10000000;
constexpr int64_t kSecondsPerDay = 86400;
// 1601-01-01 counted in days from 1970-01-01.
constexpr int64_t kFileTimeEpochDays = -134774;
// 10000-01-01 00:00 UTC as a FILETIME: the first moment a four-digit year cannot show.
constexpr uint64_t kFileTimeYear10000 = 2650467744000000000ull;

CivilTime CivilFromDaysAndSeconds(int64_t day_number, int64_t second_of_day) {
  const std::chrono::year_month_day date{sys_days{days{day_number}}};
  CivilTime t;
  t.year = static_cast<int>(date.year());
  t.month = static_cast<int>(static_cast<unsigned>(date.month()));
  t.day = static_cast<int>(static_cast<unsigned>(date.day()));
  t.hour = static_cast<int>(second_of_day / 3600);
  t.minute = static_cast<int>(second_of_day % 3600 / 60);
  t.second = static_cast<int>(second_of_day % 60);
  return t;
}

void Put(std::string& line, size_t column, const char* text) {
  for (size_t i = 0; text[i] != '\0'; ++i) line[column + i] = text[i];
}

}  // namespace

CivilTime CivilFromFileTime(uint64_t file_time) {
  if (file_time >= kFileTimeYear10000) file_time = kFileTimeYear10000 - kFileTimeUnitsPerSecond;
  const auto seconds = static_cast<int64_t>(file_time / kFileTimeUnitsPerSecond);
  return CivilFromDaysAndSeconds(seconds / kSecondsPerDay + kFileTimeEpochDays,
                                 seconds % kSecondsPerDay);
}

CivilTime CivilFromSystemTime(std::chrono::system_clock::time_point time) {
  const auto seconds =
      std::chrono::floor<std::chrono::seconds>(time.time_since_epoch()).count();
  int64_t day_number = seconds / kSecondsPerDay;
  int64_t second_of_day = seconds % kSecondsPerDay;
  if (second_of_day < 0) {
    second_of_day += kSecondsPerDay;
    --day_number;
  }
  return CivilFromDaysAndSeconds(day_number, second_of_day);
}

int LocalYear(std::chrono::system_clock::time_point time) {
  const std::time_t t = std::chrono::system_clock::to_time_t(time);
  std::tm parts{};
  if (!platform::LocalTime(t, &parts)) return CivilFromSystemTime(time).year;
  return parts.tm_year + 1900;
}

ListingNow MakeListingNow(std::chrono::system_clock::time_point now) {
  return {CivilFromSystemTime(now), LocalYear(now)};
}

std::string ListingLine(const archive::ArchiveNode& node, const ListingNow& now) {
  const archive::ArchiveEntryInfo* info = node.info();
  std::string line(kTemplateWidth, ' ');
  Put(line, 0, info == nullptr ? kDirectoryModes : kFileModes);
  Put(line, kLinksColumn, kLinksOwnerGroup);

  char field[32];
  // The size as a signed 32-bit number, as the product has always shown it.
  std::snprintf(field, sizeof field, "%d",
                info == nullptr ? 0 : static_cast<int32_t>(info->unpacked_size));
  Put(line, kSizeLastColumn + 1 - std::char_traits<char>::length(field), field);

  const CivilTime time = info == nullptr ? now.utc : CivilFromFileTime(info->creation_time);
  Put(line, kMonthColumn, kMonths[time.month - 1]);
  std::snprintf(field, sizeof field, "%2d", time.day);
  Put(line, kDayColumn, field);
  if (time.year == now.current_year) {
    std::snprintf(field, sizeof field, "%02d:%02d", time.hour, time.minute);
  } else {
    std::snprintf(field, sizeof field, " %4d", time.year);
  }
  Put(line, kTimeColumn, field);

  // Names of every length the package allows are listed whole.
  line.resize(kNameColumn);
  line += node.name();
  line += kLineEnd;
  return line;
}

std::string NameLine(const archive::ArchiveNode& node) { return node.name() + kLineEnd; }

std::string FactTime(uint64_t file_time) {
  const CivilTime t = CivilFromFileTime(file_time);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

std::string MachineFacts(const archive::ArchiveNode* node) {
  const archive::ArchiveEntryInfo* info = node != nullptr ? node->info() : nullptr;
  if (info == nullptr) return kDirectoryFacts;
  char text[128];
  std::snprintf(text, sizeof text, kFileFactsFormat, info->unpacked_size,
                FactTime(info->last_write_time).c_str());
  return text;
}

std::string MachineListingLine(const archive::ArchiveNode& node) {
  return MachineFacts(&node) + node.name() + kLineEnd;
}

}  // namespace kelvane::ftp
