// tests/archive/checksum_list_test.cpp -- the lines of SHA256SUMS: written as sha256sum writes
// them, read back as sha256sum -c reads them, and the names they carry for package names.
#include "archive/checksum_list.h"

#include <gtest/gtest.h>

namespace kelvane::archive {
namespace {

const util::Sha256::Digest kAbc = util::Sha256::Of("abc");
const std::string kAbcHex = util::ToHex(kAbc);

TEST(ChecksumListTest, WritesLinesThatReadBackToTheSameNames) {
  const struct {
    const char* label;
    std::string name;
    std::string line;  // what sha256sum writes for that name
  } cases[] = {
      {"plain", "fw/image.bin", kAbcHex + "  fw/image.bin\n"},
      {"space and UTF-8", "caf\xc3\xa9 x", kAbcHex + "  caf\xc3\xa9 x\n"},
      {"LF", "a\nb", "\\" + kAbcHex + "  a\\nb\n"},
      {"CR", "a\rb", "\\" + kAbcHex + "  a\\rb\n"},
      {"backslash", "a\\b", "\\" + kAbcHex + "  a\\\\b\n"},
      {"all of them", "\\\n\r", "\\" + kAbcHex + "  \\\\\\n\\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(c.line, FormatChecksumLine(c.name, kAbc));
    const ChecksumList list = ParseChecksumList(c.line);
    ASSERT_TRUE(list.faults.empty()) << list.faults.front();
    ASSERT_EQ(1u, list.lines.size());
    EXPECT_EQ(c.name, list.lines[0].name);
    EXPECT_EQ(kAbc, list.lines[0].digest);
  }
}

TEST(ChecksumListTest, ReadsWhatSha256sumAcceptsAndNamesTheRest) {
  const std::string upper = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
  const struct {
    const char* label;
    std::string text;
    std::vector<std::string> names;  // of the lines read
    std::vector<size_t> numbers;
    size_t faults;
  } cases[] = {
      {"two lines", kAbcHex + "  a\n" + kAbcHex + "  b/c\n", {"a", "b/c"}, {1, 2}, 0},
      {"no final LF", kAbcHex + "  a", {"a"}, {1}, 0},
      {"CR LF", kAbcHex + "  a\r\n" + kAbcHex + "  b\r\n", {"a", "b"}, {1, 2}, 0},
      {"binary mark", kAbcHex + " *a\n", {"a"}, {1}, 0},
      {"upper-case digits", upper + "  a\n", {"a"}, {1}, 0},
      {"empty lines skipped", "\n" + kAbcHex + "  a\n\n", {"a"}, {2}, 0},
      {"name with two spaces", kAbcHex + "  a  b\n", {"a  b"}, {1}, 0},
      {"empty", "", {}, {}, 0},
      {"one space", kAbcHex + " a\n", {}, {}, 1},
      {"no name", kAbcHex + "  \n", {}, {}, 1},
      {"short digest", kAbcHex.substr(1) + "  a\n", {}, {}, 1},
      {"not hex", "x" + kAbcHex.substr(1) + "  a\n", {}, {}, 1},
      {"unknown escape", "\\" + kAbcHex + "  a\\tb\n", {}, {}, 1},
      {"escape at the end", "\\" + kAbcHex + "  a\\\n", {}, {}, 1},
      {"a bad line among good ones", kAbcHex + "  a\nnonsense\n" + kAbcHex + "  b\n",
       {"a", "b"}, {1, 3}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const ChecksumList list = ParseChecksumList(c.text);
    EXPECT_EQ(c.faults, list.faults.size());
    std::vector<std::string> names;
    std::vector<size_t> numbers;
    for (const ChecksumLine& line : list.lines) {
      names.push_back(line.name);
      numbers.push_back(line.line_number);
      EXPECT_EQ(kAbc, line.digest);
    }
    EXPECT_EQ(c.names, names);
    EXPECT_EQ(c.numbers, numbers);
  }
}

TEST(ChecksumListTest, NamesPackageEntriesAsTheyExtract) {
  const struct {
    const char* name;
    const char* checksum_name;
    bool is_list;
    bool is_password;
  } cases[] = {
      {"fw\\image.bin", "fw/image.bin", false, false},
      {"\\lead\\x", "lead/x", false, false},
      {"SHA256SUMS", "SHA256SUMS", true, false},
      {"\\sha256sums", "sha256sums", true, false},
      {"sub\\SHA256SUMS", "sub/SHA256SUMS", false, false},
      {"Password.TXT", "Password.TXT", false, true},
      {"sub\\password.txt", "sub/password.txt", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.checksum_name, ChecksumName(c.name));
    EXPECT_EQ(c.is_list, IsChecksumsEntryName(c.name));
    EXPECT_EQ(c.is_password, IsPasswordEntryName(c.name));
  }
}

}  // namespace
}  // namespace kelvane::archive
