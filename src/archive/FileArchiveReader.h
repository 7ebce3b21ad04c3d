// archive/FileArchiveReader.h -- the package reader: opens the file that holds the package,
// loads its directory, hands out entries as streams and extracts entries to disk.
//
// One descriptor is shared by every stream; each positioning of it followed by a read happens
// under the reader's lock. Open and Close run while no service is running; OpenFile, Copy and
// stream reads may come from any thread. Failures are results (false or nullptr) and one trace
// line each.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "archive/archive_directory.h"
#include "archive/archive_format.h"
#include "archive/archive_streams.h"
#include "archive/entry_health.h"
#include "platform/unique_fd.h"

namespace kelvane::archive {

class ArchiveReaderBase {
 public:
  ArchiveReaderBase() = default;
  virtual ~ArchiveReaderBase();
  ArchiveReaderBase(const ArchiveReaderBase&) = delete;
  ArchiveReaderBase& operator=(const ArchiveReaderBase&) = delete;

  // Closes whatever is open, opens |path| read-only and loads its directory. False when the file
  // cannot be opened or the package is invalid; after an invalid package the file stays open
  // with the records loaded before the fault until Close.
  bool Open(const std::string& path);

  // Closes the file, frees the tree and forgets the entries' health with their inflated copies;
  // nothing happens when nothing is open. The package check has ended before.
  void Close();

  // Moves the shared descriptor to the entry's data offset and traces the outcome. The caller
  // holds the lock when a read follows.
  bool SetPos(const ArchiveEntryInfo& info);

  bool is_open() const { return file_.valid(); }
  const ArchiveDirectory& directory() const { return directory_; }
  // What the package check has found out about the entries; any thread.
  EntryHealth& health() { return health_; }
  const EntryHealth& health() const { return health_; }

 protected:
  // Validates the trailer and inserts every record; false on any invalid condition.
  bool LoadDirectory();

  platform::UniqueFd file_;
  ArchiveDirectory directory_;
  EntryHealth health_;
};

class FileArchiveReader : public ArchiveReaderBase {
 public:
  FileArchiveReader() = default;
  ~FileArchiveReader() override;

  // A new stream over the entry that |path| names from |cursor|'s current directory (from the
  // root when it starts with '\'), or nullptr when it names nothing or a directory. The stream
  // follows what the package check has found by now (see ArchiveFileStream); the trace lines
  // are the same either way.
  std::unique_ptr<ArchiveFileStream> OpenFile(const ArchiveCursor& cursor, std::string_view path);

  // A stream over the package's own bytes of |info| (a record of this reader's tree), whatever
  // the check has found, without trace lines: what the package check reads. nullptr without
  // memory.
  std::unique_ptr<ArchiveFileStream> OpenPackageBytes(const ArchiveEntryInfo& info);

  // Extracts the entry at |entry_path| (from the root) into |destination|, replacing a file of
  // that name, with the entry's last access and last write times; the read-only attribute
  // becomes a file without write permission. False when the entry is missing or a directory,
  // when the destination cannot be created, or when a write fails or the entry's data is damaged
  // or ends early; then no destination file is left behind.
  bool Copy(std::string_view entry_path, const std::string& destination);

 private:
  std::mutex lock_;
};

}  // namespace kelvane::archive
