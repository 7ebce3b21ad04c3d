// tests/tools/package_writer_test.cpp -- the package writer against the core reader, stored
// entries where deflate would not shrink, the 2^31 arithmetic with a lowered limit, the name
// rules, the tool's own record parser and the test that tells a Kelvane server image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>

#include "app/server_marker.h"
#include "archive/FileArchiveReader.h"
#include "archive/checksum_list.h"
#include "platform/file_io.h"
#include "tools/package_inspect.h"
#include "tools/package_names.h"
#include "tools/package_writer.h"
#include "tools/server_image.h"
#include "tools/glob_match.h"
#include "tools/tool_files.h"
#include "util/sha256.h"

#ifndef _WIN32
#include <fnmatch.h>
#endif

namespace kelvane::pack {
namespace {

namespace fs = std::filesystem;

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(gen());
  return bytes;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteAllTo(const fs::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class TempDir {
 public:
  TempDir() {
    std::random_device seed;
    for (;;) {
      path_ = fs::temp_directory_path() / ("kelvane-pack-test-" + std::to_string(seed()));
      if (fs::create_directory(path_)) break;
    }
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Bytes that deflate shrinks, but not to nothing: words drawn at random.
std::string WordBytes(size_t size, unsigned seed) {
  static const char* const kWords[] = {"kelvane ", "package ", "entry ", "stream ", "folder "};
  std::mt19937 gen(seed);
  std::string text;
  while (text.size() < size) text += kWords[gen() % 5];
  text.resize(size);
  return text;
}

// The smallest ELF64 executable layout CheckServerImage accepts: the header, |size| - 256
// bytes of random content (holding the server marker in the middle when |marked|), and three
// section headers at the end: the null one, one over the content, and a NOBITS one whose size
// must not count.
std::string FakeServerImage(size_t size, bool marked = true) {
  std::string image = RandomBytes(size, 77);
  auto* bytes = reinterpret_cast<uint8_t*>(image.data());
  std::fill(bytes, bytes + 64, uint8_t{0});
  std::memcpy(bytes, "\x7f" "ELF\x02\x01\x01", 7);
  archive::StoreU16(bytes + 16, 3);  // position-independent executable
  archive::StoreU64(bytes + 40, size - 192);
  archive::StoreU16(bytes + 58, 64);
  archive::StoreU16(bytes + 60, 3);
  uint8_t* sections = bytes + size - 192;
  std::fill(sections, sections + 192, uint8_t{0});
  archive::StoreU32(sections + 64 + 4, 1);
  archive::StoreU64(sections + 64 + 24, 64);
  archive::StoreU64(sections + 64 + 32, size - 256);
  archive::StoreU32(sections + 128 + 4, 8);
  archive::StoreU64(sections + 128 + 24, size - 192);
  archive::StoreU64(sections + 128 + 32, uint64_t{1} << 40);
  if (marked) image.replace(size / 2, app::kServerMarker.size(), app::kServerMarker);
  return image;
}

// A PE32+ x86-64 image as MinGW lays one out: the DOS header pointing at the PE headers right
// after it, an optional header with 16 data directories, two sections (the server marker in the
// middle of the second when |marked|), headers padded to 0x200 and sections raw from there to
// the end of the |size| bytes.
constexpr size_t kPeAt = 64;
constexpr size_t kOptionalAt = kPeAt + 24;
constexpr size_t kPeSectionsAt = kOptionalAt + 240;
std::string FakePeServerImage(size_t size, bool marked = true) {
  std::string image = RandomBytes(size, 78);
  auto* bytes = reinterpret_cast<uint8_t*>(image.data());
  std::fill(bytes, bytes + 0x200, uint8_t{0});
  std::memcpy(bytes, "MZ", 2);
  archive::StoreU32(bytes + 0x3C, kPeAt);
  std::memcpy(bytes + kPeAt, "PE\0\0", 4);
  archive::StoreU16(bytes + kPeAt + 4, 0x8664);
  archive::StoreU16(bytes + kPeAt + 6, 2);
  archive::StoreU16(bytes + kPeAt + 20, 240);
  archive::StoreU16(bytes + kPeAt + 22, 0x0022);  // executable, large-address aware
  archive::StoreU16(bytes + kOptionalAt, 0x20B);
  archive::StoreU32(bytes + kOptionalAt + 60, 0x200);
  archive::StoreU32(bytes + kOptionalAt + 108, 16);
  archive::StoreU32(bytes + kPeSectionsAt + 16, 0x400);
  archive::StoreU32(bytes + kPeSectionsAt + 20, 0x200);
  archive::StoreU32(bytes + kPeSectionsAt + 40 + 16, static_cast<uint32_t>(size - 0x600));
  archive::StoreU32(bytes + kPeSectionsAt + 40 + 20, 0x600);
  if (marked) image.replace(size / 2, app::kServerMarker.size(), app::kServerMarker);
  return image;
}

struct Sample {
  const char* name;
  std::string content;
  bool store;           // asked for
  uint32_t attributes;  // what the writer must choose
};

// Inputs covering the writer's paths: empty, chunk boundaries of 64 KiB, stored on request,
// compressed, and stored because deflate would not shrink them (the last one too, so that a
// taken-back attempt at the end of the data shows).
std::vector<Sample> Samples() {
  return {
      {"empty.txt", "", false, kStoredAttributes},  // deflate makes 8 bytes of nothing
      {"empty-stored", "", true, kStoredAttributes},
      {"docs\\chunk.txt", WordBytes(64 * 1024, 1), false, kCompressedAttributes},
      {"docs\\deep\\over.txt", WordBytes(64 * 1024 + 1, 2), false, kCompressedAttributes},
      {"docs\\deep\\stored.bin", RandomBytes(200000, 3), true, kStoredAttributes},
      {"docs\\deep\\stored.txt", WordBytes(5000, 4), true, kStoredAttributes},
      {"short.txt", "abc", false, kStoredAttributes},
      {"text.txt", std::string(300000, 'k'), false, kCompressedAttributes},
      {"random.bin", RandomBytes(64 * 1024 * 3, 5), false, kStoredAttributes},
  };
}

std::vector<PackInput> SampleInputs() {
  std::vector<PackInput> inputs;
  for (const Sample& sample : Samples()) {
    inputs.push_back(MakeContentInput(sample.name, sample.content, 0x01D9000000000000));
    inputs.back().store = sample.store;
  }
  return inputs;
}

TEST(PackageWriterTest, PackageReadsBackThroughTheCoreReader) {
  TempDir dir;
  const std::string image = FakeServerImage(229376);
  WriteAllTo(dir.path() / "server", image);
  const std::vector<Sample> samples = Samples();
  const std::vector<PackInput> inputs = SampleInputs();
  const std::string package = (dir.path() / "server.pkg").string();
  std::string error;
  ASSERT_TRUE(BuildPackage((dir.path() / "server").string(), inputs, package, nullptr, &error))
      << error;

  archive::FileArchiveReader reader;
  ASSERT_TRUE(reader.Open(package));
  const archive::ArchiveCursor root(reader.directory());
  for (size_t i = 0; i < inputs.size(); ++i) {
    const PackInput& input = inputs[i];
    SCOPED_TRACE(input.name);
    const auto stream = reader.OpenFile(root, input.name);
    ASSERT_NE(nullptr, stream);
    EXPECT_EQ(samples[i].attributes, stream->info().attributes);
    EXPECT_EQ(samples[i].attributes == kStoredAttributes, !stream->info().compressed());
    EXPECT_EQ(input.last_write_time, stream->info().last_write_time);
    std::string content;
    char buffer[7000];  // not a divisor of the chunk size
    while (const size_t n = stream->ActiveSource()->Read(buffer, sizeof buffer)) {
      content.append(buffer, n);
    }
    EXPECT_FALSE(stream->ActiveSource()->failed());
    EXPECT_EQ(input.content, content);
  }

  // Data follows the image in record order with no gap; the directory follows the data.
  platform::UniqueFd fd = platform::OpenReadOnly(package);
  const PackageDirectory directory = ReadPackageDirectory(fd.get());
  ASSERT_TRUE(directory.fault.empty()) << directory.fault;
  ASSERT_EQ(inputs.size(), directory.records.size());
  uint64_t expected_offset = image.size();
  for (size_t i = 0; i < inputs.size(); ++i) {
    EXPECT_EQ(inputs[i].name, directory.records[i].name);
    EXPECT_EQ(expected_offset, directory.records[i].info.data_offset);
    EXPECT_EQ("", CheckEntryData(fd.get(), directory.records[i].info, nullptr));
    expected_offset += directory.records[i].info.stored_size;
  }
  EXPECT_EQ(expected_offset, directory.trailer.directory_offset);
  EXPECT_EQ(directory.file_length - archive::kTrailerSize, directory.records_end);
  EXPECT_EQ(image.size(), FindImageEnd(directory));
  EXPECT_EQ(image, ReadAll(package).substr(0, image.size()));

  // Building onto the package replaces it rather than nesting it; strip gives the image back.
  const std::string again = (dir.path() / "again.pkg").string();
  ASSERT_TRUE(BuildPackage(package, inputs, again, nullptr, &error)) << error;
  EXPECT_EQ(ReadAll(package), ReadAll(again));
  ASSERT_TRUE(StripPackage(again, (dir.path() / "bare").string(), &error)) << error;
  EXPECT_EQ(image, ReadAll(dir.path() / "bare"));
}

TEST(PackageWriterTest, ChecksumListCoversEveryEntryWrittenBeforeIt) {
  TempDir dir;
  WriteAllTo(dir.path() / "image", RandomBytes(1000, 4));
  WriteAllTo(dir.path() / "from-file", WordBytes(100000, 9));
  platform::UniqueFd image = platform::OpenReadOnly((dir.path() / "image").string());
  // The samples take every path of the writer, the incompressible ones written twice.
  std::vector<PackInput> inputs = SampleInputs();
  inputs.push_back(MakeContentInput("Password.txt", "secret", 0x01D9000000000000));
  inputs.push_back(MakeContentInput("sub\\password.txt", "not the password", 0x01D9000000000000));
  PackInput from_file;
  from_file.name = "file.txt";
  from_file.source_path = (dir.path() / "from-file").string();
  from_file.size = 100000;
  inputs.push_back(from_file);
  std::string expected;
  for (const PackInput& input : inputs) {
    if (input.name == "Password.txt") continue;
    const std::string content =
        input.source_path.empty() ? input.content : ReadAll(input.source_path);
    expected += util::ToHex(util::Sha256::Of(content)) + "  " + archive::ChecksumName(input.name) +
                "\n";
  }
  inputs.push_back(MakeChecksumsInput(inputs, 0x01D9000000000000));
  EXPECT_EQ(expected.size(), inputs.back().size);

  for (const bool store : {false, true}) {
    SCOPED_TRACE(store);
    inputs.back().store = store;
    bool regular = false;
    platform::UniqueFd out = platform::CreateForWriting((dir.path() / "out").string(), &regular);
    std::string error;
    ASSERT_TRUE(WritePackage(out.get(), image.get(), 1000, inputs, nullptr, &error)) << error;
    out.Reset();
    archive::FileArchiveReader reader;
    ASSERT_TRUE(reader.Open((dir.path() / "out").string()));
    const auto stream = reader.OpenFile(archive::ArchiveCursor(reader.directory()), "SHA256SUMS");
    ASSERT_NE(nullptr, stream);
    EXPECT_EQ(store, !stream->info().compressed());
    std::string content;
    char buffer[4096];
    while (const size_t n = stream->ActiveSource()->Read(buffer, sizeof buffer)) {
      content.append(buffer, n);
    }
    EXPECT_EQ(expected, content);
  }
}

TEST(PackageWriterTest, RefusesExactlyThePackagesThatReachTheLengthLimit) {
  TempDir dir;
  WriteAllTo(dir.path() / "image", RandomBytes(1000, 4));
  platform::UniqueFd image = platform::OpenReadOnly((dir.path() / "image").string());
  const struct {
    const char* label;
    bool store;
  } cases[] = {{"stored: refused before writing", true}, {"compressed: refused mid-entry", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<PackInput> inputs = SampleInputs();
    for (PackInput& input : inputs) input.store = c.store;
    // The length the package has without a limit, then the limits around it.
    const uint64_t unlimited = [&] {
      bool regular = false;
      platform::UniqueFd out = platform::CreateForWriting((dir.path() / "out").string(), &regular);
      std::string error;
      EXPECT_TRUE(WritePackage(out.get(), image.get(), 1000, inputs, nullptr, &error)) << error;
      return static_cast<uint64_t>(platform::FileSize(out.get()));
    }();
    for (const uint64_t limit : {unlimited + 1, unlimited, unlimited - 1, uint64_t{2000}}) {
      SCOPED_TRACE(limit);
      bool regular = false;
      platform::UniqueFd out = platform::CreateForWriting((dir.path() / "out").string(), &regular);
      std::string error;
      const bool ok = WritePackage(out.get(), image.get(), 1000, inputs, nullptr, &error, limit);
      EXPECT_EQ(limit > unlimited, ok) << error;
      if (!ok) {
        EXPECT_NE(std::string::npos, error.find(std::to_string(limit))) << error;
      }
      // A stored package's size is known up front: nothing is written before the refusal.
      if (!ok && c.store) {
        EXPECT_EQ(0, platform::FileSize(out.get()));
      }
    }
  }
}

TEST(PackageLayoutTest, LengthStaysBelow2GiB) {
  constexpr uint64_t kLimit = archive::kMaxOffset;
  const struct {
    uint64_t image, directory, data;
    bool fits;
  } cases[] = {
      {kLimit - 17, 0, 0, true},   // length 2^31 - 1
      {kLimit - 16, 0, 0, false},  // length 2^31
      {0, 42, kLimit - 59, true},  {0, 42, kLimit - 58, false},
      {229376, 0, UINT64_MAX, false},  // no wrap-around
      {kLimit, 0, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.image << " + " << c.directory << " + " << c.data);
    PackageLayout layout(c.image, c.directory);
    EXPECT_EQ(c.fits, layout.AddData(c.data));
    EXPECT_EQ(c.fits ? c.image + c.data : c.image, layout.data_end());
  }
}

TEST(NameCheckerTest, RefusesTheNameThatConflicts) {
  const std::string long_name = std::string(100, 'd') + "\\" + std::string(158, 'f');  // 259
  const struct {
    std::vector<std::string> names;
    size_t refused;  // index of the first refused name; names.size() when none
    bool strict;
  } cases[] = {
      {{"a", "b\\a", "B\\c"}, 2, true},  // directory spelled two ways
      {{"a", "b\\a", "B\\c"}, 3, false},
      {{"Readme.txt", "README.TXT"}, 1, false},
      {{"a", "A\\b"}, 1, false},  // a file, then a directory of the same name
      {{"A\\b", "a"}, 1, false},  // a directory, then a file
      {{"x\\y\\z", "X\\Y"}, 1, false},
      {{"\\lead", "LEAD"}, 1, false},  // the leading separator does not count
      {{long_name, long_name + "x"}, 1, true},
      {{""}, 0, false},
      {{"a\\b", "a\\bc", "ab"}, 3, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.names.back());
    NameChecker checker(c.strict);
    size_t refused = c.names.size();
    for (size_t i = 0; i < c.names.size() && refused == c.names.size(); ++i) {
      if (!checker.Add(c.names[i]).empty()) refused = i;
    }
    EXPECT_EQ(c.refused, refused);
  }
}

TEST(ExtractionPathTest, KeepsEveryNameInsideTheFolder) {
  const struct {
    std::string_view name;
    const char* path;  // nullptr when refused
  } cases[] = {
      {"a\\b.txt", "a/b.txt"}, {"\\a", "a"},       {"..", nullptr},     {"a\\..\\..\\x", nullptr},
      {"a\\.\\b", nullptr},     {"\\\\x", nullptr}, {"a\\", nullptr},    {"", nullptr},
      {"a/../x", nullptr},      {"..x", "..x"},     {std::string_view("a\0b", 3), nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Printable(c.name));
    const auto path = ExtractionPath(c.name);
    ASSERT_EQ(c.path != nullptr, path.has_value());
    if (path) {
      EXPECT_EQ(c.path, *path);
    }
  }
}

// A package whose directory is cut at every byte position, with a valid trailer after the
// cut, yields exactly the records before the cut and a fault; never a record from outside.
TEST(ReadPackageDirectoryTest, RecordsCutAtEveryPositionAreFaults) {
  TempDir dir;
  WriteAllTo(dir.path() / "image", FakeServerImage(4096));
  std::vector<PackInput> inputs = SampleInputs();
  inputs.resize(3);
  std::string error;
  ASSERT_TRUE(BuildPackage((dir.path() / "image").string(), inputs,
                           (dir.path() / "p").string(), nullptr, &error));
  const std::string whole = ReadAll(dir.path() / "p");
  const archive::ArchiveTrailer trailer =
      archive::DecodeTrailer(reinterpret_cast<const uint8_t*>(whole.data()) + whole.size() - 16);
  const size_t records_end = whole.size() - 16;
  std::vector<size_t> record_ends;
  for (size_t pos = trailer.directory_offset, i = 0; i < inputs.size(); ++i) {
    pos += 2 + inputs[i].name.size() + 40;
    record_ends.push_back(pos);
  }
  for (size_t cut = trailer.directory_offset; cut < records_end; ++cut) {
    SCOPED_TRACE(cut);
    const auto new_trailer = archive::EncodeTrailer(trailer.directory_offset, trailer.entry_count);
    WriteAllTo(dir.path() / "cut", whole.substr(0, cut) +
                                       std::string(new_trailer.begin(), new_trailer.end()));
    platform::UniqueFd fd = platform::OpenReadOnly((dir.path() / "cut").string());
    const PackageDirectory cut_dir = ReadPackageDirectory(fd.get());
    EXPECT_TRUE(cut_dir.has_trailer);
    EXPECT_FALSE(cut_dir.fault.empty());
    EXPECT_FALSE(FindImageEnd(cut_dir).has_value());
    size_t whole_records = 0;
    while (whole_records < record_ends.size() && record_ends[whole_records] <= cut) ++whole_records;
    EXPECT_LE(cut_dir.records.size(), whole_records);
  }
}

// Any single damaged byte of a compressed entry's data, or any shortened stored size, is found.
TEST(CheckEntryDataTest, FindsEveryFlippedByteAndEveryShortening) {
  TempDir dir;
  WriteAllTo(dir.path() / "image", FakeServerImage(4096));
  const std::vector<PackInput> inputs = {
      MakeContentInput("t.txt", "the quick brown fox jumps over the lazy dog, twice: " +
                                    std::string("the quick brown fox jumps over the lazy dog"), 0)};
  std::string error;
  ASSERT_TRUE(BuildPackage((dir.path() / "image").string(), inputs,
                           (dir.path() / "p").string(), nullptr, &error));
  const std::string whole = ReadAll(dir.path() / "p");
  platform::UniqueFd fd = platform::OpenReadOnly((dir.path() / "p").string());
  const archive::ArchiveEntryInfo info = ReadPackageDirectory(fd.get()).records.at(0).info;
  ASSERT_TRUE(info.compressed());
  ASSERT_EQ(0x78, static_cast<uint8_t>(whole[info.data_offset]));
  ASSERT_EQ(0x9C, static_cast<uint8_t>(whole[info.data_offset + 1]));
  for (uint32_t i = 0; i < info.stored_size; ++i) {
    SCOPED_TRACE(i);
    std::string damaged = whole;
    damaged[info.data_offset + i] ^= 0x55;
    WriteAllTo(dir.path() / "d", damaged);
    platform::UniqueFd damaged_fd = platform::OpenReadOnly((dir.path() / "d").string());
    EXPECT_NE("", CheckEntryData(damaged_fd.get(), info, nullptr));
    archive::ArchiveEntryInfo shorter = info;
    shorter.stored_size = i;
    EXPECT_NE("", CheckEntryData(fd.get(), shorter, nullptr));
  }
}

// The scan's size decides when a deflate attempt is given up; a file that changed size since
// its scan still ends up stored whole, and the package ends with its trailer (the attempt that
// was taken back may have run past everything written after it).
TEST(PackageWriterTest, StoresAnEntryWhoseScannedSizeWasWrong) {
  TempDir dir;
  WriteAllTo(dir.path() / "server", FakeServerImage(8192));
  const struct {
    const char* label;
    size_t actual;
    uint64_t scanned;
  } cases[] = {
      {"shrank since the scan", 2 * 1024 * 1024, 3 * 1024 * 1024},
      {"grew since the scan", 200000, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string content = RandomBytes(c.actual, 6);
    WriteAllTo(dir.path() / "source", content);
    PackInput input = MakeContentInput("changed.bin", "", 0);
    input.source_path = (dir.path() / "source").string();
    input.size = c.scanned;
    const std::string package = (dir.path() / "p").string();
    std::string error;
    ASSERT_TRUE(BuildPackage((dir.path() / "server").string(), {input}, package, nullptr, &error))
        << error;
    platform::UniqueFd fd = platform::OpenReadOnly(package);
    const PackageDirectory directory = ReadPackageDirectory(fd.get());
    ASSERT_TRUE(directory.fault.empty()) << directory.fault;
    ASSERT_EQ(1u, directory.records.size());
    const archive::ArchiveEntryInfo& info = directory.records[0].info;
    EXPECT_EQ(kStoredAttributes, info.attributes);
    EXPECT_EQ(c.actual, info.unpacked_size);
    EXPECT_EQ("", CheckEntryData(fd.get(), info, nullptr));
    EXPECT_EQ(content, ReadAll(package).substr(info.data_offset, info.stored_size));
    EXPECT_EQ(directory.file_length - archive::kTrailerSize, directory.records_end);
  }
}

TEST(BuildPackageTest, RefusesAnythingButABareServer) {
  TempDir dir;
  const std::string server = FakeServerImage(8192);
  const std::vector<PackInput> inputs = SampleInputs();
  WriteAllTo(dir.path() / "server", server);
  std::string error;
  ASSERT_TRUE(BuildPackage((dir.path() / "server").string(), inputs,
                           (dir.path() / "packaged").string(), nullptr, &error))
      << error;
  const std::string packaged = ReadAll(dir.path() / "packaged");
  std::string damaged_trailer = packaged;
  damaged_trailer.back() = static_cast<char>(damaged_trailer.back() ^ 1);
  std::string elf32 = server;
  elf32[4] = 1;
  std::string relocatable = server;
  relocatable[16] = 1;
  const std::string unmarked = FakeServerImage(8192, /*marked=*/false);

  const struct {
    const char* label;
    std::string image;
    const char* refusal;  // nullptr when accepted
  } cases[] = {
      {"bare server", server, nullptr},
      {"server carrying a package", packaged, nullptr},
      {"random bytes", RandomBytes(8192, 8), "ELF"},
      {"nothing", "", "ELF"},
      {"32-bit ELF", elf32, "ELF"},
      {"relocatable object", relocatable, "ELF"},
      {"ELF without the marker", unmarked, "marker"},
      {"marker only after the ELF content", unmarked + std::string(app::kServerMarker),
       "follow its ELF content"},
      {"server with bytes appended", server + "tail", "follow its ELF content"},
      {"package without its trailer", packaged.substr(0, packaged.size() - 16),
       "follow its ELF content"},
      {"package with a damaged trailer", damaged_trailer, "damaged package trailer"},
      {"truncated server", server.substr(0, 4096), "outside the file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    WriteAllTo(dir.path() / "base", c.image);
    const fs::path output = dir.path() / "out";
    fs::remove(output);
    const size_t files_before = std::distance(fs::directory_iterator(dir.path()), {});
    error.clear();
    const bool ok = BuildPackage((dir.path() / "base").string(), inputs, output.string(),
                                 nullptr, &error);
    EXPECT_EQ(c.refusal == nullptr, ok) << error;
    if (ok) {
      EXPECT_EQ(packaged, ReadAll(output));  // a carried package is replaced, not nested
      continue;
    }
    EXPECT_NE(std::string::npos, error.find(c.refusal)) << error;
    EXPECT_NE(std::string::npos, error.find((dir.path() / "base").string())) << error;
    EXPECT_EQ(files_before, std::distance(fs::directory_iterator(dir.path()), {}));
  }
}

// Header fields chosen so that every naive sum or product wraps around; each must be refused
// as pointing outside, without reading there (the sanitizers watch the arithmetic).
TEST(ElfContentEndTest, RefusesHeadersThatPointOutside) {
  TempDir dir;
  constexpr size_t kSize = 8192;
  constexpr size_t kSections = kSize - 192;
  struct Patch {
    size_t offset;
    uint64_t value;
    int width;  // 2 or 8 bytes
  };
  constexpr Patch kOneProgramHeader[] = {{54, 56, 2}, {56, 1, 2}};
  const struct {
    const char* label;
    std::vector<Patch> patches;
    std::optional<uint64_t> end;
  } cases[] = {
      {"unchanged", {}, kSize},
      {"section table past the end", {{40, kSize - 100, 8}}, std::nullopt},
      {"section table offset wraps", {{40, UINT64_MAX - 8, 8}}, std::nullopt},
      {"section count too large", {{60, 1000, 2}}, std::nullopt},
      {"count in section 0 too large", {{60, 0, 2}, {kSections + 32, UINT64_MAX, 8}},
       std::nullopt},
      {"section offset wraps", {{kSections + 64 + 24, UINT64_MAX, 8}}, std::nullopt},
      {"section size wraps", {{kSections + 64 + 32, UINT64_MAX - 10, 8}}, std::nullopt},
      {"program table wraps", {kOneProgramHeader[0], kOneProgramHeader[1],
                               {32, UINT64_MAX - 8, 8}}, std::nullopt},
      {"program segment wraps", {kOneProgramHeader[0], kOneProgramHeader[1], {32, 64, 8},
                                 {64 + 8, 100, 8}, {64 + 32, UINT64_MAX - 50, 8}},
       std::nullopt},
      {"program headers too small", {{54, 20, 2}, {56, 1, 2}}, std::nullopt},
      {"content ends early", {{kSections + 64 + 32, 100, 8}}, kSize},  // the table is last
      {"headers cover only the start",  // a null section right after the header
       {{40, 64, 8}, {60, 1, 2}, {64 + 4, 0, 8}, {64 + 24, 0, 8}, {64 + 32, 0, 8}}, 128},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::string image = FakeServerImage(kSize);
    auto* bytes = reinterpret_cast<uint8_t*>(image.data());
    for (const Patch& patch : c.patches) {
      if (patch.width == 2) archive::StoreU16(bytes + patch.offset, static_cast<uint16_t>(patch.value));
      if (patch.width == 8) archive::StoreU64(bytes + patch.offset, patch.value);
    }
    WriteAllTo(dir.path() / "elf", image);
    platform::UniqueFd fd = platform::OpenReadOnly((dir.path() / "elf").string());
    std::string error;
    const auto end = ElfContentEnd(fd.get(), kSize, &error);
    EXPECT_EQ(c.end, end) << error;
    if (!end) {
      EXPECT_FALSE(error.empty());
    }
  }
}

// Each case patches the image FakePeServerImage builds; PointerToRawData and SizeOfRawData are
// 32-bit, so the sums must be taken in 64 bits and checked against the file's size.
TEST(PeContentEndTest, FindsTheEndAndRefusesHeadersThatPointOutside) {
  TempDir dir;
  constexpr size_t kSize = 8192;
  constexpr size_t kSecond = kPeSectionsAt + 40;
  struct Patch {
    size_t offset;
    uint32_t value;
    int width;  // 2 or 4 bytes
  };
  const struct {
    const char* label;
    size_t size;
    std::vector<Patch> patches;
    std::optional<uint64_t> end;
  } cases[] = {
      {"unchanged", kSize, {}, kSize},
      {"truncated DOS header", 40, {}, std::nullopt},
      {"PE headers cut off", kPeAt + 10, {}, std::nullopt},
      {"e_lfanew past the end", kSize, {{0x3C, kSize - 8, 4}}, std::nullopt},
      {"e_lfanew far out", kSize, {{0x3C, 0xFFFFFFF0u, 4}}, std::nullopt},
      {"no PE signature", kSize, {{kPeAt, 0x4551, 4}}, std::nullopt},  // "QE\0\0"
      {"i386 machine", kSize, {{kPeAt + 4, 0x14C, 2}}, std::nullopt},
      {"PE32 optional header", kSize, {{kOptionalAt, 0x10B, 2}}, std::nullopt},
      {"a DLL", kSize, {{kPeAt + 22, 0x2022, 2}}, std::nullopt},
      {"not an executable image", kSize, {{kPeAt + 22, 0x0020, 2}}, std::nullopt},
      {"optional header too small", kSize, {{kPeAt + 20, 96, 2}}, std::nullopt},
      {"section beyond the file", kSize, {{kSecond + 20, kSize - 16, 4}}, std::nullopt},
      {"section size past 4 GiB", kSize, {{kSecond + 20, 0xFFFFFF00u, 4}, {kSecond + 16, 0x200, 4}},
       std::nullopt},
      {"section table past the end", kSize, {{kPeAt + 6, 300, 2}}, std::nullopt},
      {"content ends early", kSize, {{kSecond + 16, 0x1000, 4}}, 0x1600},
      {"sections before the first count", kSize, {{kSecond + 16, 0, 4}}, 0x600},
      {"headers the furthest", kSize, {{kSecond + 16, 0, 4}, {kOptionalAt + 60, 0x1800, 4}},
       0x1800},
      {"headers past the end", kSize, {{kOptionalAt + 60, kSize + 1, 4}}, std::nullopt},
      {"symbols and strings after the sections", kSize + 18 * 2 + 10,
       {{kSecond + 16, kSize - 0x600, 4}, {kPeAt + 12, kSize, 4}, {kPeAt + 16, 2, 4},
        {kSize + 36, 10, 4}},
       kSize + 46},
      {"string table cut off", kSize + 18 * 2 + 2,
       {{kSecond + 16, kSize - 0x600, 4}, {kPeAt + 12, kSize, 4}, {kPeAt + 16, 2, 4}},
       std::nullopt},
      {"certificate table after the sections", kSize + 100,
       {{kSecond + 16, kSize - 0x600, 4}, {kOptionalAt + 112 + 32, kSize, 4},
        {kOptionalAt + 112 + 36, 100, 4}},
       kSize + 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::string image = FakePeServerImage(std::max<size_t>(c.size, kSize));
    auto* bytes = reinterpret_cast<uint8_t*>(image.data());
    for (const Patch& patch : c.patches) {
      if (patch.width == 2) archive::StoreU16(bytes + patch.offset, static_cast<uint16_t>(patch.value));
      if (patch.width == 4) archive::StoreU32(bytes + patch.offset, patch.value);
    }
    image.resize(c.size);
    WriteAllTo(dir.path() / "pe", image);
    platform::UniqueFd fd = platform::OpenReadOnly((dir.path() / "pe").string());
    std::string error;
    const auto end = PeContentEnd(fd.get(), c.size, &error);
    EXPECT_EQ(c.end, end) << error;
    if (!end) {
      EXPECT_FALSE(error.empty());
    }
  }
}

TEST(BuildPackageTest, TakesAPeServerLikeAnElfOne) {
  TempDir dir;
  const std::string server = FakePeServerImage(8192);
  const std::vector<PackInput> inputs = SampleInputs();
  WriteAllTo(dir.path() / "server.exe", server);
  std::string error;
  ASSERT_TRUE(BuildPackage((dir.path() / "server.exe").string(), inputs,
                           (dir.path() / "packaged.exe").string(), nullptr, &error))
      << error;
  const std::string packaged = ReadAll(dir.path() / "packaged.exe");
  ASSERT_EQ(server, packaged.substr(0, server.size()));
  std::string amd64_to_arm64 = server;
  amd64_to_arm64[kPeAt + 4] = static_cast<char>(0x64);
  amd64_to_arm64[kPeAt + 5] = static_cast<char>(0xAA);
  const struct {
    const char* label;
    std::string image;
    const char* refusal;  // nullptr when accepted
  } cases[] = {
      {"bare server", server, nullptr},
      {"server carrying a package", packaged, nullptr},
      {"without the marker", FakePeServerImage(8192, /*marked=*/false), "marker"},
      {"bytes appended", server + "tail", "follow its PE content"},
      {"package without its trailer", packaged.substr(0, packaged.size() - 16),
       "follow its PE content"},
      {"another machine", amd64_to_arm64, "PE32+"},
      {"truncated", server.substr(0, 4096), "outside the file"},
      {"only MZ", "MZ", "PE32+"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    WriteAllTo(dir.path() / "base.exe", c.image);
    const fs::path output = dir.path() / "out.exe";
    fs::remove(output);
    error.clear();
    const bool ok = BuildPackage((dir.path() / "base.exe").string(), inputs, output.string(),
                                 nullptr, &error);
    EXPECT_EQ(c.refusal == nullptr, ok) << error;
    if (ok) {
      EXPECT_EQ(packaged, ReadAll(output));
    } else {
      EXPECT_NE(std::string::npos, error.find(c.refusal)) << error;
      EXPECT_FALSE(fs::exists(output));
    }
  }
}

// The expectations are fnmatch's; on Linux every case is also put to fnmatch itself, which
// --store-pattern uses there, so that the two platforms cannot drift apart.
TEST(GlobMatchTest, AnswersAsFnmatchDoes) {
  const struct {
    const char* pattern;
    const char* text;
    bool slash_separates;
    bool matches;
  } cases[] = {
      {"*.png", "logo.png", true, true},
      {"*.png", "img/logo.png", true, false},
      {"*.png", "img/logo.png", false, true},
      {"img/*.png", "img/logo.png", true, true},
      {"img/*", "img/sub/logo.png", true, false},
      {"*/*/*.png", "img/sub/logo.png", true, true},
      {"*", "", true, true},
      {"?", "", true, false},
      {"?", "/", true, false},
      {"?", "/", false, true},
      {"a?c", "abc", true, true},
      {"a*b*c", "aXbYbZc", true, true},
      {"a*b*c", "aXbYbZ", true, false},
      {"*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", true, false},
      {"[abc].txt", "b.txt", true, true},
      {"[!abc].txt", "b.txt", true, false},
      {"[^abc].txt", "d.txt", true, true},
      {"[a-c]x", "cx", true, true},
      {"[a-c]x", "dx", true, false},
      {"[]]", "]", true, true},
      {"[!]]", "]", true, false},
      {"[a-]", "-", true, true},
      {"[/]", "/", true, false},
      {"[[:digit:]][[:alpha:]]", "7q", true, true},
      {"[[:upper:]]", "q", true, false},
      {"[", "[", true, true},
      {"[ab", "[ab", true, true},
      {"\\\\*", "\\x", true, true},
      {"\\*", "*", true, true},
      {"\\*", "x", true, false},
      {"a\\?", "a?", true, true},
      {"a\\?", "ab", true, false},
      {"[\\]]", "]", true, true},
      {"\\", "\\", true, false},  // a pattern that ends in a lone '\\' matches nothing
      {"a*\\", "ab\\", false, false},
      {"*.TXT", "a.txt", true, false},
      {"**", "a/b", true, false},
      {"\xc3\xa9*", "\xc3\xa9t\xc3\xa9", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " on " + c.text);
    EXPECT_EQ(c.matches, GlobMatch(c.pattern, c.text, c.slash_separates));
    EXPECT_EQ(c.matches, WildcardMatch(c.pattern, c.text, c.slash_separates));
#ifndef _WIN32
    EXPECT_EQ(c.matches,
              ::fnmatch(c.pattern, c.text, c.slash_separates ? FNM_PATHNAME : 0) == 0);
#endif
  }
}

// The search reads in pieces: a marker straddling a piece boundary, at either end of the
// range, or cut by the range's end must all be told right.
TEST(HoldsServerMarkerTest, FindsTheMarkerAcrossEveryReadBoundary) {
  TempDir dir;
  constexpr size_t kPiece = 64 * 1024;
  const std::string_view marker = app::kServerMarker;
  const std::string plain = RandomBytes(3 * kPiece, 10);
  const std::string path = (dir.path() / "image").string();
  std::vector<size_t> positions = {0, plain.size() - marker.size()};
  for (size_t pos = kPiece - marker.size() - 1; pos <= kPiece + 1; ++pos) positions.push_back(pos);
  for (const size_t pos : positions) {
    SCOPED_TRACE(pos);
    for (const bool whole : {true, false}) {
      std::string image = plain;
      image.replace(pos, marker.size(), whole ? marker : marker.substr(0, marker.size() - 1));
      WriteAllTo(path, image);
      platform::UniqueFd fd = platform::OpenReadOnly(path);
      std::string error;
      EXPECT_EQ(whole, HoldsServerMarker(fd.get(), image.size(), &error)) << error;
      EXPECT_EQ(false, HoldsServerMarker(fd.get(), pos + marker.size() - 1, &error)) << error;
    }
  }
}

}  // namespace
}  // namespace kelvane::pack
