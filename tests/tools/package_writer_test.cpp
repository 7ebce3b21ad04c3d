// tests/tools/package_writer_test.cpp -- the package writer against the core reader, the
// 2^31 arithmetic with a lowered limit, the name rules and the tool's own record parser.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "archive/FileArchiveReader.h"
#include "platform/file_io.h"
#include "tools/package_inspect.h"
#include "tools/package_names.h"
#include "tools/package_writer.h"

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
    char pattern[] = "/tmp/kelvane-pack-test-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Inputs covering the writer's paths: empty, chunk boundaries of 64 KiB, stored and
// compressed, incompressible data, nested names.
std::vector<PackInput> SampleInputs() {
  std::vector<PackInput> inputs;
  auto add = [&](std::string name, std::string content, bool store) {
    inputs.push_back(MakeContentInput(std::move(name), std::move(content), 0x01D9000000000000));
    inputs.back().store = store;
  };
  add("empty.txt", "", false);
  add("empty-stored", "", true);
  add("docs\\chunk.bin", RandomBytes(64 * 1024, 1), false);
  add("docs\\deep\\over.bin", RandomBytes(64 * 1024 + 1, 2), false);
  add("docs\\deep\\stored.bin", RandomBytes(200000, 3), true);
  add("text.txt", std::string(300000, 'k'), false);
  return inputs;
}

TEST(PackageWriterTest, PackageReadsBackThroughTheCoreReader) {
  TempDir dir;
  const std::string image = RandomBytes(229376, 9);
  WriteAllTo(dir.path() / "server", image);
  const std::vector<PackInput> inputs = SampleInputs();
  const std::string package = (dir.path() / "server.pkg").string();
  std::string error;
  ASSERT_TRUE(BuildPackage((dir.path() / "server").string(), inputs, package, nullptr, &error))
      << error;

  archive::FileArchiveReader reader;
  ASSERT_TRUE(reader.Open(package));
  const archive::ArchiveCursor root(reader.directory());
  for (const PackInput& input : inputs) {
    SCOPED_TRACE(input.name);
    const auto stream = reader.OpenFile(root, input.name);
    ASSERT_NE(nullptr, stream);
    EXPECT_EQ(input.store ? kStoredAttributes : kCompressedAttributes, stream->info().attributes);
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
  EXPECT_EQ(image.size(), FindImageEnd(directory));
  EXPECT_EQ(image, ReadAll(package).substr(0, image.size()));

  // Building onto the package replaces it rather than nesting it; strip gives the image back.
  const std::string again = (dir.path() / "again.pkg").string();
  ASSERT_TRUE(BuildPackage(package, inputs, again, nullptr, &error)) << error;
  EXPECT_EQ(ReadAll(package), ReadAll(again));
  ASSERT_TRUE(StripPackage(again, (dir.path() / "bare").string(), &error)) << error;
  EXPECT_EQ(image, ReadAll(dir.path() / "bare"));
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
  WriteAllTo(dir.path() / "image", "MZ");
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
  WriteAllTo(dir.path() / "image", "");
  const std::vector<PackInput> inputs = {
      MakeContentInput("t.txt", "the quick brown fox jumps over the lazy dog, twice: " +
                                    std::string("the quick brown fox jumps over the lazy dog"), 0)};
  std::string error;
  ASSERT_TRUE(BuildPackage((dir.path() / "image").string(), inputs,
                           (dir.path() / "p").string(), nullptr, &error));
  const std::string whole = ReadAll(dir.path() / "p");
  platform::UniqueFd fd = platform::OpenReadOnly((dir.path() / "p").string());
  const archive::ArchiveEntryInfo info = ReadPackageDirectory(fd.get()).records.at(0).info;
  ASSERT_EQ(0x78, static_cast<uint8_t>(whole[0]));
  ASSERT_EQ(0x9C, static_cast<uint8_t>(whole[1]));
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

}  // namespace
}  // namespace kelvane::pack
