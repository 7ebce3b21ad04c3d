// archive/archive_load_test.cpp -- the trailer, directory loading and its refusal of broken
// packages.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "archive/FileArchiveReader.h"
#include "archive/archive_format.h"
#include "archive_test_util.h"
#include "support/fixture_package.h"
#include "support/trace_capture.h"

namespace kelvane::archive {
namespace {

using test::PackageBuilder;
using test::TempDir;

std::vector<std::string> RootNames(const ArchiveDirectory& directory) {
  std::vector<std::string> names;
  for (size_t i = 0; i < directory.root().size(); ++i) names.push_back(directory.root().at(i)->name());
  return names;
}

TEST(ArchiveTrailerTest, MatchesTheFixedVector) {
  EXPECT_EQ(0x15A2026Cu, TrailerCheck(201, 642251, 2));
  const auto bytes = EncodeTrailer(642251, 2);
  const uint8_t expected[16] = {201, 0, 0, 0, 0xCB, 0xCC, 0x09, 0, 2, 0, 0, 0, 0x6C, 0x02, 0xA2, 0x15};
  EXPECT_EQ(0, std::memcmp(expected, bytes.data(), 16));
  const ArchiveTrailer trailer = DecodeTrailer(bytes.data());
  EXPECT_EQ((ArchiveTrailer{201, 642251, 2, 362938988}), trailer);
  EXPECT_TRUE(IsValidTrailer(trailer));
  EXPECT_FALSE(IsValidTrailer(ArchiveTrailer{201, 642251, 2, 362938989}));
  EXPECT_FALSE(IsValidTrailer(ArchiveTrailer{200, 642251, 2, TrailerCheck(200, 642251, 2)}));
}

TEST(ArchiveEntryInfoTest, RoundTripsEveryField) {
  const ArchiveEntryInfo info{0x0102030405060708ull, 0x1112131415161718ull, 0x2122232425262728ull,
                              0x31323334u, 0x41424344u, 0x51525354u, 0x61626364u};
  const auto bytes = EncodeEntryInfo(info);
  EXPECT_EQ(0x08, bytes[0]);   // little-endian, creation time first
  EXPECT_EQ(0x34, bytes[24]);  // attributes after the three times
  EXPECT_EQ(0x61, bytes[39]);  // data offset last
  EXPECT_EQ(info, DecodeEntryInfo(bytes.data()));
}

struct LoadCase {
  const char* what;
  std::function<std::string()> package;
  bool loads;
  std::vector<std::string> root;  // the root's names, in order, when it loads
};

// A record with a name length field of |length| followed by |length| name bytes and |info_bytes|
// bytes of information.
std::string RawRecord(size_t length, size_t name_bytes, size_t info_bytes) {
  std::string r(2, '\0');
  StoreU16(reinterpret_cast<uint8_t*>(r.data()), static_cast<uint16_t>(length));
  return r + std::string(name_bytes, 'n') + std::string(info_bytes, '\0');
}

std::string Package(std::initializer_list<const char*> names,
                    const std::function<void(PackageBuilder&)>& adjust = {}) {
  PackageBuilder b("IMAGE");
  for (const char* name : names) b.AddRecord(name, ArchiveEntryInfo{});
  if (adjust) adjust(b);
  return b.Build();
}

TEST(ArchiveLoadTest, AcceptsValidAndRefusesBrokenPackages) {
  const std::string x259(259, 'x');
  const LoadCase cases[] = {
      {"empty file", [] { return std::string(); }, false, {}},
      {"15 bytes", [] { return Package({}).substr(6); }, false, {}},
      {"only a trailer, offset 0, count 0",
       [] { const auto t = EncodeTrailer(0, 0); return std::string(t.begin(), t.end()); }, true, {}},
      {"count 0", [] { return Package({}); }, true, {}},
      {"wrong magic", [] { return Package({"a"}, [](auto& b) { b.magic = 200; }); }, false, {}},
      {"magic 201, wrong check",
       [] { return Package({"a"}, [](auto& b) { b.check = TrailerCheck(201, 5, 1) ^ 1; }); },
       false, {}},
      {"check from Adler-32 start 0",
       [] {
         return Package({"a"}, [](auto& b) {
           uint8_t bytes[12];
           StoreU32(bytes, 201);
           StoreU32(bytes + 4, 5);
           StoreU32(bytes + 8, 1);
           b.check = static_cast<uint32_t>(adler32(0, bytes, 12));
         });
       },
       false, {}},
      {"name of 259 bytes", [&] { return Package({x259.c_str()}); }, true, {x259}},
      {"name of 260 bytes",
       [] { return Package({}, [](auto& b) { b.AddRawRecord(RawRecord(260, 260, 40)); }); },
       false, {}},
      {"name of 65535 bytes",
       [] { return Package({}, [](auto& b) { b.AddRawRecord(RawRecord(65535, 65535, 40)); }); },
       false, {}},
      {"name length cut by the end of the file",
       [] {
         return Package({}, [](auto& b) {
           b.trailer_directory_offset = 5 + 15;  // one byte before the end
           b.entry_count = 1;
         });
       },
       false, {}},
      {"directory at the end of the file, count 1",
       [] { return Package({}, [](auto& b) { b.trailer_directory_offset = 5 + 16; b.entry_count = 1; }); },
       false, {}},
      {"name cut by the end of the file",
       [] { return Package({}, [](auto& b) { b.AddRawRecord(RawRecord(100, 3, 0)); }); }, false, {}},
      {"information cut by the end of the file",
       [] { return Package({}, [](auto& b) { b.AddRawRecord(RawRecord(3, 3, 10)); }); }, false, {}},
      {"directory offset beyond the end, count 1",
       [] { return Package({}, [](auto& b) { b.trailer_directory_offset = 1000; b.entry_count = 1; }); },
       false, {}},
      {"directory offset beyond the end, count 0",
       [] { return Package({}, [](auto& b) { b.trailer_directory_offset = 1000; }); }, true, {}},
      {"directory offset 0xFFFFFFFF, count 1",
       [] { return Package({}, [](auto& b) { b.trailer_directory_offset = 0xFFFFFFFFu; b.entry_count = 1; }); },
       false, {}},
      {"count larger than the records",
       [] { return Package({"a", "b"}, [](auto& b) { b.entry_count = 3; }); }, false, {}},
      {"count 0x7FFFFFFF", [] { return Package({"a"}, [](auto& b) { b.entry_count = 0x7FFFFFFF; }); },
       false, {}},
      {"the same name twice", [] { return Package({"a", "a"}); }, false, {}},
      {"names differing in case", [] { return Package({"ReadMe", "README"}); }, false, {}},
      {"directories differing in case", [] { return Package({"A\\x", "a\\X"}); }, false, {}},
      {"a file, then a child of it", [] { return Package({"a", "a\\b"}); }, false, {}},
      {"a directory, then a file of its name", [] { return Package({"a\\b", "a"}); }, false, {}},
      {"a file under a file deeper down", [] { return Package({"d\\f", "D\\F\\g"}); }, false, {}},
      {"leading backslash and without", [] { return Package({"\\version.txt", "version.txt"}); },
       false, {}},
      {"leading backslash dropped", [] { return Package({"\\version.txt"}); }, true, {"version.txt"}},
      {"one directory for both cases", [] { return Package({"PUB\\x", "pub\\y"}); }, true, {"PUB"}},
      {"order of first appearance",
       [] { return Package({"zeta", "Mid\\x", "alpha", "mid\\y", "beta"}); }, true,
       {"zeta", "Mid", "alpha", "beta"}},
      {"names differing beyond ASCII letters", [] { return Package({"\xC4", "\xE4"}); }, true,
       {"\xC4", "\xE4"}},
  };
  TempDir dir;
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.Write("case.pkg", c.package());
    ASSERT_FALSE(path.empty());
    FileArchiveReader reader;
    EXPECT_EQ(c.loads, reader.Open(path));
    if (c.loads) {
      EXPECT_EQ(c.root, RootNames(reader.directory()));
    }
  }
}

// A package of a few records with names of varied length, in nested directories.
PackageBuilder SmallPackage() {
  PackageBuilder b("image bytes");
  b.AddFile("version.txt", "3.34\r\n");
  b.AddFile("pub\\a", "content of a", test::kStored);
  b.AddFile("pub\\Dorvex\\" + std::string(200, 'L'), "long");
  b.AddFile("x", "");
  return b;
}

// Reads |count| records from |offset| the way the layout lays them out; false when one would
// run past the end of |bytes| or carries a name of 260 bytes or more.
bool RecordsFit(const std::string& bytes, uint64_t offset, uint32_t count) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  for (uint32_t i = 0; i < count; ++i) {
    if (offset + 2 > bytes.size()) return false;
    const uint16_t length = LoadU16(p + offset);
    if (length > kMaxNameLength) return false;
    offset += 2 + length + kEntryInfoSize;
    if (offset > bytes.size()) return false;
  }
  return true;
}

TEST(ArchiveLoadTest, FileCutAtEveryByteOfTheDirectory) {
  const PackageBuilder builder = SmallPackage();
  const std::string full = builder.Build();
  TempDir dir;
  {
    FileArchiveReader reader;
    ASSERT_TRUE(reader.Open(dir.Write("full.pkg", full)));
  }
  for (size_t cut = builder.directory_offset(); cut < full.size(); ++cut) {
    SCOPED_TRACE("file cut to " + std::to_string(cut) + " bytes");
    const std::string bytes = full.substr(0, cut);
    FileArchiveReader reader;
    const bool loaded = reader.Open(dir.Write("cut.pkg", bytes));
    if (bytes.size() < kTrailerSize) {
      EXPECT_FALSE(loaded);
      continue;
    }
    const ArchiveTrailer t =
        DecodeTrailer(reinterpret_cast<const uint8_t*>(bytes.data()) + bytes.size() - kTrailerSize);
    if (!IsValidTrailer(t) || !RecordsFit(bytes, t.directory_offset, t.entry_count)) {
      EXPECT_FALSE(loaded);
    }
  }
}

TEST(ArchiveLoadTest, RecordsCutAtEveryByteBeforeTheTrailer) {
  PackageBuilder builder = SmallPackage();
  const size_t records = builder.EncodedRecords().size();
  TempDir dir;
  for (size_t cut = 0; cut <= records; ++cut) {
    SCOPED_TRACE("records cut to " + std::to_string(cut) + " bytes");
    builder.records_cut = cut;
    const std::string bytes = builder.Build();
    FileArchiveReader reader;
    const bool loaded = reader.Open(dir.Write("cut.pkg", bytes));
    if (cut == records) {
      EXPECT_TRUE(loaded);
    } else if (!RecordsFit(bytes, builder.directory_offset(), 4)) {
      EXPECT_FALSE(loaded);
    }
  }
}

TEST(ArchiveLoadTest, SampleLoadsWithEveryFieldAsStored) {
  FileArchiveReader reader;
  ASSERT_TRUE(reader.Open(SamplePackagePath()));
  EXPECT_TRUE(reader.is_open());
  const PackageBuilder builder = test::SamplePackageBuilder();
  ArchiveCursor cursor(reader.directory());
  ASSERT_EQ(2u, cursor.GetCount());
  const ArchiveNode* pub = cursor.GetItem(0);
  const ArchiveNode* version = cursor.GetItem(1);
  ASSERT_NE(nullptr, pub);
  ASSERT_NE(nullptr, version);
  EXPECT_EQ(nullptr, cursor.GetItem(2));
  EXPECT_EQ("pub", pub->name());
  EXPECT_TRUE(pub->is_directory());
  EXPECT_EQ(nullptr, pub->info());
  EXPECT_EQ("version.txt", version->name());
  EXPECT_FALSE(version->is_directory());
  EXPECT_EQ(nullptr, version->children());
  ASSERT_NE(nullptr, version->info());
  EXPECT_EQ(builder.info(test::kSampleVersionRecord), *version->info());

  const ArchiveNode* image = cursor.Find(test::kSampleEntryPath);
  ASSERT_NE(nullptr, image);
  ASSERT_NE(nullptr, image->info());
  const ArchiveEntryInfo& info = *image->info();
  EXPECT_EQ(builder.info(test::kSampleImageRecord), info);
  EXPECT_EQ(0x820u, info.attributes);
  EXPECT_EQ(test::kSampleEntrySize, info.unpacked_size);
  EXPECT_EQ(test::kSampleImageSize, info.data_offset);
  EXPECT_EQ("Image", image->name());
  // Parent links lead back to the root.
  const ArchiveNode* updates = image->parent_list()->owner();
  ASSERT_NE(nullptr, updates);
  EXPECT_EQ("Updates", updates->name());
  EXPECT_EQ(pub, updates->parent_list()->owner()->parent_list()->owner());
  EXPECT_EQ(nullptr, pub->parent_list()->owner());
}

TEST(ArchiveLoadTest, OpenOfAMissingPathFailsClosedAndTraces) {
  TempDir dir;
  const std::string missing = dir.File("no such.pkg");
  FileArchiveReader reader;
  ASSERT_TRUE(reader.Open(SamplePackagePath()));
  test::TraceCapture trace;
  ASSERT_TRUE(trace.ok());
  EXPECT_FALSE(reader.Open(missing));
  const auto messages = trace.FinishMessages();
  EXPECT_EQ(1, test::CountMessage(messages, "Open: Unable to open archive '" + missing + "'"))
      << testing::PrintToString(messages);
  EXPECT_FALSE(reader.is_open());
  EXPECT_EQ(0u, reader.directory().root().size());  // the earlier package is gone
}

TEST(ArchiveLoadTest, ReopenReplacesTheTreeAndCloseEmptiesIt) {
  TempDir dir;
  const std::string first = dir.Write("first.pkg", Package({"one", "dir\\two"}));
  const std::string second = dir.Write("second.pkg", Package({"dir\\two", "three"}));
  const std::string broken = dir.Write("broken.pkg", Package({"ok", "ok"}));
  FileArchiveReader reader;
  ASSERT_TRUE(reader.Open(first));
  ASSERT_TRUE(reader.Open(second));  // "dir\two" again: a stale tree would refuse it
  EXPECT_EQ((std::vector<std::string>{"dir", "three"}), RootNames(reader.directory()));

  EXPECT_FALSE(reader.Open(broken));
  EXPECT_TRUE(reader.is_open());  // stays open with what loaded before the fault
  reader.Close();
  EXPECT_FALSE(reader.is_open());
  EXPECT_EQ(0u, reader.directory().root().size());
  reader.Close();  // nothing open: nothing happens
  EXPECT_TRUE(reader.Open(first));
  EXPECT_EQ((std::vector<std::string>{"one", "dir"}), RootNames(reader.directory()));
}

}  // namespace
}  // namespace kelvane::archive
