// tools/package_inspect.h -- reads a package's trailer and directory records the way the tool
// needs them: in record order, with every read bounds-checked against the file, and with the
// first fault described rather than merely refused. Also finds where the executable image
// ends and checks one entry's data from end to end.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive_format.h"

namespace kelvane::pack {

// Called with the count of bytes handled since the previous call (for progress bars).
using ProgressFn = std::function<void(uint64_t)>;

// Called with each piece of an entry's content, unpacked, in order.
using ContentFn = std::function<void(const uint8_t*, size_t)>;

struct PackageRecord {
  uint64_t position = 0;  // absolute offset of the record's length field
  std::string name;       // as stored
  archive::ArchiveEntryInfo info;
};

struct PackageDirectory {
  uint64_t file_length = 0;
  bool has_trailer = false;  // the last 16 bytes are a trailer with magic 201 and its check
  bool has_magic = false;    // the last 16 bytes start with the magic, whatever their check
  archive::ArchiveTrailer trailer;
  std::vector<PackageRecord> records;  // every record read before a fault, in record order
  uint64_t records_end = 0;            // offset just past the last record read
  std::string fault;  // empty when the trailer and every record were read whole
};

// Reads the trailer and directory of the file open at |fd|. Without a valid trailer,
// has_trailer is false and |fault| says why; a record that does not fit between the
// directory offset and the trailer, or a name of 260 bytes or more, stops the reading with
// |fault| set. Never reads outside the file.
PackageDirectory ReadPackageDirectory(int fd);

// Where the executable image ends: the whole file when it carries no package, else the
// smallest data offset among the records (the directory offset when there are none).
// nullopt when the package's directory is damaged or points past its own directory.
std::optional<uint64_t> FindImageEnd(const PackageDirectory& directory);

// Reads the entry's stored bytes from |fd| (the caller has checked that they lie inside the
// file) and inflates them when compressed, to the end of the zlib stream, whose Adler-32 zlib
// checks. Every unpacked byte goes to |content| when it is set. Returns an empty string when
// the content is sound and as long as the record says, else what is wrong.
std::string CheckEntryData(int fd, const archive::ArchiveEntryInfo& info,
                           const ProgressFn& progress, const ContentFn& content = nullptr);

}  // namespace kelvane::pack
