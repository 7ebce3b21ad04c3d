// fuzz/make_seeds.cpp -- writes the seed corpus of archive_fuzz into the folder given as the only
// argument: a handful of small valid packages, each followed by paths that name what it holds.
// Runs at build time, so no binary input is kept in the repository.

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive_format.h"

namespace {

namespace fmt = kelvane::archive;

constexpr std::string_view kPathsSeparator = "\n--kelvane-paths--\n";
constexpr uint64_t kSomeFileTime = 133000000000000000;  // a day in 2022

struct SeedEntry {
  std::string name;
  std::string content;
  bool compressed = true;
  uint32_t extra_attributes = 0;
  uint64_t file_time = kSomeFileTime;  // all three times
  std::optional<uint32_t> data_offset = std::nullopt;  // a record pointing elsewhere
};

// The package: |image|, each entry's data, the records, the trailer. Returns "" when zlib fails.
std::string BuildPackage(std::string_view image, const std::vector<SeedEntry>& entries) {
  std::string file(image);
  std::string records;
  for (const SeedEntry& entry : entries) {
    fmt::ArchiveEntryInfo info;
    info.creation_time = info.last_access_time = info.last_write_time = entry.file_time;
    info.attributes = fmt::ATTR_ARCHIVE | entry.extra_attributes;
    info.unpacked_size = static_cast<uint32_t>(entry.content.size());
    info.data_offset = static_cast<uint32_t>(file.size());
    if (entry.compressed) {
      uLongf packed_size = compressBound(entry.content.size());
      std::string packed(packed_size, '\0');
      if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packed_size,
                    reinterpret_cast<const Bytef*>(entry.content.data()), entry.content.size(),
                    Z_DEFAULT_COMPRESSION) != Z_OK) {
        return std::string();
      }
      packed.resize(packed_size);
      info.attributes |= fmt::ATTR_COMPRESSED;
      file += packed;
    } else {
      file += entry.content;
    }
    info.stored_size = static_cast<uint32_t>(file.size() - info.data_offset);
    if (entry.data_offset) info.data_offset = *entry.data_offset;
    records += fmt::EncodeRecord(entry.name, info);
  }
  const auto trailer = fmt::EncodeTrailer(static_cast<uint32_t>(file.size()),
                                          static_cast<uint32_t>(entries.size()));
  file += records;
  file.append(reinterpret_cast<const char*>(trailer.data()), trailer.size());
  return file;
}

std::string TextLike(size_t size, uint32_t seed) {
  static const char* const kWords[] = {"the ", "archive ", "entry ", "data ", "of ", "a ",
                                       "stream\r\n", "kelvane ", "package ", "directory "};
  std::string text;
  while (text.size() < size) {
    seed = seed * 1103515245u + 12345u;
    text += kWords[(seed >> 16) % std::size(kWords)];
  }
  text.resize(size);
  return text;
}

struct Seed {
  const char* file_name;
  std::string image;
  std::vector<SeedEntry> entries;
  std::vector<std::string> paths;
  std::string package = std::string();  // when set, the package as is; image and entries unused
};

// A compressed entry whose data lies after the directory, so that the stream runs into the end
// of the file: a zlib header and a stored block of 1,000 bytes of which only a few exist (the
// trailer's 16 bytes among them), with a stored size reaching past the end. Made by hand, as no
// builder puts data after the directory.
Seed CutByEndOfFile(const std::string& image) {
  const std::string data("\x78\x01\x00\xe8\x03\x17\xfc" "abc", 10);
  const auto directory_offset = static_cast<uint32_t>(image.size());
  const std::string name = "cut.txt";
  fmt::ArchiveEntryInfo info;
  info.attributes = fmt::ATTR_ARCHIVE | fmt::ATTR_COMPRESSED;
  info.unpacked_size = 1000;
  info.stored_size = 5000;
  info.data_offset = static_cast<uint32_t>(directory_offset + fmt::kRecordHeadSize + name.size() +
                                           fmt::kEntryInfoSize);
  std::string file = image + fmt::EncodeRecord(name, info) + data;
  const auto trailer = fmt::EncodeTrailer(directory_offset, 1);
  file.append(reinterpret_cast<const char*>(trailer.data()), trailer.size());
  return {"cut-by-end-of-file", std::string(), {}, {"cut.txt"}, file};
}

std::vector<Seed> MakeSeeds() {
  const std::string image = "\x7f" "ELF fake executable image\n";
  std::vector<Seed> seeds;

  seeds.push_back({"empty", image, {}, {"", "\\", "x"}});
  seeds.push_back({"no-image", "", {{"only.txt", "hello\n", false}}, {"only.txt", "ONLY.TXT"}});

  seeds.push_back({"tree",
                   image,
                   {{"index.html", "<html><body>hi</body></html>\n", true},
                    {"\\docs\\Read Me.txt", TextLike(700, 1), true},
                    {"docs\\stored.bin", std::string("\0\1\2\3\xff", 5), false, fmt::ATTR_READONLY},
                    {"docs\\deep\\er\\leaf.txt", "leaf", true},
                    {"empty-stored", "", false},
                    {"empty-packed", "", true}},
                   {"index.html", "DOCS", "docs\\read me.txt", "\\docs\\deep\\er", "..\\..\\docs",
                    "..", ".", "er\\leaf.txt", "\\empty-packed", "docs\\", "docs\\\\deep",
                    "*\x01" "docs\\", "*\xff" "..\\"}});

  // Long enough to refill the stream's input buffer several times.
  seeds.push_back({"big-text",
                   image,
                   {{"big.txt", TextLike(48 * 1024, 7), true}, {"raw.txt", TextLike(3000, 9), false}},
                   {"big.txt", "raw.txt", "*\x02" "big.txt"}});

  // Enough children in one directory for the list's name index to come into play.
  std::vector<SeedEntry> many;
  for (int i = 0; i < 80; ++i) {
    many.push_back({"d\\File" + std::to_string(i), std::to_string(i), (i % 2) == 0});
  }
  seeds.push_back({"many", image, many, {"d", "d\\file79", "D\\FILE0", "d\\file80", "\\d\\File41"}});

  // The longest name a record may carry.
  std::string longest;
  while (longest.size() + 4 < fmt::kMaxNameLength) longest += "abc\\";
  longest.resize(fmt::kMaxNameLength - 1);
  longest += "z";
  seeds.push_back(
      {"longest-name", image, {{longest, "x", true}}, {longest, "abc\\abc", "*\x03" "abc\\"}});

  // Times far outside the Unix clock's range, zero (1601-01-01) and the largest FILETIME, which
  // Copy applies to the file it writes.
  seeds.push_back({"extreme-times",
                   image,
                   {{"zero.txt", "zero", false, 0, 0}, {"max.txt", "max", true, 0, UINT64_MAX}},
                   {"zero.txt", "max.txt", "*\x02" "long-component\t\\zero.txt", "*\x01" "x"}});

  // An offset of 0xFFFFFFFF, after a good entry has moved the shared descriptor.
  seeds.push_back({"offset-all-ones",
                   image,
                   {{"good.txt", "good data", false}, {"lost.txt", "lost", false, 0, kSomeFileTime,
                                                      0xFFFFFFFFu}},
                   {"lost.txt"}});

  seeds.push_back(CutByEndOfFile(image));
  return seeds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    std::fprintf(stderr, "make_seeds: cannot create %s: %s\n", argv[1], error.message().c_str());
    return 1;
  }
  for (const Seed& seed : MakeSeeds()) {
    std::string input =
        seed.package.empty() ? BuildPackage(seed.image, seed.entries) : seed.package;
    if (input.empty()) {
      std::fprintf(stderr, "make_seeds: zlib failed for %s\n", seed.file_name);
      return 1;
    }
    input += kPathsSeparator;
    for (const std::string& path : seed.paths) input += path + "\n";
    std::ofstream out(folder / seed.file_name, std::ios::binary | std::ios::trunc);
    out.write(input.data(), static_cast<std::streamsize>(input.size()));
    if (!out.flush()) {
      std::fprintf(stderr, "make_seeds: cannot write %s\n", seed.file_name);
      return 1;
    }
  }
  return 0;
}
