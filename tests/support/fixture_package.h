// support/fixture_package.h -- packages built in memory for the tests, and the temporary folder
// they are written to.
//
// PackageBuilder lays a package out as the reader expects (image, entry data, records, trailer)
// with the format's own encoders, and has knobs to break each part of it. Nothing here is
// thread-safe; each test builds its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "archive/archive_format.h"

namespace kelvane::test {

using archive::ArchiveEntryInfo;

// Attributes of entries as packages carry them.
inline constexpr uint32_t kPacked = archive::ATTR_COMPRESSED | archive::ATTR_ARCHIVE;  // 0x820
inline constexpr uint32_t kStored = archive::ATTR_ARCHIVE;                             // 0x20

// A new folder in the system's temporary folder (platform::TemporaryFolder) that is removed with
// everything in it on destruction.
// path() is empty when the folder could not be made.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path()/name, whether it exists or not.
  std::string File(std::string_view name) const;
  // Writes |bytes| to path()/name, replacing it; returns the file's path, or "" on failure.
  std::string Write(std::string_view name, std::string_view bytes) const;

 private:
  std::string path_;
};

// The whole content of a file; nullopt when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// One complete zlib stream (header 78 9C, deflate data, Adler-32) of |content|.
std::string Compress(std::string_view content);

class PackageBuilder {
 public:
  // |image| stands for the executable: the bytes before the first entry's data.
  explicit PackageBuilder(std::string image = {});

  // Appends |content| as the next entry's data, zlib-compressed when |attributes| carries
  // ATTR_COMPRESSED, and a record for it with |times|' three FILETIMEs. Returns the record's
  // index for info().
  size_t AddFile(std::string_view name, std::string_view content, uint32_t attributes = kPacked,
                 const ArchiveEntryInfo& times = {});
  // A record with exactly |info|; no data is added.
  size_t AddRecord(std::string_view name, const ArchiveEntryInfo& info);
  // A record made of exactly |bytes| (for malformed records); info() must not be used on it.
  size_t AddRawRecord(std::string bytes);

  // The record's information, to change before Build.
  ArchiveEntryInfo& info(size_t index) { return records_[index].info; }
  const ArchiveEntryInfo& info(size_t index) const { return records_[index].info; }
  // The image and entry data so far; a test may damage bytes in place. The directory starts
  // right after it.
  std::string& data() { return data_; }
  uint32_t directory_offset() const { return static_cast<uint32_t>(data_.size()); }
  size_t record_count() const { return records_.size(); }

  // The records as they will be written, back to back.
  std::string EncodedRecords() const;

  // Trailer knobs: unset fields take the values the layout calls for; the check is computed
  // from the final magic, offset and count unless set.
  std::optional<uint32_t> magic;
  std::optional<uint32_t> trailer_directory_offset;
  std::optional<uint32_t> entry_count;
  std::optional<uint32_t> check;
  // Keeps only the first |records_cut| bytes of the records; the trailer still follows.
  std::optional<size_t> records_cut;

  // data() + records + trailer.
  std::string Build() const;

 private:
  struct Record {
    std::string name;
    ArchiveEntryInfo info;
    std::optional<std::string> raw;
  };
  std::string data_;
  std::vector<Record> records_;
};

// A package laid out like the product's sample: a 229,376-byte image of arbitrary bytes, then
// "pub\Dorvex\Updates\Image" (1,206,620 bytes, compressed, data right after the image) and
// "version.txt" holding "3.34\r\n" (compressed), both with kSampleTimes.
inline constexpr size_t kSampleImageSize = 229376;
inline constexpr size_t kSampleEntrySize = 1206620;
inline constexpr std::string_view kSampleEntryPath = "pub\\Dorvex\\Updates\\Image";
inline constexpr std::string_view kSampleVersion = "3.34\r\n";
// Distinct FILETIMEs with sub-second parts, so that a swapped or rounded time shows.
inline constexpr ArchiveEntryInfo kSampleTimes = {
    .creation_time = 132000000001234567ull,
    .last_access_time = 133100000007654321ull,
    .last_write_time = 133200000001111119ull,
};
enum SampleRecord : size_t { kSampleImageRecord = 0, kSampleVersionRecord = 1 };

// Adds a compressed "SHA256SUMS" entry at the root with one line per |files| entry (package
// name with '\', content), in that order, as kelvane-pack writes it. Returns its record's index.
size_t AddChecksums(PackageBuilder& builder,
                    const std::vector<std::pair<std::string, std::string>>& files);

// The sample entry's content: mixed compressible text and noise, the same on every call.
const std::string& SampleEntryContent();
PackageBuilder SamplePackageBuilder();

}  // namespace kelvane::test
