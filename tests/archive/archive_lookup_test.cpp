// archive/archive_lookup_test.cpp -- cursors: Find, ChangeDir, listings, long names, big folders.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "archive/FileArchiveReader.h"
#include "archive/archive_directory.h"
#include "archive_test_util.h"
#include "support/fixture_package.h"

namespace kelvane::archive {
namespace {

using test::PackageBuilder;
using test::TempDir;

// The current directory of |cursor| as a path from the root ("" at the root).
std::string CurrentPath(const ArchiveCursor& cursor) {
  std::string path;
  for (const ArchiveNode* dir = cursor.current_list()->owner(); dir != nullptr;
       dir = dir->parent_list()->owner()) {
    path = path.empty() ? dir->name() : dir->name() + "\\" + path;
  }
  return path;
}

std::string Repeat(const std::string& part, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += part;
  return out;
}

class SampleLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(reader_.Open(SamplePackagePath()));
    const ArchiveNodeList& root = reader_.directory().root();
    ASSERT_EQ(2u, root.size());
    pub_ = root.at(0);
    version_ = root.at(1);
    ASSERT_NE(nullptr, pub_->children());
    dorvex_ = pub_->children()->at(0);
    updates_ = dorvex_->children()->at(0);
    image_ = updates_->children()->at(0);
  }

  FileArchiveReader reader_;
  const ArchiveNode* pub_ = nullptr;
  const ArchiveNode* version_ = nullptr;
  const ArchiveNode* dorvex_ = nullptr;
  const ArchiveNode* updates_ = nullptr;
  const ArchiveNode* image_ = nullptr;
};

TEST_F(SampleLookupTest, FindResolvesPathsFromTheCurrentDirectory) {
  const ArchiveNode* none = nullptr;
  const struct {
    const char* start;
    std::string path;
    const ArchiveNode* expected;
  } cases[] = {
      {"", "version.txt", version_},
      {"", "\\version.txt", version_},
      {"", "VERSION.TXT", version_},
      {"", "pub\\Dorvex\\Updates\\Image", image_},
      {"", "PUB\\dORVEX\\updates\\IMAGE", image_},
      {"", "\\pub\\Dorvex\\Updates\\Image", image_},
      {"", "pub", pub_},
      {"", "Pub\\Dorvex", dorvex_},
      {"", "", none},
      {"", "\\", none},
      {"", "pub\\", none},
      {"", "pub\\Dorvex\\", none},
      {"", "version.txt\\", none},
      {"", "pub\\..\\version.txt", version_},
      {"", "pub\\Dorvex\\..\\..\\version.txt", version_},
      {"", "pub\\..", none},  // ".." is an ordinary name at the end
      {"", "pub\\Dorvex\\..", none},
      {"", "..", none},
      {"", "versio", none},
      {"", "version.txtx", none},
      {"", "version.txt\\x", none},
      {"", "pub\\Dorvex\\Updates\\Image\\x", none},
      {"", "Image", none},
      {"", "pub\\missing\\Image", none},
      {"pub\\Dorvex", "Updates\\Image", image_},
      {"pub\\Dorvex", "Updates", updates_},
      {"pub\\Dorvex", "..\\..\\version.txt", version_},
      {"pub\\Dorvex", "\\version.txt", version_},
      {"pub\\Dorvex", "..\\Dorvex\\Updates\\Image", image_},
      {"pub\\Dorvex", "version.txt", none},
      {"pub\\Dorvex", "pub", none},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("from '") + c.start + "' find '" + c.path + "'");
    ArchiveCursor cursor(reader_.directory());
    ASSERT_TRUE(cursor.ChangeDir(c.start));
    EXPECT_EQ(c.expected, cursor.Find(c.path));
    EXPECT_EQ(c.start, CurrentPath(cursor));  // Find never moves the cursor
  }
}

TEST_F(SampleLookupTest, ChangeDirMovesOnlyWhenEveryStepSucceeds) {
  const struct {
    const char* start;
    std::string path;
    bool ok;
    const char* end;
  } cases[] = {
      {"", "..", false, ""},
      {"", "pub", true, "pub"},
      {"", "PUB", true, "pub"},
      {"", "pub\\", true, "pub"},
      {"", "\\pub", true, "pub"},
      {"", "pub\\Dorvex\\Updates", true, "pub\\Dorvex\\Updates"},
      {"", "", true, ""},
      {"", "\\", true, ""},
      {"", "version.txt", false, ""},
      {"", "pub\\\\Dorvex", false, ""},
      {"", "missing", false, ""},
      {"", "pub\\..", true, ""},
      {"pub", "..", true, ""},
      {"pub\\Dorvex", "", true, "pub\\Dorvex"},
      {"pub\\Dorvex", "\\", true, ""},
      {"pub\\Dorvex\\Updates", "\\", true, ""},
      {"pub\\Dorvex\\Updates", "..\\..", true, "pub"},
      {"pub\\Dorvex", "..\\..\\..", false, "pub\\Dorvex"},
      {"pub\\Dorvex", "Updates\\Image", false, "pub\\Dorvex"},
      {"pub\\Dorvex", "Updates\\missing", false, "pub\\Dorvex"},
      {"pub\\Dorvex", "\\missing", false, "pub\\Dorvex"},
      {"pub", "\\pub\\Dorvex", true, "pub\\Dorvex"},
      {"pub", "pub", false, "pub"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("from '") + c.start + "' cd '" + c.path + "'");
    ArchiveCursor cursor(reader_.directory());
    ASSERT_TRUE(cursor.ChangeDir(c.start));
    const ArchiveNodeList* before = cursor.current_list();
    EXPECT_EQ(c.ok, cursor.ChangeDir(c.path));
    EXPECT_EQ(c.end, CurrentPath(cursor));
    if (!c.ok) {
      EXPECT_EQ(before, cursor.current_list());
    }
  }
}

TEST_F(SampleLookupTest, ListsTheCurrentDirectory) {
  ArchiveCursor cursor(reader_.directory());
  EXPECT_EQ(nullptr, cursor.current_list()->owner());
  ASSERT_EQ(2u, cursor.GetCount());
  EXPECT_EQ(pub_, cursor.GetItem(0));
  EXPECT_EQ(version_, cursor.GetItem(1));
  EXPECT_EQ(nullptr, cursor.GetItem(2));
  EXPECT_EQ(nullptr, cursor.GetItem(0xFFFFFFFFu));
  ASSERT_TRUE(cursor.ChangeDir("pub\\Dorvex\\Updates"));
  ASSERT_EQ(1u, cursor.GetCount());
  EXPECT_EQ(image_, cursor.GetItem(0));
  EXPECT_EQ(nullptr, cursor.GetItem(1));
}

// Paths far longer than any component buffer; ASan reports an overrun.
TEST_F(SampleLookupTest, VeryLongPathsNeitherOverrunNorMatch) {
  const size_t kLong = 100 * 1024;
  const struct {
    const char* what;
    std::string path;
    const ArchiveNode* found;
    bool enters;
    const char* end;
  } cases[] = {
      {"one huge component", std::string(kLong, 'a'), nullptr, false, ""},
      {"huge component under pub", "pub\\" + std::string(kLong, 'D'), nullptr, false, ""},
      {"huge name starting with a real one", "version.txt" + std::string(kLong, 'x'), nullptr, false, ""},
      {"many short missing components", Repeat("a\\", kLong / 2), nullptr, false, ""},
      {"empty components", "pub" + std::string(kLong, '\\') + "Dorvex", nullptr, false, ""},
      {"many valid steps", Repeat("pub\\..\\", kLong / 7) + "pub", pub_, true, "pub"},
      {"many valid steps to a file", Repeat("pub\\Dorvex\\..\\..\\", kLong / 18) + "version.txt",
       version_, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ArchiveCursor cursor(reader_.directory());
    EXPECT_EQ(c.found, cursor.Find(c.path));
    EXPECT_EQ(c.enters, cursor.ChangeDir(c.path));
    EXPECT_EQ(c.end, CurrentPath(cursor));
  }
}

// Names of 259 bytes are the longest a component may have; one byte more never matches, even
// where cutting it to 259 bytes would name an existing entry, or where a node of that name was
// inserted directly (no package can carry one).
TEST(ArchiveLookupTest, ComponentsOf260BytesNeverMatch) {
  const std::string d259(259, 'd');
  const std::string f259(259, 'f');
  const std::string e260(260, 'e');
  const std::string g260(260, 'g');
  ArchiveDirectory directory;
  {
    ArchiveCursor loader(directory);
    ASSERT_TRUE(loader.Insert(d259 + "\\inner", ArchiveEntryInfo{}));
    ASSERT_TRUE(loader.Insert(f259, ArchiveEntryInfo{}));
    ASSERT_TRUE(loader.Insert(e260 + "\\inner", ArchiveEntryInfo{}));
    ASSERT_TRUE(loader.Insert(g260, ArchiveEntryInfo{}));
  }
  const struct {
    std::string path;
    bool found;
    bool enters;
  } cases[] = {
      {d259, true, true},
      {d259 + "d", false, false},
      {d259 + "x", false, false},
      {d259 + "\\inner", true, false},
      {d259 + "d\\inner", false, false},
      {"\\" + d259, true, true},
      {f259, true, false},
      {f259 + "f", false, false},
      {f259 + std::string(1000, 'f'), false, false},
      {e260, false, false},
      {e260 + "\\inner", false, false},
      {g260, false, false},
      {"\\" + g260, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("path of " + std::to_string(c.path.size()) + " bytes: " + c.path.substr(0, 3) +
                 "..." + c.path.substr(c.path.size() - 6));
    ArchiveCursor cursor(directory);
    EXPECT_EQ(c.found, cursor.Find(c.path) != nullptr);
    EXPECT_EQ(c.enters, cursor.ChangeDir(c.path));
    EXPECT_EQ(c.enters ? d259 : "", CurrentPath(cursor));
  }
}

TEST(ArchiveLookupTest, LongestNameLoadsFromAPackage) {
  const std::string x259(259, 'x');
  PackageBuilder builder("img");
  builder.AddFile(x259, "long");
  TempDir dir;
  FileArchiveReader reader;
  ASSERT_TRUE(reader.Open(dir.Write("p.pkg", builder.Build())));
  ArchiveCursor cursor(reader.directory());
  EXPECT_NE(nullptr, cursor.Find(x259));
  EXPECT_NE(nullptr, cursor.Find("\\" + x259));
  EXPECT_EQ(nullptr, cursor.Find(x259 + "x"));
}

TEST(ArchiveLookupTest, ChildrenKeepInsertionOrder) {
  ArchiveDirectory directory;
  ArchiveCursor cursor(directory);
  for (const char* name : {"zeta", "Mid\\x", "alpha", "mid\\a", "MID\\b", "beta", "mid\\sub\\c"}) {
    ASSERT_TRUE(cursor.Insert(name, ArchiveEntryInfo{})) << name;
  }
  const auto names = [](const ArchiveCursor& c) {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < c.GetCount(); ++i) out.push_back(c.GetItem(i)->name());
    return out;
  };
  EXPECT_EQ((std::vector<std::string>{"zeta", "Mid", "alpha", "beta"}), names(cursor));
  ASSERT_TRUE(cursor.ChangeDir("mid"));
  EXPECT_EQ((std::vector<std::string>{"x", "a", "b", "sub"}), names(cursor));
  EXPECT_FALSE(cursor.Insert("\\zeta", ArchiveEntryInfo{}));
  EXPECT_FALSE(cursor.Insert("\\MID\\A", ArchiveEntryInfo{}));
}

std::string BigName(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "Entry_%06d.Bin", i);
  return name;
}

// A folder far past the size at which a list builds its index, loaded from a package.
TEST(ArchiveLookupTest, HundredThousandEntriesLoadAndResolve) {
  constexpr int kEntries = 100000;
  PackageBuilder builder("img");
  builder.AddFile("first.txt", "1");
  for (int i = 0; i < kEntries; ++i) {
    builder.AddRecord("big\\" + BigName(i), ArchiveEntryInfo{0, 0, 0, test::kStored, 0, 0, 3});
  }
  TempDir dir;
  FileArchiveReader reader;
  ASSERT_TRUE(reader.Open(dir.Write("big.pkg", builder.Build())));

  ArchiveCursor cursor(reader.directory());
  ASSERT_TRUE(cursor.ChangeDir("BIG"));
  ASSERT_EQ(static_cast<uint32_t>(kEntries), cursor.GetCount());
  for (int i : {0, 1, 7, 4242, 65535, 65536, kEntries - 1}) {
    SCOPED_TRACE(i);
    const ArchiveNode* item = cursor.GetItem(static_cast<uint32_t>(i));
    ASSERT_NE(nullptr, item);
    EXPECT_EQ(BigName(i), item->name());
    std::string lower = BigName(i);
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_EQ(item, cursor.Find(lower));
    EXPECT_EQ(item, cursor.Find("\\BIG\\" + BigName(i)));
  }
  EXPECT_EQ(nullptr, cursor.GetItem(kEntries));
  EXPECT_EQ(nullptr, cursor.Find(BigName(kEntries)));
  EXPECT_EQ(nullptr, cursor.Find("Entry_000001.Bi"));
  EXPECT_NE(nullptr, cursor.Find("..\\FIRST.TXT"));

  // A clash in letter case among that many entries is still a conflict.
  builder.AddRecord("Big\\entry_054321.BIN", ArchiveEntryInfo{});
  FileArchiveReader clash;
  EXPECT_FALSE(clash.Open(dir.Write("clash.pkg", builder.Build())));
}

}  // namespace
}  // namespace kelvane::archive
