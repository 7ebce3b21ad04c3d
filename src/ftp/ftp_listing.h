// ftp/ftp_listing.h -- the lines of LIST and NLST, and the calendar times they show.
// Pure functions; any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "archive/archive_directory.h"

namespace kelvane::ftp {

// A moment broken into calendar fields, without a time zone.
struct CivilTime {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// A FILETIME (100 ns units since 1601-01-01) in UTC fields; times past the year 9999 show as
// the last minute of 9999.
CivilTime CivilFromFileTime(uint64_t file_time);
// A system clock time in UTC fields.
CivilTime CivilFromSystemTime(std::chrono::system_clock::time_point time);
// The year of |time| in the process's local time zone.
int LocalYear(std::chrono::system_clock::time_point time);

// What a listing needs to know about "now", taken once per listing.
struct ListingNow {
  CivilTime utc;     // shown for directories
  int current_year;  // the local year: times of this year show hour and minute
};
ListingNow MakeListingNow(std::chrono::system_clock::time_point now);

// The LIST line of |node|, CR LF included: fixed columns (permissions, link count, owner,
// group, size ending in column 44, month, day, then hour:minute for a time of the current year
// or the year otherwise) and the whole name from column 59. Files show their unpacked size and
// creation time, directories "0" and the current time.
std::string ListingLine(const archive::ArchiveNode& node, const ListingNow& now);

// The NLST line of |node|: its whole name and CR LF.
std::string NameLine(const archive::ArchiveNode& node);

// A FILETIME as YYYYMMDDHHMMSS in UTC (MDTM, the modify fact).
std::string FactTime(uint64_t file_time);

// The facts of |node| as MLSD and MLST give them, each ended by ';', then one space: a file's
// "type=file;size=<unpacked size>;modify=<last write time>;perm=rl; ", a directory's
// "type=dir;perm=rl; ". nullptr stands for the root, which has no node.
std::string MachineFacts(const archive::ArchiveNode* node);

// The MLSD line of |node|: its facts, its name and CR LF.
std::string MachineListingLine(const archive::ArchiveNode& node);

}  // namespace kelvane::ftp
