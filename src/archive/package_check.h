// archive/package_check.h -- the package check that runs once after start-up: every entry read
// once from the package, compressed ones inflated to the end (length and Adler-32), every one
// compared with the package's SHA256SUMS when it has one; each compressed entry's content kept
// in a scratch file as it goes, so that the services can send it as a stored entry is sent.
//
// The check writes its findings into the reader's EntryHealth and tells its lines (each damaged
// entry, each fault of SHA256SUMS, the closing summary) to a callback. It writes one trace line
// per damaged entry and one for the summary, nothing per sound entry. It runs on whatever
// thread calls CheckPackage, while the services read the package; the reader stays open until
// it returns.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "archive/FileArchiveReader.h"

namespace kelvane::archive {

// The lines the check tells, as printf formats.
inline constexpr char kDamagedEntryFormat[] = "Damaged entry: %s (%s)";
inline constexpr char kPackageVerifiedFormat[] = "Package verified: %llu entries, %llu bytes";
inline constexpr char kPackageVerifiedDamagedFormat[] =
    "Package verified: %llu entries, %llu bytes, %llu damaged";

struct PackageCheckOptions {
  // Left free in the scratch folder's file system beyond the copies.
  static constexpr uint64_t kDefaultFreeSpaceMargin = 64ull << 20;

  // The folder of the scratch file; none: no copies.
  std::optional<std::string> scratch_folder;
  // The most bytes all copies may take together (the UnpackCacheMB setting); 0: no copies.
  // An entry that does not fit in what is left is streamed as before.
  uint64_t copy_limit = 0;
  uint64_t free_space_margin = kDefaultFreeSpaceMargin;
  // Called on the check's thread before each entry is read, with its name as SHA256SUMS gives
  // it; tests hold the check there. None: nothing.
  std::function<void(std::string_view name)> before_entry;
};

struct PackageCheckResult {
  bool finished = false;   // false when stopped before the last entry
  size_t entries = 0;      // file entries looked at
  uint64_t bytes = 0;      // their content, as their records give it
  size_t damaged = 0;
  size_t copied_entries = 0;
  uint64_t copied_bytes = 0;
};

// Checks every file entry of |reader|'s open package in the tree's order and records the
// outcome in reader.health(). |report| receives each line, in order, on this thread. |stop|
// set ends the check at the next block it reads (no summary then). Failures to make copies
// (no scratch file, no space, a write that fails) only mean fewer copies.
PackageCheckResult CheckPackage(FileArchiveReader& reader, const PackageCheckOptions& options,
                                const std::function<void(std::string_view line)>& report,
                                const std::atomic<bool>& stop);

}  // namespace kelvane::archive
