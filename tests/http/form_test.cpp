// http/form_test.cpp -- the decoder of URL-encoded form bodies and its hex digits.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "http/form_variables.h"
#include "http_test_util.h"

namespace kelvane::http {
namespace {

using Pair = std::pair<std::string, std::optional<std::string>>;

TEST(HexDigitValueTest, DigitsAndBothLetterCasesCountAndNothingElse) {
  const struct {
    char c;
    int value;
  } cases[] = {{'0', 0}, {'9', 9}, {'a', 10}, {'f', 15}, {'A', 10}, {'F', 15},
               {'g', 0}, {'G', 0}, {'/', 0},  {':', 0},  {'@', 0},  {'`', 0}, {'\0', 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(1, c.c));
    EXPECT_EQ(c.value, HexDigitValue(c.c));
  }
}

TEST(ParseFormVariablesTest, DecodesPairsInPlaceWithinTheTableAndTheBody) {
  std::string many_pairs;
  std::vector<Pair> first_127;
  for (int i = 0; i < 130; ++i) {
    many_pairs += "k" + std::to_string(i) + "=" + std::to_string(i) + "&";
    if (i < 127) first_127.emplace_back("k" + std::to_string(i), std::to_string(i));
  }
  std::string exactly_127 = many_pairs.substr(0, many_pairs.find("k127=") - 1);
  std::string exactly_128 = many_pairs.substr(0, many_pairs.find("k128=") - 1);
  const struct {
    const char* name;
    std::string body;
    bool result;
    std::vector<Pair> pairs;
    int capacity = 128;
  } cases[] = {
      {"three", "a=1&b=hello+world&c=%41%62", true, {{"a", "1"}, {"b", "hello world"}, {"c", "Ab"}}},
      {"name without value", "a=1&x", true, {{"a", "1"}, {"x", std::nullopt}}},
      {"second '=' restarts the value", "a=b=c", true, {{"a", "c"}}},
      {"trailing '&'", "a=1&", true, {{"a", "1"}}},
      {"empty name at the end", "a=1&=z", true, {{"a", "1"}}},
      {"empty pairs before '&' are kept", "&=v&b", true, {{"", std::nullopt}, {"", "v"}, {"b", std::nullopt}}},
      {"empty body", "", true, {}},
      {"empty value", "a=", true, {{"a", ""}}},
      {"lower-case hex", "x=%7e%2B", true, {{"x", "~+"}}},
      {"not hex counts as 0", "x=%zz1", true, {{"x", std::string("\0" "1", 2)}}},
      {"'%' at the end", "x=%", true, {{"x", "%"}}},
      {"'%' and one character", "x=%4", true, {{"x", "%4"}}},
      // Two characters follow: they are taken as digits even when one of them is a separator.
      {"'%' swallows '&' and a name", "x=%&y=1", true, {{"x", "1"}}},
      {"'%' swallows '&'", "x=%4&y", true, {{"x", "@y"}}},
      {"decoded zero cuts the name", "ab%00cd=1", true, {{"ab", "1"}}},
      {"encoded separators stay data", "a%3Db=c%26d", true, {{"a=b", "c&d"}}},
      {"127 pairs fit", exactly_127, true, first_127},
      {"a 128th pair does not", exactly_128, false, first_127},
      {"a 128th pair ended by '&'", exactly_128 + "&", false, first_127},
      {"many more", many_pairs, false, first_127},
      {"capacity 1 keeps nothing", "a=1", false, {}, 1},
      {"capacity 2 keeps one", "a=1&b=2", false, {{"a", "1"}}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The body sits at the end of its buffer, so that reading past it shows under ASan.
    std::vector<char> text(c.body.begin(), c.body.end());
    text.push_back('\0');
    std::vector<varpair> storage(static_cast<size_t>(c.capacity), varpair{nullptr, nullptr});
    varlist table{c.capacity, -1, storage.data()};
    EXPECT_EQ(c.result, ParseFormVariables(text.data(), table, nullptr));
    ASSERT_EQ(static_cast<int>(c.pairs.size()), table.VariableCount);
    for (size_t i = 0; i < c.pairs.size(); ++i) {
      SCOPED_TRACE("pair " + std::to_string(i));
      EXPECT_EQ(c.pairs[i].first, std::string(storage[i].Name));
      if (c.pairs[i].second) {
        ASSERT_NE(nullptr, storage[i].Value);
        // Compare through the terminator, so that a cut value shows.
        EXPECT_EQ(*c.pairs[i].second,
                  std::string(storage[i].Value, c.pairs[i].second->size()));
      } else {
        EXPECT_EQ(nullptr, storage[i].Value);
      }
    }
  }
}

TEST(ParseFormVariablesTest, TracesEachPairEndedByAnd) {
  testing::ClearSink();
  char text[] = "a=1&flag&last=2";
  varpair storage[8];
  varlist table{8, 0, storage};
  EXPECT_TRUE(ParseFormVariables(text, table, testing::CaptureSink));
  EXPECT_EQ((std::vector<std::string>{"'a'='1'\n", "'flag'='(null)'\n"}), testing::SinkLines());
}

}  // namespace
}  // namespace kelvane::http
