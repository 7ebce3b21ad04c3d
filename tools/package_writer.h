// tools/package_writer.h -- writes packages: the executable image, then each entry's data in
// record order (zlib-compressed or stored), then the directory records and the trailer.
// Library kelvane_packwriter, shared by kelvane-pack, the tests and the benchmarks. Entries
// stream through fixed buffers, so their size is bounded by the format, not by memory.
// Failures are results: false with a message, never exceptions.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "tools/package_inspect.h"

namespace kelvane::pack {

// Attributes of the entries the writer makes.
inline constexpr uint32_t kCompressedAttributes = archive::ATTR_ARCHIVE | archive::ATTR_COMPRESSED;
inline constexpr uint32_t kStoredAttributes = archive::ATTR_ARCHIVE;

// One entry to write. Its content comes from |source_path| or, when that is empty, from
// |content|.
struct PackInput {
  std::string name;         // the name in the package, '\' between components
  std::string source_path;  // a file, read when the entry is written
  std::string content;      // used when source_path is empty
  uint64_t size = 0;        // the source's size when scanned (progress and early limit checks)
  uint64_t creation_time = 0;     // FILETIME
  uint64_t last_access_time = 0;  // FILETIME
  uint64_t last_write_time = 0;   // FILETIME
  bool store = false;  // write uncompressed; others are too when deflate would not shrink them
  // The checksum list (SHA256SUMS): its content is made while the package is written, one line
  // for each entry written before it except the password entry; |source_path| and |content|
  // are ignored. Comes last, so that it covers every other entry.
  bool checksums = false;
};

// An input with the given content and all three times set to |file_time|.
PackInput MakeContentInput(std::string name, std::string content, uint64_t file_time);

// The checksum list's input for a package of |inputs|, to be appended after them; its |size|
// is already what the list will take.
PackInput MakeChecksumsInput(const std::vector<PackInput>& inputs, uint64_t file_time);

// The arithmetic of a package's length while it is written. The image, the directory records
// and the trailer are known before any entry; entry data is added as it is produced, and each
// addition is refused when the whole file would reach |length_limit| (2^31 for real packages;
// tests lower it). Every offset of the package lies below its length, so this one bound keeps
// every offset below the limit too.
class PackageLayout {
 public:
  PackageLayout(uint64_t image_size, uint64_t directory_size,
                uint64_t length_limit = archive::kMaxOffset)
      : image_size_(image_size), directory_size_(directory_size), limit_(length_limit) {}

  // Whether |more| data bytes would still fit.
  bool Fits(uint64_t more) const;
  // Adds |count| data bytes; false, and nothing added, when they do not fit.
  bool AddData(uint64_t count);
  // Takes back the last |count| data bytes added (an entry written again in another form).
  void DropData(uint64_t count) { data_size_ -= std::min(count, data_size_); }

  // The next entry's data offset; once every entry is added, the directory offset.
  uint64_t data_end() const { return image_size_ + data_size_; }
  uint64_t file_length() const { return data_end() + directory_size_ + archive::kTrailerSize; }
  uint64_t length_limit() const { return limit_; }

 private:
  uint64_t image_size_;
  uint64_t directory_size_;
  uint64_t limit_;
  uint64_t data_size_ = 0;
};

// The bytes the directory records of |inputs| take.
uint64_t DirectorySize(const std::vector<PackInput>& inputs);

// Every name problem of |inputs| (too long, equal without regard to case, a file that is also
// a directory prefix, a directory spelled two ways), one message each; empty when none.
std::vector<std::string> CheckInputNames(const std::vector<PackInput>& inputs);

// Writes a whole package into |out_fd|, an empty regular file: the first |image_size| bytes
// of |image_fd|, then |inputs| in order, the records and the trailer. An entry not marked
// |store| is deflated, unless its compressed form would be no smaller than its content: then
// its data is rewritten as it stands (stored attributes). An input marked |checksums| gets the
// checksum list of the inputs before it as its content. Refuses names that fail
// CheckInputNames, a source larger than 4 GiB - 1 and a package that would reach
// |length_limit| bytes (checked before anything is written as far as the sizes are known, else
// as data is made). False with |*error| set on a refusal or failure; the output then holds a
// partial package.
bool WritePackage(int out_fd, int image_fd, uint64_t image_size,
                  const std::vector<PackInput>& inputs, const ProgressFn& progress,
                  std::string* error, uint64_t length_limit = archive::kMaxOffset);

// Builds |output| from |executable| and |inputs|. When |executable| already carries a package,
// only its image (up to FindImageEnd) is used. Refuses an executable whose image is not a
// bare Kelvane server (see CheckServerImage) and one whose package trailer is damaged, as then
// the image's end is unknown. The package is written to a temporary file beside |output| and
// renamed at the end, with mode 0755 less the umask; on any refusal or failure (false,
// |*error| set) no file named |output| is created or changed.
bool BuildPackage(const std::string& executable, const std::vector<PackInput>& inputs,
                  const std::string& output, const ProgressFn& progress, std::string* error);

// Writes the executable image of |package| (see FindImageEnd) to |output|, the same way.
// Refuses a file that carries no package.
bool StripPackage(const std::string& package, const std::string& output, std::string* error);

}  // namespace kelvane::pack
