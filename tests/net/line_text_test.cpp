// net/line_text_test.cpp -- GetToken and TrimLineEnd.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/line_text.h"

namespace kelvane::net {
namespace {

TEST(GetTokenTest, FindsTheIndexedRunBetweenSeparators) {
  const struct {
    const char* text;
    const char* separators;
    int index;
    size_t capacity;
    int result;
    const char* token;
  } cases[] = {
      {"TYPE   A   N", " ", 1, 16, 0, "A"},
      {"TYPE   A   N", " ", 0, 16, 0, "TYPE"},
      {"TYPE   A   N", " ", 2, 16, 0, "N"},
      {"TYPE   A   N", " ", 3, 16, 1, ""},
      {"TYPE", " ", 1, 16, 1, ""},
      {"TYPE", " ", 0, 16, 0, "TYPE"},
      {"   TYPE  A  ", " ", 0, 16, 0, "TYPE"},  // leading separators are skipped
      {"   TYPE  A  ", " ", 1, 16, 0, "A"},
      {"   TYPE  A  ", " ", 2, 16, 1, ""},  // trailing separators make no empty token
      {"", " ", 0, 16, 1, ""},
      {"    ", " ", 0, 16, 1, ""},
      {"a,b c", " ,", 2, 16, 0, "c"},
      {"a,,b", ",", 1, 16, 0, "b"},
      {"RETR abcdefg", " ", 1, 8, 0, "abcdefg"},  // exactly fits with its terminator
      {"RETR abcdefgh", " ", 1, 8, 1, ""},        // one too long: not found, target empty
      {"RETR averyverylongname", " ", 1, 8, 1, ""},
      {"RETR x", " ", 1, 1, 1, ""},  // only room for the terminator
      {"RETR x", " ", 1, 2, 0, "x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\" index " + std::to_string(c.index) +
                 " capacity " + std::to_string(c.capacity));
    char target[32];
    std::memset(target, '#', sizeof target);
    EXPECT_EQ(c.result, GetToken(c.text, c.separators, c.index, target, c.capacity));
    EXPECT_STREQ(c.token, target);
    // Nothing is written past the capacity the caller gave.
    for (size_t i = c.capacity; i < sizeof target; ++i) {
      ASSERT_EQ('#', target[i]) << "byte " << i << " written";
    }
  }
}

TEST(TrimLineEndTest, RemovesOneLineEnd) {
  const struct {
    const char* text;
    const char* trimmed;
  } cases[] = {
      {"", ""},           {"\r", ""},          {"\n", ""},         {"x", "x"},
      {"ab\r\n", "ab"},   {"ab\n", "ab"},      {"ab\r", "ab"},     {"abc", "abc"},
      {"\r\n", ""},       {"\n\n", ""},        {"ab\n\r", "ab"},
      {"a\nb", "a"},      // the second-to-last is LF: the last two go
      {"a\r\r", "a"},     {"ab\r\nc", "ab\r"}, {"USER bob\r\n", "USER bob"},
  };
  for (const auto& c : cases) {
    std::string shown = c.text;
    for (size_t at; (at = shown.find_first_of("\r\n")) != std::string::npos;) {
      shown.replace(at, 1, shown[at] == '\r' ? "\\r" : "\\n");
    }
    SCOPED_TRACE("\"" + shown + "\"");
    char text[32];
    std::strcpy(text, c.text);
    TrimLineEnd(text);
    EXPECT_STREQ(c.trimmed, text);
  }
}

}  // namespace
}  // namespace kelvane::net
