// support/fixture_package.cpp -- the package builder, the sample package and TempDir.
#include "support/fixture_package.h"

#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "archive/checksum_list.h"
#include "platform/process.h"
#include "util/sha256.h"

namespace kelvane::test {

TempDir::TempDir() {
  const std::optional<std::string> base = platform::TemporaryFolder();
  if (!base) return;
  // create_directory fails on a name that exists, so a folder another test made is never shared.
  std::random_device seed;
  std::mt19937_64 random(
      (static_cast<uint64_t>(seed()) << 32) ^
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "kelvane_test_%012llx",
                  static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
    const std::string candidate = *base + name;
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      std::filesystem::permissions(candidate, std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::replace, error);
      path_ = candidate;
      return;
    }
  }
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::File(std::string_view name) const { return path_ + "/" + std::string(name); }

std::string TempDir::Write(std::string_view name, std::string_view bytes) const {
  const std::string file = File(name);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return out ? file : std::string();
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(content).str();
}

std::string Compress(std::string_view content) {
  uLongf size = compressBound(static_cast<uLong>(content.size()));
  std::string out(size, '\0');
  const int rc = compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                           reinterpret_cast<const Bytef*>(content.data()),
                           static_cast<uLong>(content.size()), Z_DEFAULT_COMPRESSION);
  if (rc != Z_OK) std::abort();  // only with too small a buffer: a fault of this file
  out.resize(size);
  return out;
}

PackageBuilder::PackageBuilder(std::string image) : data_(std::move(image)) {}

size_t PackageBuilder::AddFile(std::string_view name, std::string_view content,
                               uint32_t attributes, const ArchiveEntryInfo& times) {
  ArchiveEntryInfo info = times;
  info.attributes = attributes;
  info.unpacked_size = static_cast<uint32_t>(content.size());
  info.data_offset = static_cast<uint32_t>(data_.size());
  if ((attributes & archive::ATTR_COMPRESSED) != 0) {
    data_ += Compress(content);
  } else {
    data_ += content;
  }
  info.stored_size = static_cast<uint32_t>(data_.size() - info.data_offset);
  return AddRecord(name, info);
}

size_t PackageBuilder::AddRecord(std::string_view name, const ArchiveEntryInfo& info) {
  records_.push_back(Record{std::string(name), info, std::nullopt});
  return records_.size() - 1;
}

size_t PackageBuilder::AddRawRecord(std::string bytes) {
  records_.push_back(Record{{}, {}, std::move(bytes)});
  return records_.size() - 1;
}

std::string PackageBuilder::EncodedRecords() const {
  std::string out;
  for (const Record& r : records_) out += r.raw ? *r.raw : archive::EncodeRecord(r.name, r.info);
  return out;
}

std::string PackageBuilder::Build() const {
  std::string records = EncodedRecords();
  if (records_cut && *records_cut < records.size()) records.resize(*records_cut);

  const uint32_t m = magic.value_or(archive::ARCHIVE_MAGIC);
  const uint32_t offset = trailer_directory_offset.value_or(directory_offset());
  const uint32_t count = entry_count.value_or(static_cast<uint32_t>(records_.size()));
  auto trailer = archive::EncodeTrailer(offset, count);
  archive::StoreU32(trailer.data(), m);
  archive::StoreU32(trailer.data() + 12, check.value_or(archive::TrailerCheck(m, offset, count)));

  std::string out = data_;
  out += records;
  out.append(reinterpret_cast<const char*>(trailer.data()), trailer.size());
  return out;
}

const std::string& SampleEntryContent() {
  static const std::string content = [] {
    std::string s;
    s.reserve(kSampleEntrySize);
    uint32_t state = 0x2545F491u;
    int block = 0;
    while (s.size() < kSampleEntrySize) {
      // Alternate text that deflates well with noise that does not, so that the stream's
      // blocks and the reader's buffers end at unrelated places.
      if (block++ % 3 == 2) {
        for (int i = 0; i < 3001; ++i) {
          state = state * 1664525u + 1013904223u;
          s.push_back(static_cast<char>(state >> 24));
        }
      } else {
        s += "line " + std::to_string(block) + " of the sample image\r\n";
      }
    }
    s.resize(kSampleEntrySize);
    return s;
  }();
  return content;
}

PackageBuilder SamplePackageBuilder() {
  std::string image(kSampleImageSize, '\0');
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>((i * 131) ^ (i >> 9));
  PackageBuilder builder(std::move(image));
  builder.AddFile(kSampleEntryPath, SampleEntryContent(), kPacked, kSampleTimes);
  builder.AddFile("version.txt", kSampleVersion, kPacked, kSampleTimes);
  return builder;
}

size_t AddChecksums(PackageBuilder& builder,
                    const std::vector<std::pair<std::string, std::string>>& files) {
  std::string text;
  for (const auto& [name, content] : files) {
    text += archive::FormatChecksumLine(archive::ChecksumName(name), util::Sha256::Of(content));
  }
  return builder.AddFile(archive::kChecksumsEntryName, text, kPacked);
}

}  // namespace kelvane::test
