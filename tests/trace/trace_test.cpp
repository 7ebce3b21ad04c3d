// trace/trace_test.cpp -- the diagnostic trace: prefixes, line ends, opening rules and threads.
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/fixture_package.h"

namespace kelvane::trace {
namespace {

using test::ReadWholeFile;
using test::TempDir;

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TraceClose();  // ARC2 or an earlier test may have left a file open
    ASSERT_FALSE(dir_.path().empty());
  }
  void TearDown() override { TraceClose(); }

  std::string Content(const std::string& file) { return ReadWholeFile(file).value_or("<none>"); }

  TempDir dir_;
};

TEST_F(TraceTest, WritesPrefixAndMessageWithCrLf) {
  const std::string long_text(5000, 'q');  // longer than any fixed formatting buffer
  int macro_line = 0;
  const struct {
    const char* name;
    std::function<void()> emit;
    std::function<std::string()> expected;
  } cases[] = {
      {"macro uses the file name from its last '/'",
       [&] { KELVANE_TRACE("x %d\n", 1); macro_line = __LINE__; },
       [&] { return "/trace_test.cpp(" + std::to_string(macro_line) + "): x 1\r\n"; }},
      {"backslash path",
       [] { TraceWhere("C:\\src\\FileArchiveReader", 43); TracePrintf("m\n"); },
       [] { return std::string("\\FileArchiveReader(43): m\r\n"); }},
      {"the last separator of either kind",
       [] { TraceWhere("/a\\b/c\\d.cpp", 5); TracePrintf("m\n"); },
       [] { return std::string("\\d.cpp(5): m\r\n"); }},
      {"no separator", [] { TraceWhere("plain", 7); TracePrintf("m\n"); },
       [] { return std::string("plain(7): m\r\n"); }},
      {"no TraceWhere, no prefix", [] { TracePrintf("m\n"); },
       [] { return std::string("m\r\n"); }},
      {"the prefix serves one message",
       [] { TraceWhere("p", 1); TracePrintf("a\n"); TracePrintf("b\n"); },
       [] { return std::string("p(1): a\r\nb\r\n"); }},
      {"every newline becomes CR LF", [] { TracePrintf("a\nb\n\nc"); },
       [] { return std::string("a\r\nb\r\n\r\nc"); }},
      {"formatting", [] { TracePrintf("%s|%5d|%%|%c\n", "s", -42, 'z'); },
       [] { return std::string("s|  -42|%|z\r\n"); }},
      {"long message",
       [&] { TraceWhere("w", 9); TracePrintf("%s\n", long_text.c_str()); },
       [&] { return "w(9): " + long_text + "\r\n"; }},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir_.File("case" + std::to_string(index++) + ".log");
    ASSERT_TRUE(TraceOpenFile(file.c_str()));
    c.emit();
    TraceClose();
    EXPECT_EQ(c.expected(), Content(file));
  }
}

TEST_F(TraceTest, SecondOpenFailsAndChangesNothing) {
  const std::string first = dir_.File("first.log");
  const std::string second = dir_.File("second.log");
  ASSERT_TRUE(TraceOpenFile(first.c_str()));
  EXPECT_FALSE(TraceOpenFile(second.c_str()));
  EXPECT_TRUE(TraceIsOpen());
  TracePrintf("kept\n");
  TraceClose();
  EXPECT_EQ("kept\r\n", Content(first));
  EXPECT_FALSE(std::filesystem::exists(second));
}

TEST_F(TraceTest, AppendsToAnExistingFile) {
  const std::string file = dir_.Write("old.log", "earlier run\r\n");
  ASSERT_TRUE(TraceOpenFile(file.c_str()));
  TracePrintf("next\n");
  TraceClose();
  ASSERT_TRUE(TraceOpenFile(file.c_str()));
  TracePrintf("third\n");
  TraceClose();
  EXPECT_EQ("earlier run\r\nnext\r\nthird\r\n", Content(file));
}

TEST_F(TraceTest, FileInMissingFolderLeavesTracingOff) {
  const std::string file = dir_.File("missing/trace.log");
  EXPECT_FALSE(TraceOpenFile(file.c_str()));
  EXPECT_FALSE(TraceIsOpen());
  KELVANE_TRACE("nowhere %d\n", 2);  // must be harmless
  TracePrintf("nowhere\n");
  EXPECT_FALSE(std::filesystem::exists(file));

  const std::string good = dir_.File("good.log");
  ASSERT_TRUE(TraceOpenFile(good.c_str()));  // the failure left no state behind
  TracePrintf("ok\n");
  TraceClose();
  EXPECT_EQ("ok\r\n", Content(good));
}

TEST_F(TraceTest, NothingIsWrittenWhileClosed) {
  const std::string file = dir_.File("closed.log");
  ASSERT_TRUE(TraceOpenFile(file.c_str()));
  TracePrintf("before\n");
  TraceClose();
  TracePrintf("after\n");
  TraceWhere("stale.cpp", 3);  // no file: remembers nothing for a later statement
  ASSERT_TRUE(TraceOpenFile(file.c_str()));
  TracePrintf("again\n");
  TraceClose();
  EXPECT_EQ("before\r\nagain\r\n", Content(file));
}

// Another thread's statement between this thread's TraceWhere and TracePrintf neither takes
// nor clears this thread's prefix.
TEST_F(TraceTest, PrefixBelongsToTheCallingThread) {
  const std::string file = dir_.File("prefix.log");
  ASSERT_TRUE(TraceOpenFile(file.c_str()));
  TraceWhere("src/main.cpp", 1);
  std::thread other([] {
    TraceWhere("src/other.cpp", 2);
    TracePrintf("other\n");
    TracePrintf("bare\n");
  });
  other.join();
  TracePrintf("main\n");
  TraceClose();
  EXPECT_EQ("/other.cpp(2): other\r\nbare\r\n/main.cpp(1): main\r\n", Content(file));
}

// Each thread traces statements whose prefix and message both name the thread and the
// statement, so a mixed-up prefix, a torn line or a lost line all show.
TEST_F(TraceTest, ConcurrentStatementsStayWholeLines) {
  constexpr int kThreads = 8;
  constexpr int kLines = 400;
  const std::string file = dir_.File("threads.log");
  ASSERT_TRUE(TraceOpenFile(file.c_str()));
  const std::string payload(150, '.');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &payload] {
      const std::string source = "src/thread" + std::to_string(t);
      for (int i = 0; i < kLines; ++i) {
        TraceWhere(source.c_str(), i);
        TracePrintf("t%d i%d %s\n", t, i, payload.c_str());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  TraceClose();

  const std::string text = Content(file);
  std::vector<int> next(kThreads, 0);  // each thread's statements arrive in order
  size_t pos = 0;
  int lines = 0;
  while (pos < text.size()) {
    const size_t end = text.find("\r\n", pos);
    ASSERT_NE(std::string::npos, end) << "unterminated tail at " << pos;
    const std::string line = text.substr(pos, end - pos);
    pos = end + 2;
    int t = -1;
    int i = -1;
    ASSERT_EQ(2, std::sscanf(line.c_str(), "/thread%d(%*d): t%*d i%d", &t, &i)) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ("/thread" + std::to_string(t) + "(" + std::to_string(i) + "): t" +
                  std::to_string(t) + " i" + std::to_string(i) + " " + payload,
              line);
    EXPECT_EQ(next[t], i) << line;
    next[t] = i + 1;
    ++lines;
  }
  EXPECT_EQ(kThreads * kLines, lines);
}

}  // namespace
}  // namespace kelvane::trace
