// archive/temp_file_test.cpp -- the platform's unnamed scratch files, where the package check
// keeps its inflated copies: nameless from the start (on Windows gone at the close),
// positioned writes and reads that share one descriptor, truncation, and free space.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/file_io.h"
#include "platform/temp_file.h"
#include "support/fixture_package.h"

namespace kelvane::platform {
namespace {

TEST(TempFileTest, ScratchFileHasNoNameAndKeepsWhatIsWrittenAtItsOffsets) {
  test::TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  UniqueFd file = CreateUnnamedTempFile(dir.path());
  ASSERT_TRUE(file.valid());
  // Windows keeps the name until the handle closes; no other process may open it meanwhile.
  EXPECT_EQ(ScratchFilesAreNameless(), std::filesystem::is_empty(dir.path()));
  EXPECT_EQ(0, FileSize(file.get()));

  // Written out of order, as two copies side by side would be.
  const std::string first(70000, 'a');
  const std::string second = "second copy";
  ASSERT_TRUE(WriteAllAt(file.get(), second.data(), second.size(), 70000));
  ASSERT_TRUE(WriteAllAt(file.get(), first.data(), first.size(), 0));
  EXPECT_EQ(70011, FileSize(file.get()));
  std::string back(second.size(), '\0');
  EXPECT_EQ(static_cast<long>(back.size()), ReadFullAt(file.get(), back.data(), back.size(), 70000));
  EXPECT_EQ(second, back);
  back.assign(3, '\0');
  EXPECT_EQ(3, ReadFullAt(file.get(), back.data(), 3, 69999));
  EXPECT_EQ("as", back.substr(0, 2));

  ASSERT_TRUE(TruncateFile(file.get(), 70000));
  EXPECT_EQ(70000, FileSize(file.get()));
  EXPECT_EQ(0, ReadFullAt(file.get(), back.data(), 3, 70000));

  file.Reset();
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(TempFileTest, FolderThatDoesNotExistGivesNoFileAndNoSpace) {
  test::TempDir dir;
  const std::string missing = dir.File("missing");
  EXPECT_FALSE(CreateUnnamedTempFile(missing).valid());
  EXPECT_FALSE(FreeSpace(missing).has_value());
  const std::optional<uint64_t> space = FreeSpace(dir.path());
  ASSERT_TRUE(space.has_value());
  EXPECT_GT(*space, 0u);
}

}  // namespace
}  // namespace kelvane::platform
