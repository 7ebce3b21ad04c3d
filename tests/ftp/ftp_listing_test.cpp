// ftp/ftp_listing_test.cpp -- LIST and NLST lines column by column, and the calendar
// conversions behind them.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "archive/archive_directory.h"
#include "ftp/ftp_listing.h"

namespace kelvane::ftp {
namespace {

using archive::ArchiveEntryInfo;
using archive::ArchiveNode;

// 1 October 2008, 16:41 UTC.
constexpr uint64_t kOctober2008 = 128673528600000000ull;
constexpr uint64_t kFileTimeSecond = 10000000ull;

ArchiveEntryInfo FileInfo(uint32_t size, uint64_t created) {
  ArchiveEntryInfo info;
  info.creation_time = created;
  info.last_access_time = created + 7 * kFileTimeSecond * 86400;  // never shown
  info.last_write_time = created + 9 * kFileTimeSecond * 86400;
  info.unpacked_size = size;
  return info;
}

ListingNow Now(int year, int month, int day, int hour, int minute, int local_year) {
  return {CivilTime{year, month, day, hour, minute}, local_year};
}

TEST(ListingLineTest, MatchesTheFixedColumns) {
  const struct {
    const char* what;
    const char* name;
    bool directory;
    uint32_t size;
    uint64_t created;
    ListingNow now;
    std::string line;
  } cases[] = {
      // The sample's version note: 72 bytes.
      {"a file of another year", "version.txt", false, 6, kOctober2008, Now(2024, 3, 5, 9, 7, 2024),
       "-r-xr-xr--   1 owner    group               6 Oct  1  2008 version.txt\r\n"},
      {"a file of this year", "version.txt", false, 6, kOctober2008, Now(2008, 12, 31, 0, 0, 2008),
       "-r-xr-xr--   1 owner    group               6 Oct  1 16:41 version.txt\r\n"},
      {"the local year decides, not the UTC year", "v", false, 6, kOctober2008,
       Now(2009, 1, 1, 0, 30, 2008),
       "-r-xr-xr--   1 owner    group               6 Oct  1 16:41 v\r\n"},
      {"a directory shows the current time", "pub", true, 0, 0, Now(2024, 3, 5, 9, 7, 2024),
       "dr-xr-xr--   1 owner    group               0 Mar  5 09:07 pub\r\n"},
      {"a directory near new year", "pub", true, 0, 0, Now(2024, 12, 31, 23, 59, 2025),
       "dr-xr-xr--   1 owner    group               0 Dec 31  2024 pub\r\n"},
      {"the largest size fills the column", "big", false, 2147483647u, kOctober2008,
       Now(2024, 1, 1, 0, 0, 2024),
       "-r-xr-xr--   1 owner    group      2147483647 Oct  1  2008 big\r\n"},
      {"a size from 2^31 on shows as a signed number", "huge", false, 0x80000000u, kOctober2008,
       Now(2024, 1, 1, 0, 0, 2024),
       "-r-xr-xr--   1 owner    group     -2147483648 Oct  1  2008 huge\r\n"},
      {"FILETIME 0 is 1 January 1601", "old", false, 1, 0, Now(2024, 1, 1, 0, 0, 2024),
       "-r-xr-xr--   1 owner    group               1 Jan  1  1601 old\r\n"},
      {"a name with spaces", "a b  c", false, 12345, kOctober2008, Now(2024, 1, 1, 0, 0, 2024),
       "-r-xr-xr--   1 owner    group           12345 Oct  1  2008 a b  c\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    archive::ArchiveNodeList list(nullptr);
    const ArchiveNode* node = c.directory ? list.AppendDirectory(c.name)
                                          : list.AppendFile(c.name, FileInfo(c.size, c.created));
    EXPECT_EQ(c.line, ListingLine(*node, c.now));
  }
}

TEST(ListingLineTest, NamesOfEveryAllowedLengthAreListedWhole) {
  for (size_t length : {1u, 194u, 195u, 253u, 254u, 259u}) {
    SCOPED_TRACE(length);
    const std::string name(length, 'n');
    archive::ArchiveNodeList list(nullptr);
    const ArchiveNode* file = list.AppendFile(name, FileInfo(1, kOctober2008));
    const std::string line = ListingLine(*file, Now(2024, 1, 1, 0, 0, 2024));
    EXPECT_EQ(59 + length + 2, line.size());
    EXPECT_EQ(name + "\r\n", line.substr(59));
    EXPECT_EQ(name + "\r\n", NameLine(*file));
  }
}

TEST(MachineFactsTest, FilesShowSizeAndLastWriteTimeDirectoriesTheirType) {
  // Written 10 October 2008, 16:41:05 UTC; created (what LIST shows) 1 October.
  ArchiveEntryInfo info = FileInfo(1206620, kOctober2008);
  info.last_write_time += 5 * kFileTimeSecond + 9999999;  // no rounding up
  archive::ArchiveNodeList list(nullptr);
  const ArchiveNode* pub = list.AppendDirectory("pub");
  const ArchiveNode* image = list.AppendFile("Image", info);
  const ArchiveNode* spaced = list.AppendFile("a name", FileInfo(0, 0));

  EXPECT_EQ("20081010164105", FactTime(info.last_write_time));
  EXPECT_EQ("16010101000000", FactTime(0));
  EXPECT_EQ("type=file;size=1206620;modify=20081010164105;perm=rl; ", MachineFacts(image));
  EXPECT_EQ("type=dir;perm=rl; ", MachineFacts(pub));
  EXPECT_EQ("type=dir;perm=rl; ", MachineFacts(nullptr));  // the root
  EXPECT_EQ("type=file;size=1206620;modify=20081010164105;perm=rl; Image\r\n",
            MachineListingLine(*image));
  EXPECT_EQ("type=file;size=0;modify=16010110000000;perm=rl; a name\r\n",
            MachineListingLine(*spaced));
}

TEST(CivilTimeTest, ConvertsFileTimesAsUtc) {
  const struct {
    uint64_t file_time;
    CivilTime civil;
  } cases[] = {
      {0, {1601, 1, 1, 0, 0}},
      {kOctober2008, {2008, 10, 1, 16, 41}},
      {kOctober2008 + 59 * kFileTimeSecond + 9999999, {2008, 10, 1, 16, 41}},  // no rounding
      {116444736000000000ull, {1970, 1, 1, 0, 0}},
      {116444736000000000ull - 1, {1969, 12, 31, 23, 59}},
      {125962560000000000ull, {2000, 2, 29, 0, 0}},
      {2650467743999999999ull, {9999, 12, 31, 23, 59}},
      {0xFFFFFFFFFFFFFFFFull, {9999, 12, 31, 23, 59}},  // beyond four digits: the last minute
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file_time);
    const CivilTime t = CivilFromFileTime(c.file_time);
    EXPECT_EQ(c.civil.year, t.year);
    EXPECT_EQ(c.civil.month, t.month);
    EXPECT_EQ(c.civil.day, t.day);
    EXPECT_EQ(c.civil.hour, t.hour);
    EXPECT_EQ(c.civil.minute, t.minute);
  }
}

TEST(CivilTimeTest, ConvertsSystemTimesAsUtc) {
  using namespace std::chrono;
  const struct {
    sys_seconds time;
    CivilTime civil;
  } cases[] = {
      {sys_days{2024y / March / 5} + 9h + 7min + 59s, {2024, 3, 5, 9, 7}},
      {sys_days{1969y / December / 31} + 23h + 59min + 59s, {1969, 12, 31, 23, 59}},
  };
  for (const auto& c : cases) {
    const CivilTime t = CivilFromSystemTime(c.time);
    SCOPED_TRACE(c.civil.year);
    EXPECT_EQ(c.civil.year, t.year);
    EXPECT_EQ(c.civil.month, t.month);
    EXPECT_EQ(c.civil.day, t.day);
    EXPECT_EQ(c.civil.hour, t.hour);
    EXPECT_EQ(c.civil.minute, t.minute);
  }
  // Half a year away from any new year, every time zone agrees on the local year.
  EXPECT_EQ(2024, LocalYear(sys_days{2024y / July / 1} + 12h));
}

}  // namespace
}  // namespace kelvane::ftp
