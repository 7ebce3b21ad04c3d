// tools/pack_inspect_commands.cpp -- `kelvane-pack list` and `kelvane-pack verify`, both
// built on the tool's own bounds-checked reading of the trailer and records.
#include <cstdio>

#include "archive/FileArchiveReader.h"
#include "platform/file_io.h"
#include "tools/pack_commands.h"
#include "tools/package_inspect.h"
#include "tools/package_names.h"
#include "tools/progress.h"
#include "tools/tool_files.h"

namespace kelvane::pack {
namespace {

using archive::kMaxOffset;

// The Method column of `list`.
constexpr char kDeflated[] = "Defl";
constexpr char kStored[] = "Stored";

// Opens |package| and reads its directory; false (after an error line) when the file cannot
// be opened or carries no trailer.
bool LoadPackage(const std::string& package, platform::UniqueFd* file,
                 PackageDirectory* directory) {
  *file = platform::OpenReadOnly(package);
  if (!file->valid()) {
    PrintError("cannot open " + package + ": " + LastErrorText());
    return false;
  }
  *directory = ReadPackageDirectory(file->get());
  if (!directory->has_trailer) {
    PrintError(package + ": " + directory->fault);
    return false;
  }
  return true;
}

// Space saved by compression, in percent, as unzip shows it.
int SavedPercent(uint64_t unpacked, uint64_t stored) {
  if (unpacked == 0) return 0;
  return static_cast<int>((static_cast<int64_t>(unpacked) - static_cast<int64_t>(stored)) * 100 /
                          static_cast<int64_t>(unpacked));
}

}  // namespace

int RunList(const std::string& package) {
  platform::UniqueFd file;
  PackageDirectory dir;
  if (!LoadPackage(package, &file, &dir)) return kExitFailure;

  std::printf("    Length  Method      Stored    Cmpr  Attr  Created (UTC)     Name\n");
  std::printf("----------  ------  ----------  ------  ----  ----------------  ----\n");
  uint64_t total_unpacked = 0;
  uint64_t total_stored = 0;
  for (const PackageRecord& record : dir.records) {
    const archive::ArchiveEntryInfo& info = record.info;
    std::printf("%10u  %-6s  %10u  %5d%%  %04X  %s  %s\n", info.unpacked_size,
                info.compressed() ? kDeflated : kStored, info.stored_size,
                SavedPercent(info.unpacked_size, info.stored_size), info.attributes,
                FormatFileTime(info.creation_time).c_str(), Printable(record.name).c_str());
    total_unpacked += info.unpacked_size;
    total_stored += info.stored_size;
  }
  std::printf("----------          ----------  ------                          -------\n");
  std::printf("%10llu          %10llu  %5d%%                          %s\n",
              static_cast<unsigned long long>(total_unpacked),
              static_cast<unsigned long long>(total_stored),
              SavedPercent(total_unpacked, total_stored), CountEntries(dir.records.size()).c_str());
  if (!dir.fault.empty()) {
    PrintError(package + ": " + dir.fault);
    return kExitFailure;
  }
  return kExitOk;
}

int RunVerify(const std::string& package) {
  platform::UniqueFd file;
  PackageDirectory dir;
  if (!LoadPackage(package, &file, &dir)) {
    std::printf("%s: BROKEN, not a package\n", package.c_str());
    return kExitFailure;
  }
  int package_faults = 0;
  auto package_fault = [&](const std::string& what) {
    PrintError(package + ": " + what);
    ++package_faults;
  };
  if (dir.file_length >= kMaxOffset) {
    package_fault("the file is " + std::to_string(dir.file_length) +
                  " bytes long; a package must stay below " + std::to_string(kMaxOffset));
  }
  if (!dir.fault.empty()) package_fault(dir.fault);
  if (dir.fault.empty() && dir.records_end != dir.file_length - archive::kTrailerSize) {
    PrintWarning(package + ": " +
                 std::to_string(dir.file_length - archive::kTrailerSize - dir.records_end) +
                 " unused bytes lie between the last record and the trailer");
  }

  uint64_t total_stored = 0;
  for (const PackageRecord& record : dir.records) total_stored += record.info.stored_size;
  ProgressBar bar("verify", total_stored);
  const ProgressFn advance = [&bar](uint64_t n) { bar.Advance(n); };

  NameChecker names(/*strict_directory_case=*/false);
  size_t broken = 0;
  uint64_t total_unpacked = 0;
  const uint64_t directory_offset = dir.trailer.directory_offset;
  for (const PackageRecord& record : dir.records) {
    const archive::ArchiveEntryInfo& info = record.info;
    std::vector<std::string> faults;
    if (std::string conflict = names.Add(record.name); !conflict.empty()) {
      faults.push_back(std::move(conflict));
    }
    const uint64_t data_end = uint64_t{info.data_offset} + info.stored_size;
    if (data_end > directory_offset) {
      faults.push_back("its data (" + std::to_string(info.stored_size) + " bytes at offset " +
                       std::to_string(info.data_offset) + ") runs past the directory at offset " +
                       std::to_string(directory_offset));
    } else if (std::string fault = CheckEntryData(file.get(), info, advance); !fault.empty()) {
      faults.push_back(std::move(fault));
    }
    total_unpacked += info.unpacked_size;
    if (faults.empty()) continue;
    ++broken;
    bar.Finish();
    for (const std::string& fault : faults) {
      PrintError(package + ": entry " + Quoted(record.name) + ": " + fault);
    }
  }
  bar.Finish();

  // The server loads the package with this reader: whatever it refuses is broken, whatever
  // the checks above found or not.
  archive::FileArchiveReader reader;
  if (!reader.Open(package)) package_fault("the package reader refuses to load it");

  if (broken == 0 && package_faults == 0) {
    std::printf("%s: OK, %s, %llu bytes unpacked, %llu stored\n", package.c_str(),
                CountEntries(dir.records.size()).c_str(),
                static_cast<unsigned long long>(total_unpacked),
                static_cast<unsigned long long>(total_stored));
    return kExitOk;
  }
  std::printf("%s: BROKEN, %s read, %zu broken, %d faults in the package itself\n",
              package.c_str(), CountEntries(dir.records.size()).c_str(), broken, package_faults);
  return kExitFailure;
}

}  // namespace kelvane::pack
