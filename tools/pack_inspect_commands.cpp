// tools/pack_inspect_commands.cpp -- `kelvane-pack list` and `kelvane-pack verify`, both
// built on the tool's own bounds-checked reading of the trailer and records; verify also checks
// every entry against the package's SHA256SUMS when it has one.
#include <cstdio>
#include <map>
#include <optional>

#include "archive/FileArchiveReader.h"
#include "archive/checksum_list.h"
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

// A checksum list larger than this is refused rather than read into memory: a list of the most
// entries a package can hold, each with the longest name, stays far below it.
constexpr uint64_t kMaxChecksumsSize = 64 * 1024 * 1024;

// Why verify could not check an entry whose data it read without a fault.
constexpr char kNoList[] = "stored without compression, and the package has no SHA256SUMS";
constexpr char kListUnreadable[] =
    "stored without compression, and the package's SHA256SUMS cannot be read";
constexpr char kPasswordLeftOut[] =
    "stored without compression, and SHA256SUMS leaves out the password entry";

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

// The package's checksum list, read from its SHA256SUMS entry, and which of its lines an entry
// has claimed so far.
struct Checksums {
  const PackageRecord* record = nullptr;  // the SHA256SUMS entry, when the package has one
  std::optional<archive::ChecksumList> list;  // when that entry could be read
  std::map<std::string, size_t> by_name;      // line name -> index in list->lines
  std::vector<bool> claimed;                  // per line: an entry of that name was seen
};

// Finds and reads the SHA256SUMS entry of |dir|; every fault in it goes to |fault|.
Checksums ReadChecksums(int fd, const PackageDirectory& dir,
                        const std::function<void(const std::string&)>& fault) {
  Checksums sums;
  for (const PackageRecord& record : dir.records) {
    if (archive::IsChecksumsEntryName(record.name)) {
      sums.record = &record;
      break;
    }
  }
  if (sums.record == nullptr) return sums;
  const archive::ArchiveEntryInfo& info = sums.record->info;
  std::string why;
  std::string text;
  if (uint64_t{info.data_offset} + info.stored_size > dir.trailer.directory_offset) {
    why = "its data runs past the directory";
  } else if (info.unpacked_size > kMaxChecksumsSize) {
    why = "it is " + std::to_string(info.unpacked_size) + " bytes long, more than a list can be";
  } else {
    why = CheckEntryData(fd, info, nullptr, [&text](const uint8_t* data, size_t size) {
      text.append(reinterpret_cast<const char*>(data), size);
    });
  }
  if (!why.empty()) {
    fault(std::string(archive::kChecksumsEntryName) + " cannot be read (" + why +
          "); no entry was checked against it");
    return sums;
  }
  sums.list = archive::ParseChecksumList(text);
  for (const std::string& line_fault : sums.list->faults) {
    fault(std::string(archive::kChecksumsEntryName) + " " + line_fault);
  }
  const auto& lines = sums.list->lines;
  sums.claimed.assign(lines.size(), false);
  for (size_t i = 0; i < lines.size(); ++i) {
    const auto [it, added] = sums.by_name.emplace(lines[i].name, i);
    if (!added) {
      sums.claimed[i] = true;  // reported here, not again as a line without its entry
      fault(std::string(archive::kChecksumsEntryName) + " names " + Quoted(lines[i].name) +
            " twice (lines " + std::to_string(lines[it->second].line_number) + " and " +
            std::to_string(lines[i].line_number) + ")");
    }
  }
  return sums;
}

// The line the list gives for |record|, marked as claimed; nullptr when it gives none.
const archive::ChecksumLine* ClaimLine(Checksums* sums, const PackageRecord& record) {
  const auto found = sums->by_name.find(archive::ChecksumName(record.name));
  if (found == sums->by_name.end()) return nullptr;
  sums->claimed[found->second] = true;
  return &sums->list->lines[found->second];
}

// Checks the content digest of the sound entry |record| against |line| (its line in the list,
// or nullptr); an empty string when it matches, else what is wrong. |*unchecked_why| is set
// instead when the list cannot say.
std::string CompareWithList(const Checksums& sums, const PackageRecord& record,
                            const archive::ChecksumLine* line, const util::Sha256::Digest& digest,
                            const char** unchecked_why) {
  if (&record == sums.record) {
    // The list itself: its lines are what the other entries are checked with.
    return line == nullptr ? std::string()
                           : "SHA256SUMS holds a line for itself, which no checksum can match";
  }
  if (line == nullptr) {
    if (archive::IsPasswordEntryName(record.name)) {
      if (!record.info.compressed()) *unchecked_why = kPasswordLeftOut;
      return {};
    }
    return "SHA256SUMS holds no line for it";
  }
  if (line->digest == digest) return {};
  return "its SHA-256 " + util::ToHex(digest) + " differs from " + util::ToHex(line->digest) +
         ", the one SHA256SUMS gives on line " + std::to_string(line->line_number);
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

  Checksums sums = ReadChecksums(file.get(), dir, package_fault);

  NameChecker names(/*strict_directory_case=*/false);
  size_t broken = 0;
  std::vector<std::pair<const PackageRecord*, const char*>> unchecked;
  uint64_t total_unpacked = 0;
  const uint64_t directory_offset = dir.trailer.directory_offset;
  for (const PackageRecord& record : dir.records) {
    const archive::ArchiveEntryInfo& info = record.info;
    std::vector<std::string> faults;
    if (std::string conflict = names.Add(record.name); !conflict.empty()) {
      faults.push_back(std::move(conflict));
    }
    // Claimed whatever the data holds: a damaged entry is still the one its line names.
    const archive::ChecksumLine* line = sums.list ? ClaimLine(&sums, record) : nullptr;
    const uint64_t data_end = uint64_t{info.data_offset} + info.stored_size;
    if (data_end > directory_offset) {
      faults.push_back("its data (" + std::to_string(info.stored_size) + " bytes at offset " +
                       std::to_string(info.data_offset) + ") runs past the directory at offset " +
                       std::to_string(directory_offset));
    } else {
      util::Sha256 sha;
      const ContentFn hash = [&sha](const uint8_t* data, size_t size) { sha.Update(data, size); };
      if (std::string fault = CheckEntryData(file.get(), info, advance, hash); !fault.empty()) {
        faults.push_back(std::move(fault));
      } else {
        const char* unchecked_why = nullptr;
        if (sums.list) {
          std::string mismatch = CompareWithList(sums, record, line, sha.Final(), &unchecked_why);
          if (!mismatch.empty()) faults.push_back(std::move(mismatch));
        } else if (!info.compressed()) {
          unchecked_why = sums.record != nullptr ? kListUnreadable : kNoList;
        }
        if (unchecked_why != nullptr) unchecked.emplace_back(&record, unchecked_why);
      }
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
  if (sums.list) {
    for (size_t i = 0; i < sums.list->lines.size(); ++i) {
      if (sums.claimed[i]) continue;
      const archive::ChecksumLine& line = sums.list->lines[i];
      package_fault(std::string(archive::kChecksumsEntryName) + " line " +
                    std::to_string(line.line_number) + " names " + Quoted(line.name) +
                    ", which is not in the package");
    }
  }

  // The server loads the package with this reader: whatever it refuses is broken, whatever
  // the checks above found or not.
  archive::FileArchiveReader reader;
  if (!reader.Open(package)) package_fault("the package reader refuses to load it");

  for (const auto& [record, why] : unchecked) {
    std::printf("%s: entry %s not checked: %s\n", package.c_str(), Quoted(record->name).c_str(),
                why);
  }
  if (broken == 0 && package_faults == 0) {
    const auto unpacked = static_cast<unsigned long long>(total_unpacked);
    const auto stored = static_cast<unsigned long long>(total_stored);
    if (!unchecked.empty()) {
      std::printf("%s: NO DAMAGE FOUND in %zu of %s; %zu not checked, %llu bytes unpacked, "
                  "%llu stored\n",
                  package.c_str(), dir.records.size() - unchecked.size(),
                  CountEntries(dir.records.size()).c_str(), unchecked.size(), unpacked, stored);
    } else {
      std::printf("%s: OK, %s, %llu bytes unpacked, %llu stored, %s\n", package.c_str(),
                  CountEntries(dir.records.size()).c_str(), unpacked, stored,
                  sums.list ? "checked against SHA256SUMS"
                            : "compressed entries checked by length and Adler-32 (no SHA256SUMS)");
    }
    return kExitOk;
  }
  std::printf("%s: BROKEN, %s read, %zu broken, %d faults in the package itself\n",
              package.c_str(), CountEntries(dir.records.size()).c_str(), broken, package_faults);
  return kExitFailure;
}

}  // namespace kelvane::pack
