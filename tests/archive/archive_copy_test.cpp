// archive/archive_copy_test.cpp -- FileArchiveReader::Copy: content, times, permissions, traces,
// and what is left on disk when it fails.
#include <gtest/gtest.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <windows.h>
#endif

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "archive/FileArchiveReader.h"
#include "archive_test_util.h"
#include "support/fixture_package.h"
#include "support/trace_capture.h"

namespace kelvane::archive {
namespace {

using test::PackageBuilder;
using test::ReadWholeFile;
using test::TempDir;

// What Copy leaves on a file, read the platform's own way.
struct FileFacts {
  bool regular = false;
  bool writable = false;
  int64_t write_ns = 0;   // since 1970
  int64_t access_ns = 0;
};

#if defined(_WIN32)
int64_t Nanos(const FILETIME& t) {
  const int64_t units = static_cast<int64_t>((uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime);
  return (units - static_cast<int64_t>(kFileTimeUnixEpoch)) * 100;
}

std::optional<FileFacts> Facts(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  return FileFacts{(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0,
                   (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0,
                   Nanos(data.ftLastWriteTime), Nanos(data.ftLastAccessTime)};
}
#else
int64_t Nanos(const struct timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; }

std::optional<FileFacts> Facts(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  // Every write bit must be gone from a read-only entry's copy.
  return FileFacts{S_ISREG(st.st_mode), (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0,
                   Nanos(st.st_mtim), Nanos(st.st_atim)};
}
#endif

class SampleCopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_TRUE(reader_.Open(SamplePackagePath()));
  }

  TempDir dir_;
  FileArchiveReader reader_;
};

TEST_F(SampleCopyTest, ImageArrivesWithContentTimesAndTrace) {
  const std::string destination = dir_.File("Image");
  test::TraceCapture trace;
  ASSERT_TRUE(trace.ok());
  ASSERT_TRUE(reader_.Copy(test::kSampleEntryPath, destination));
  const auto messages = trace.FinishMessages();

  const auto facts = Facts(destination);  // before reading it moves the access time
  ASSERT_TRUE(facts.has_value());
  EXPECT_TRUE(facts->regular);
  EXPECT_TRUE(facts->writable);
  EXPECT_EQ(FileTimeToUnixNanos(test::kSampleTimes.last_write_time), facts->write_ns);
  EXPECT_EQ(FileTimeToUnixNanos(test::kSampleTimes.last_access_time), facts->access_ns);
  EXPECT_EQ(test::SampleEntryContent(), ReadWholeFile(destination).value_or("<unreadable>"));

  const std::string start =
      "Copy: '" + std::string(test::kSampleEntryPath) + "' -> '" + destination + "'!";
  EXPECT_EQ(1, test::CountMessage(messages, start)) << testing::PrintToString(messages);
  EXPECT_EQ(1, test::CountMessage(messages, "SetPos(229376->229376) OK"));
  EXPECT_EQ(1, test::CountMessage(messages, "Copy: '" + destination + "' OK!"));
}

TEST_F(SampleCopyTest, ReplacesAnExistingLongerFile) {
  const std::string destination = dir_.Write("version.txt", std::string(100000, 'o'));
  ASSERT_TRUE(reader_.Copy("version.txt", destination));
  EXPECT_EQ(test::kSampleVersion, ReadWholeFile(destination).value_or("<unreadable>"));
}

TEST_F(SampleCopyTest, RefusesMissingEntriesDirectoriesAndBadDestinations) {
  ASSERT_TRUE(std::filesystem::create_directory(dir_.File("folder")));
  const std::string long_entry = "pub\\" + std::string(100 * 1024, 'p');
  const std::string long_destination = dir_.File(std::string(100 * 1024, 'q'));
  const struct {
    std::string entry;
    std::string destination;
    std::string message;
  } cases[] = {
      {"pub", dir_.File("a"), "E: Copy: FileInfo is null for 'pub'!"},
      {"pub\\Dorvex", dir_.File("b"), "E: Copy: FileInfo is null for 'pub\\Dorvex'!"},
      {"missing.txt", dir_.File("c"), "E: Copy: File not found 'missing.txt'!"},
      {"pub\\Dorvex\\Updates\\Image\\x", dir_.File("d"),
       "E: Copy: File not found 'pub\\Dorvex\\Updates\\Image\\x'!"},
      {"version.txt", dir_.File("no/such/dir"),
       "Copy: Unable to open destination file '" + dir_.File("no/such/dir") + "'!"},
      {"version.txt", dir_.File("folder"),
       "Copy: Unable to open destination file '" + dir_.File("folder") + "'!"},
      {long_entry, dir_.File("e"), "E: Copy: File not found '" + long_entry + "'!"},
      {"version.txt", long_destination,
       "Copy: Unable to open destination file '" + long_destination + "'!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry.substr(0, 40) + " -> " + c.destination.substr(0, 80));
    test::TraceCapture trace;
    ASSERT_TRUE(trace.ok());
    EXPECT_FALSE(reader_.Copy(c.entry, c.destination));
    const auto messages = trace.FinishMessages();
    EXPECT_EQ(1, test::CountMessage(messages, c.message)) << testing::PrintToString(messages);
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir_.File("folder")));
  for (const char* name : {"a", "b", "c", "d", "e"}) {
    EXPECT_FALSE(std::filesystem::exists(dir_.File(name))) << name;
  }
}

TEST_F(SampleCopyTest, WriteFailureToDevFullLeavesTheDeviceAlone) {
  if (!std::filesystem::is_character_file("/dev/full")) GTEST_SKIP() << "no /dev/full";
  EXPECT_FALSE(reader_.Copy(test::kSampleEntryPath, "/dev/full"));
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
}

TEST(ArchiveCopyTest, ReadOnlyEntryLosesWritePermission) {
  PackageBuilder builder("image");
  builder.AddFile("ro.txt", "read only", test::kPacked | ATTR_READONLY, test::kSampleTimes);
  builder.AddFile("stored.txt", "stored", test::kStored, test::kSampleTimes);
  TempDir dir;
  FileArchiveReader reader;
  ASSERT_TRUE(reader.Open(dir.Write("p.pkg", builder.Build())));

  ASSERT_TRUE(reader.Copy("ro.txt", dir.File("ro.txt")));
  const auto facts = Facts(dir.File("ro.txt"));
  ASSERT_TRUE(facts.has_value());
  EXPECT_FALSE(facts->writable);
  EXPECT_EQ(FileTimeToUnixNanos(test::kSampleTimes.last_write_time), facts->write_ns);
  EXPECT_EQ("read only", ReadWholeFile(dir.File("ro.txt")).value_or("<unreadable>"));

  ASSERT_TRUE(reader.Copy("STORED.TXT", dir.File("stored.txt")));
  EXPECT_EQ("stored", ReadWholeFile(dir.File("stored.txt")).value_or("<unreadable>"));
}

// FILETIMEs outside what nanoseconds since 1970 can hold (before 1677 or after 2262, such as 0
// in a package written without times) must still copy, without overflow.
TEST(ArchiveCopyTest, EntriesWithExtremeTimesCopy) {
  const uint64_t cases[] = {0, 1, kFileTimeUnixEpoch - 1, 0x7FFFFFFFFFFFFFFFull};
  for (uint64_t time : cases) {
    SCOPED_TRACE("FILETIME " + std::to_string(time));
    EXPECT_LE(FileTimeToUnixNanos(std::min<uint64_t>(time, kFileTimeUnixEpoch)), 0);
    EXPECT_GE(FileTimeToUnixNanos(std::max<uint64_t>(time, kFileTimeUnixEpoch)), 0);
    PackageBuilder builder("image");
    builder.AddFile("t.txt", "timeless", test::kPacked, ArchiveEntryInfo{time, time, time});
    TempDir dir;
    FileArchiveReader reader;
    ASSERT_TRUE(reader.Open(dir.Write("p.pkg", builder.Build())));
    EXPECT_TRUE(reader.Copy("t.txt", dir.File("t.txt")));
    EXPECT_EQ("timeless", ReadWholeFile(dir.File("t.txt")).value_or("<unreadable>"));
  }
}

TEST(ArchiveCopyTest, DamagedEntriesLeaveNoFileBehind) {
  const std::string content = test::SampleEntryContent().substr(0, 200000);
  const struct {
    const char* what;
    uint32_t attributes;
    std::function<void(PackageBuilder&, ArchiveEntryInfo&)> damage;
  } cases[] = {
      {"bytes flipped in the middle", test::kPacked,
       [](PackageBuilder& b, ArchiveEntryInfo& i) {
         for (uint32_t k = 0; k < 8; ++k) b.data()[i.data_offset + i.stored_size / 2 + k] ^= 0x5A;
       }},
      {"stored size cut to half", test::kPacked,
       [](PackageBuilder&, ArchiveEntryInfo& i) { i.stored_size /= 2; }},
      {"Adler-32 wrong", test::kPacked,
       [](PackageBuilder& b, ArchiveEntryInfo& i) { b.data()[i.data_offset + i.stored_size - 1] ^= 1; }},
      {"stored data past the end of the file", test::kStored,
       [](PackageBuilder&, ArchiveEntryInfo& i) { i.stored_size += 10000000; }},
      {"data offset 2^31", test::kStored,
       [](PackageBuilder&, ArchiveEntryInfo& i) { i.data_offset = 0x80000000u; }},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PackageBuilder builder("image");
    builder.AddFile("f", content, c.attributes);
    c.damage(builder, builder.info(0));
    FileArchiveReader reader;
    ASSERT_TRUE(reader.Open(dir.Write("p.pkg", builder.Build())));
    const std::string destination = dir.File("out");
    EXPECT_FALSE(reader.Copy("f", destination));
    EXPECT_FALSE(std::filesystem::exists(destination));
  }
}

}  // namespace
}  // namespace kelvane::archive
