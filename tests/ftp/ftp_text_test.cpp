// ftp/ftp_text_test.cpp -- the command table, line cleaning and its UTF-8 decoder, PORT
// parsing, paths and the exact log line texts.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <string>
#include <vector>

#include "ftp/ftp_commands.h"
#include "ftp/ftp_text.h"

namespace kelvane::ftp {
namespace {

TEST(LookupCommandTest, TakesTheFirstFourCharactersWithoutCase) {
  const struct {
    const char* line;
    int number;
  } cases[] = {
      {"USER bob", 1}, {"user bob", 1}, {"USERNAME", 1}, {"PASS x", 2},  {"ACCT", 3},
      {"CWD x", 4},    {"cwd", 4},      {"CWDX", 0},     {"CDUP", 5},    {"SMNT", 6},
      {"QUIT", 7},     {"REIN", 8},     {"PORT 1", 9},   {"PASV", 10},   {"TYPE I", 11},
      {"STRU F", 12},  {"RETR a", 14},  {"APPE", 17},    {"ALLO", 18},   {"REST 0", 19},
      {"RNFR a", 20},  {"ABOR", 22},    {"ABORT", 22},   {"PWD", 26},    {"pwd ", 26},
      {"XPWD", 26},    {"PWDX", 0},     {"LIST -la", 27}, {"NLST", 28},  {"SITE", 29},
      {"SYST", 30},    {"STAT", 31},    {"HELP", 32},    {"NOOP", 33},   {"NOOPS", 33},
      {"OPTS UTF8", 34}, {"", 0},       {"PW", 0},       {"MODE S", 0},  {"STOR x", 0},
      {"STOU", 0},     {"RNTO y", 0},   {"DELE x", 0},   {"MKD x", 0},   {"RMD x", 0},
      {"XCWD x", 0},   {"XMKD x", 0},   {"EPRT |1|", 0}, {"EPSV", 0},    {" USER", 0},
      {"US R", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(c.number, LookupCommand(c.line));
  }
}

TEST(LookupCommandTest, OnlyGreetingCommandsPassWithoutLogin) {
  for (int number = 0; number <= 34; ++number) {
    SCOPED_TRACE(number);
    const bool free = number == kUser || number == kPass || number == kAcct ||
                      number == kQuit || number == kHelp || number == kNoop;
    EXPECT_EQ(!free, NeedsLogin(number));
  }
}

TEST(LookupCommandTest, TheModernWordsExistInTheModernTableOnly) {
  const struct {
    const char* line;
    int modern;
  } cases[] = {
      {"FEAT", kFeat},       {"feat", kFeat},       {"EPRT |1|a|1|", kEprt}, {"EPSV ALL", kEpsv},
      {"MDTM x", kMdtm},     {"SIZE x", kSize},     {"MLST", kMlst},         {"mlsd", kMlsd},
      {"USER bob", kUser},   {"ABOR", kAbor},       {"REST 5", kRest},       {"PASV", kPasv},
      {"SIZ x", 0},          {"MLS", 0},            {"XYZ", 0},              {"", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(c.modern, LookupModernCommand(c.line));
    // The classic table knows the classic words only.
    EXPECT_EQ(c.modern < kFeat ? c.modern : 0, LookupCommand(c.line));
  }
  EXPECT_FALSE(NeedsLogin(kFeat));
  for (int number : {kEprt, kEpsv, kMdtm, kSize, kMlst, kMlsd}) EXPECT_TRUE(NeedsLogin(number));
}

// Feeds |bytes| to a buffer in the pieces |cuts| gives (offsets, ascending) and takes every line
// after each piece; an unfinished line at the end is reported after "<unfinished>".
std::vector<std::string> CutIntoLines(const std::string& bytes, const std::vector<size_t>& cuts) {
  CommandLineBuffer buffer;
  std::vector<std::string> lines;
  size_t from = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(bytes.size());
  for (size_t end : ends) {
    buffer.Append(std::string_view(bytes).substr(from, end - from));
    from = end;
    std::string line;
    while (buffer.TakeLine(&line)) lines.push_back(line);
  }
  std::string rest = "untouched";
  if (buffer.TakeUnfinishedLine(&rest)) {
    lines.push_back("<unfinished>");
    lines.push_back(rest);
  } else if (rest != "untouched") {
    lines.push_back("<output changed>");
  }
  return lines;
}

TEST(CommandLineBufferTest, OneLineSentIsOneLineTakenAtEverySplit) {
  const std::string x255(255, 'x');
  const struct {
    std::string what;
    std::string bytes;
    std::vector<std::string> lines;
  } cases[] = {
      {"two lines", "NOOP\r\nPWD\r\n", {"NOOP", "PWD"}},
      {"bare LF", "NOOP\nPWD\n", {"NOOP", "PWD"}},
      {"empty lines", "\r\n\n", {"", ""}},
      {"CR anywhere", "NO\rOP\r\r\n", {"NOOP"}},
      {"NUL kept raw", std::string("NO\0OP\n", 6), {std::string("NO\0OP", 5)}},
      {"253 characters", std::string(253, 'x') + "\r\n", {std::string(253, 'x')}},
      {"254 characters", std::string(254, 'x') + "\r\n", {std::string(254, 'x')}},
      {"255 characters", x255 + "\r\n", {x255}},
      {"255 characters, bare LF", x255 + "\n", {x255}},
      {"256 characters", x255 + "y\r\n", {x255}},
      {"258 characters, then a line", x255 + "PWD\r\nNOOP\r\n", {x255, "NOOP"}},
      {"CRs after the cut", x255 + "\r\r\r\n", {x255}},
      {"CRs do not count", std::string(300, '\r') + "NOOP\n", {"NOOP"}},
      {"a long tail", "NOOP" + std::string(2000, 'x') + "\nPWD\n",
       {"NOOP" + std::string(251, 'x'), "PWD"}},
      {"unfinished", "NOOP\r\nPW", {"NOOP", "<unfinished>", "PW"}},
      {"unfinished, only a CR", "\r", {"<unfinished>", ""}},
      {"unfinished after the cut", x255 + "zz", {"<unfinished>", x255}},
      {"nothing", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.lines, CutIntoLines(c.bytes, {}));
    for (size_t cut = 1; cut < c.bytes.size(); ++cut) {
      SCOPED_TRACE(cut);
      ASSERT_EQ(c.lines, CutIntoLines(c.bytes, {cut}));
    }
    std::vector<size_t> every_byte;
    for (size_t cut = 1; cut < c.bytes.size(); ++cut) every_byte.push_back(cut);
    EXPECT_EQ(c.lines, CutIntoLines(c.bytes, every_byte));
  }
}

TEST(CommandLineBufferTest, AnUnfinishedLineWaitsBehindCompleteOnes) {
  CommandLineBuffer buffer;
  buffer.Append("NOOP\nPW");
  std::string line = "untouched";
  EXPECT_FALSE(buffer.TakeUnfinishedLine(&line));
  EXPECT_EQ("untouched", line);
  ASSERT_TRUE(buffer.TakeLine(&line));
  EXPECT_EQ("NOOP", line);
  EXPECT_FALSE(buffer.TakeLine(&line));
  ASSERT_TRUE(buffer.TakeUnfinishedLine(&line));
  EXPECT_EQ("PW", line);
  EXPECT_FALSE(buffer.TakeUnfinishedLine(&line));
  // Afresh: the next bytes begin a new line.
  buffer.Append("D\n");
  ASSERT_TRUE(buffer.TakeLine(&line));
  EXPECT_EQ("D", line);
}

std::string Cleaned(std::string bytes, int count) {
  char line[256] = {};
  std::memcpy(line, bytes.data(), std::min<size_t>(bytes.size(), sizeof line - 1));
  CleanLine(line, count);
  return line;
}

TEST(CommandLineBufferTest, TellsWhichLinesWereTooLongAtEverySplit) {
  // 255 characters fit; a 256th, however the bytes arrive, marks the line (CRs do not count).
  const std::string bytes = std::string(255, 'a') + "\r\n" + std::string(256, 'b') + "\n" +
                            std::string(255, 'c') + "\r\r\n" + "NOOP\r\n" +
                            std::string(300, 'd');
  const std::vector<std::pair<size_t, bool>> expected = {
      {255, false}, {255, true}, {255, false}, {4, false}};
  for (size_t cut = 0; cut <= bytes.size(); cut += 7) {
    SCOPED_TRACE(cut);
    CommandLineBuffer buffer;
    buffer.Append(std::string_view(bytes).substr(0, cut));
    buffer.Append(std::string_view(bytes).substr(cut));
    std::vector<std::pair<size_t, bool>> taken;
    std::string line;
    bool too_long = false;
    while (buffer.TakeLine(&line, &too_long)) taken.emplace_back(line.size(), too_long);
    EXPECT_EQ(expected, taken);
    ASSERT_TRUE(buffer.TakeUnfinishedLine(&line, &too_long));
    EXPECT_EQ(std::string(255, 'd'), line);
    EXPECT_TRUE(too_long);
  }
}

TEST(CommandLineBufferTest, AnyCompleteLineLooksAheadWithoutTaking) {
  CommandLineBuffer buffer;
  buffer.Append("NOOP\r\nABOR\r\nABO");
  EXPECT_TRUE(buffer.AnyCompleteLine([](const std::string& l) { return l == "ABOR"; }));
  EXPECT_FALSE(buffer.AnyCompleteLine([](const std::string& l) { return l == "ABO"; }));
  std::string line;
  ASSERT_TRUE(buffer.TakeLine(&line));
  EXPECT_EQ("NOOP", line);
  ASSERT_TRUE(buffer.TakeLine(&line));
  EXPECT_EQ("ABOR", line);
  EXPECT_FALSE(buffer.AnyCompleteLine([](const std::string&) { return true; }));
}

TEST(CleanLineTest, KeepsPrintableAsciiOnly) {
  const struct {
    std::string bytes;
    std::string cleaned;
  } cases[] = {
      {"NOOP", "NOOP"},
      {"NOOX\bP", "NOOP"},                       // backspace removes the last kept character
      {"\b\bNOOP", "NOOP"},                      // nothing to remove
      {"LIST\t-la", "LIST-la"},                  // tab dropped
      {"CWD caf\xC3\xA9", "CWD caf"},            // e acute (two bytes) dropped
      {"CWD \xE2\x82\xAC" "x", "CWD x"},         // euro sign (three bytes)
      {"CWD \xF0\x9F\x98\x80" "x", "CWD x"},     // four bytes: a surrogate pair, both dropped
      {"CWD a\xC3\xA9\b", "CWD "},               // removes 'a': the e acute was never kept
      {"CWD \xC0\xAF" "x", "CWD x"},             // an overlong '/' is no slash
      {"CWD \xE0\x80\xAE" "x", "CWD x"},         // an overlong '.' is no dot
      {"CWD \xC3" "A", "CWD A"},                 // a cut sequence never swallows the ASCII after it
      {"CWD \xED\xA0\x80" "x", "CWD x"},         // an encoded surrogate
      {"CWD \xF4\x90\x80\x80" "x", "CWD x"},     // above U+10FFFF
      {"CWD \x80\xBF" "x", "CWD x"},             // stray continuation bytes
      {"CWD \xFF\xFE" "x", "CWD x"},
      {"A\x7F" "B", "AB"},                       // DEL
      {"A\x01\x1F" "B", "AB"},                   // other control characters
      {std::string("AB\0CD", 5), "AB"},          // NUL ends the line
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(c.cleaned, Cleaned(c.bytes, static_cast<int>(c.bytes.size()) + 2));
  }
}

TEST(CleanLineTest, ANonPositiveCountEmptiesTheLine) {
  for (int count : {0, -1}) {
    SCOPED_TRACE(count);
    EXPECT_EQ("", Cleaned("NOOP", count));
  }
}

TEST(CleanLineTest, ACountCutAtEveryByteKeepsTheWholeCharactersBeforeIt) {
  // 'a', e acute (2), 'b', euro (3), 'c', an emoji (4), 'd'.
  const std::string bytes = "a\xC3\xA9" "b\xE2\x82\xAC" "c\xF0\x9F\x98\x80" "d";
  const std::string ascii_at[] = {"", "a", "a", "a", "ab", "ab", "ab", "ab", "abc", "abc",
                                  "abc", "abc", "abc", "abcd"};
  ASSERT_EQ(bytes.size() + 1, std::size(ascii_at));
  for (size_t cut = 0; cut <= bytes.size(); ++cut) {
    SCOPED_TRACE(cut);
    EXPECT_EQ(ascii_at[cut], Cleaned(bytes, static_cast<int>(cut)));
  }
}

TEST(DecodeUtf8Test, DecodesWellFormedAndReplacesIllFormedParts) {
  const struct {
    std::string bytes;
    std::u16string units;
  } cases[] = {
      {"Az", u"Az"},
      {"\xC3\xA9", u"\u00E9"},
      {"\xE2\x82\xAC", u"\u20AC"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
      {"\xC0\xAF", u"\uFFFD\uFFFD"},       // C0 never begins a sequence; AF is a stray
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"\xE2\x82" "A", u"\uFFFDA"},        // a cut sequence is one replacement
      {"\xE2\x82", u"\uFFFD"},             // cut by the end of the bytes
      {"\xF0\x9F\x98", u"\uFFFD"},
      {"\xF5\x80", u"\uFFFD\uFFFD"},
      {"\xC3\xC3\xA9", u"\uFFFD\u00E9"},   // the breaking byte begins the next sequence
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    const auto units = DecodeUtf8(c.bytes, 256);
    ASSERT_TRUE(units.has_value());
    EXPECT_EQ(c.units, *units);
  }
}

TEST(DecodeUtf8Test, FailsWhenTheUnitsWouldNotFit) {
  EXPECT_TRUE(DecodeUtf8(std::string(256, 'a'), 256).has_value());
  EXPECT_FALSE(DecodeUtf8(std::string(257, 'a'), 256).has_value());
  // One four-byte character needs two units.
  EXPECT_FALSE(DecodeUtf8(std::string(255, 'a') + "\xF0\x9F\x98\x80", 256).has_value());
}

TEST(ParsePortTest, AcceptsOnlySixSoundNumbersNamingTheClient) {
  const struct {
    const char* text;
    const char* client;
    bool ok;
    uint16_t port;
  } cases[] = {
      {"127,0,0,1,4,1", "127.0.0.1", true, 1025},
      {"192,168,1,20,4,1", "192.168.1.20", true, 1025},
      {"127,0,0,1,255,255", "127.0.0.1", true, 65535},
      {"127,0,0,1,0,0", "127.0.0.1", true, 0},
      {"127,000,0,001,4,1", "127.0.0.1", true, 1025},   // leading zeros are still decimal
      {"10,0,0,1,300,2", "10.0.0.1", false, 0},         // 300 is no byte
      {"10,0,0,1,4,256", "10.0.0.1", false, 0},
      {"10,0,0,256,4,1", "10.0.0.0", false, 0},
      {"1,2,3,4,5", "1.2.3.4", false, 0},               // four commas
      {"1,2,3,4,5,6,7", "1.2.3.4", false, 0},
      {"1,2,3,4,5,", "1.2.3.4", false, 0},
      {",1,2,3,4,5", "1.2.3.4", false, 0},
      {"1,2,,3,4,5", "1.2.3.4", false, 0},
      {"1,2,3,4,-5,6", "1.2.3.4", false, 0},
      {"1,2,3,4,+5,6", "1.2.3.4", false, 0},
      {"1,2,3,4,0x5,6", "1.2.3.4", false, 0},
      {"1,2,3,4,5,6 ", "1.2.3.4", false, 0},
      {"1.2.3.4,5,6", "1.2.3.4", false, 0},
      {"1,2,3,4,5,6", "1.2.3.5", false, 0},             // another host: a bounce
      {"127,0,0,2,4,1", "127.0.0.1", false, 0},
      {"127,000,000,001,004,001", "127.0.0.1", true, 1025},  // 23 characters, the most possible
      {"", "127.0.0.1", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string host = "keep";
    uint16_t port = 7;
    const bool ok = ParsePort(c.text, c.client, &host, &port);
    EXPECT_EQ(c.ok, ok);
    EXPECT_EQ(c.ok ? std::string(c.client) : "keep", host);
    EXPECT_EQ(c.ok ? c.port : 7, port);
  }
}

TEST(ParsePortTest, EveryCutOfASoundArgumentIsRefused) {
  const std::string text = "127,0,0,1,200,9";
  for (size_t cut = 0; cut < text.size(); ++cut) {
    SCOPED_TRACE(cut);
    std::string host = "keep";
    uint16_t port = 7;
    // Every prefix has fewer than six numbers or ends in a comma.
    EXPECT_FALSE(ParsePort(text.substr(0, cut), "127.0.0.1", &host, &port));
    EXPECT_EQ("keep", host);
    EXPECT_EQ(7, port);
  }
  std::string host;
  uint16_t port = 0;
  EXPECT_TRUE(ParsePort(text, "127.0.0.1", &host, &port));
  EXPECT_EQ(200 * 256 + 9, port);
}

TEST(ParseEprtTest, TakesIpv4OfTheClientOnlyAndTellsWhyNot) {
  const struct {
    const char* text;
    EprtResult result;
    uint16_t port;
  } cases[] = {
      {"|1|127.0.0.1|2121|", EprtResult::kOk, 2121},
      {"!1!127.0.0.1!65535!", EprtResult::kOk, 65535},  // any delimiter
      {"|1|127.0.0.1|1|", EprtResult::kOk, 1},
      {"|2|::1|2121|", EprtResult::kUnsupportedFamily, 0},
      {"|3|127.0.0.1|2121|", EprtResult::kUnsupportedFamily, 0},
      {"|1|127.0.0.2|2121|", EprtResult::kForeignHost, 0},  // a bounce
      {"|1|10.0.0.1|2121|", EprtResult::kForeignHost, 0},
      {"|1|127.0.0.1|0|", EprtResult::kNotUnderstood, 0},
      {"|1|127.0.0.1|65536|", EprtResult::kNotUnderstood, 0},
      {"|1|127.0.0.1|21x|", EprtResult::kNotUnderstood, 0},
      {"|1|127.0.0.1|2121", EprtResult::kNotUnderstood, 0},
      {"|1|127.0.0.1|2121||", EprtResult::kNotUnderstood, 0},
      {"|1|127.0.0|2121|", EprtResult::kNotUnderstood, 0},
      {"|1|127.0.0.1.5|2121|", EprtResult::kNotUnderstood, 0},
      {"|1|127.0.0.01|2121|", EprtResult::kNotUnderstood, 0},
      {"|1|127.0.0.256|2121|", EprtResult::kNotUnderstood, 0},
      {"||127.0.0.1|2121|", EprtResult::kNotUnderstood, 0},
      {"|x|127.0.0.1|2121|", EprtResult::kNotUnderstood, 0},
      {" 1 127.0.0.1 2121 ", EprtResult::kNotUnderstood, 0},  // a space is no delimiter
      {"", EprtResult::kNotUnderstood, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string host = "before";
    uint16_t port = 7;
    EXPECT_EQ(c.result, ParseEprt(c.text, "127.0.0.1", &host, &port));
    EXPECT_EQ(c.result == EprtResult::kOk ? "127.0.0.1" : "before", host);
    EXPECT_EQ(c.result == EprtResult::kOk ? c.port : 7, port);
  }
}

TEST(ParseRestOffsetTest, TakesDecimalDigitsOnly) {
  EXPECT_EQ(0u, ParseRestOffset("0"));
  EXPECT_EQ(1206620u, ParseRestOffset("1206620"));
  EXPECT_EQ(UINT64_MAX, ParseRestOffset("18446744073709551615"));
  for (const char* bad : {"", "-1", "+1", "1 ", "0x10", "18446744073709551616",
                          "123456789012345678901"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(ParseRestOffset(bad).has_value());
  }
}

TEST(ListPathArgumentTest, SkipsLeadingOptions) {
  const struct {
    const char* argument;
    const char* path;
  } cases[] = {
      {"", ""},           {"-la", ""},          {"-l -a", ""},       {"-la pub", "pub"},
      {"-l  -a  pub", "pub"}, {"pub", "pub"},  {"  pub", "pub"},    {"a name", "a name"},
      {"-a a name", "a name"}, {"pub -l", "pub -l"},  // options come first only
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argument);
    EXPECT_EQ(c.path, ListPathArgument(c.argument));
  }
}

TEST(MakePathTest, TurnsEverySlashIntoABackslash) {
  EXPECT_EQ("\\pub\\Dorvex\\", MakePath("/pub/Dorvex/"));
  EXPECT_EQ("a\\b c", MakePath("a/b c"));
  EXPECT_EQ("", MakePath(""));
}

TEST(LogLineTest, FormatsEachLineByteForByte) {
  EXPECT_EQ("127.0.0.1 issued command 1 ' USER bob ' ",
            IssuedCommandLine("127.0.0.1", 1, "USER bob"));
  EXPECT_EQ("10.0.0.2 issued command 0 '  ' ", IssuedCommandLine("10.0.0.2", 0, ""));
  EXPECT_EQ("bob command 2 ' PASS x ' was successful ",
            CommandResultLine("bob", 2, "PASS x", true));
  EXPECT_EQ(" command 27 ' LIST ' has failed ", CommandResultLine("", 27, "LIST", false));
  EXPECT_EQ("(21) Max Connections Reached", MaxConnectionsLine(21));
  EXPECT_STREQ("Disconnect!", kDisconnectLine);
}

TEST(LogLineTest, VeryLongTextsTakeTheShortForm) {
  const struct {
    size_t user;
    size_t line;
    bool long_form;
  } cases[] = {{0, 259, false}, {0, 260, true}, {100, 159, false}, {100, 160, true},
               {250, 10, true}, {250, 9, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.user << "+" << c.line);
    const std::string user(c.user, 'u');
    const std::string line(c.line, 'L');
    EXPECT_EQ(c.long_form ? "command 5 (2long) has failed "
                          : user + " command 5 ' " + line + " ' has failed ",
              CommandResultLine(user, 5, line, false));
  }
  EXPECT_EQ("1.2.3.4 issued command 14 (2long)",
            IssuedCommandLine("1.2.3.4", 14, std::string(260, 'x')));
  EXPECT_EQ("1.2.3.4 issued command 14 ' " + std::string(259, 'x') + " ' ",
            IssuedCommandLine("1.2.3.4", 14, std::string(259, 'x')));
}

}  // namespace
}  // namespace kelvane::ftp
