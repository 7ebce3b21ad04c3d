// logview/log_view_test.cpp -- the log store: capacity and dropping, the longest length, the
// dated log file with its switch at midnight, followers, and many threads adding at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logview/dated_log_file.h"
#include "logview/log_view.h"
#include "support/fixture_package.h"

namespace kelvane::logview {
namespace {

using test::ReadWholeFile;
using test::TempDir;

// A date that a test moves by hand; any thread may read it.
class FakeToday {
 public:
  explicit FakeToday(LocalDate date) : date_(date) {}
  void Set(LocalDate date) {
    std::lock_guard<std::mutex> hold(mutex_);
    date_ = date;
  }
  std::function<LocalDate()> Source() {
    return [this] {
      std::lock_guard<std::mutex> hold(mutex_);
      return date_;
    };
  }

 private:
  std::mutex mutex_;
  LocalDate date_;
};

constexpr LocalDate kDecember7{7, 12, 2024};
constexpr LocalDate kDecember8{8, 12, 2024};

TEST(LogViewStoreTest, KeepsTheNewestLinesUpToTheCapacity) {
  const struct {
    const char* what;
    size_t capacity;
    std::vector<std::string> added;
    std::vector<std::string> kept;  // newest first
    size_t longest;
    uint64_t dropped;
  } cases[] = {
      {"below capacity", 3, {"a", "bb"}, {"bb", "a"}, 2, 0},
      {"exactly full", 3, {"a", "bb", "c"}, {"c", "bb", "a"}, 2, 0},
      {"oldest dropped", 3, {"a", "bb", "c", "dddd"}, {"dddd", "c", "bb"}, 4, 1},
      {"the longest dropped: recomputed", 2, {"longest", "bb", "c"}, {"c", "bb"}, 2, 1},
      {"a longest of equal length stays", 2, {"xyz", "abc", "d"}, {"d", "abc"}, 3, 1},
      {"capacity 1", 1, {"a", "bb", "c"}, {"c"}, 1, 2},
      {"capacity 0 keeps the newest line", 0, {"a", "bb", "c"}, {"c"}, 1, 2},
      {"empty lines are lines", 2, {"abc", "", ""}, {"", ""}, 0, 1},
      {"text is kept as given", 2, {"  spaced \t", "x"}, {"x", "  spaced \t"}, 10, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    LogView log;
    log.SetKeepLines(true);
    log.SetCapacity(c.capacity);
    for (const std::string& line : c.added) log.AddLine(line, true);
    EXPECT_EQ(c.kept, log.LineTexts());
    EXPECT_EQ(c.kept.size(), log.LineCount());
    EXPECT_EQ(c.longest, log.LongestLength());
    EXPECT_EQ(c.dropped, log.DroppedCount());
  }
}

TEST(LogViewStoreTest, NothingIsKeptUntilStoringIsOn) {
  LogView log;
  log.SetCapacity(5);
  log.AddLine("before", true);
  EXPECT_EQ(0u, log.LineCount());
  log.SetKeepLines(true);
  log.AddLine("after", true);
  log.SetKeepLines(false);
  log.AddLine("gone again", true);
  EXPECT_EQ(std::vector<std::string>{"after"}, log.LineTexts());
}

TEST(LogViewStoreTest, ChangingTheCapacityDropsOrClears) {
  LogView log;
  log.SetKeepLines(true);
  log.SetCapacity(5);
  for (const char* line : {"longest line", "b", "c", "d"}) log.AddLine(line, true);
  log.SetCapacity(2);
  EXPECT_EQ((std::vector<std::string>{"d", "c"}), log.LineTexts());
  EXPECT_EQ(1u, log.LongestLength());
  EXPECT_EQ(2u, log.DroppedCount());
  log.SetCapacity(4);
  log.AddLine("e", true);
  EXPECT_EQ((std::vector<std::string>{"e", "d", "c"}), log.LineTexts());
  log.SetCapacity(0);
  EXPECT_EQ(0u, log.LineCount());
  EXPECT_EQ(0u, log.LongestLength());
  EXPECT_EQ(2u, log.DroppedCount());  // emptied, not dropped one by one
}

TEST(LogViewStoreTest, ClearDropsEverything) {
  LogView log;
  log.SetKeepLines(true);
  log.SetCapacity(3);
  log.SetColours(0x112233, 0x445566);
  log.AddLine("one", true);
  log.LockedLines([](const std::deque<LogLine>& lines) {
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0x112233u, lines.front().text_colour);
    EXPECT_EQ(0x445566u, lines.front().background_colour);
  });
  log.Clear();
  EXPECT_EQ(0u, log.LineCount());
  EXPECT_EQ(0u, log.LongestLength());
  EXPECT_EQ(0u, log.DroppedCount());
  log.AddLine("two", true);
  EXPECT_EQ(std::vector<std::string>{"two"}, log.LineTexts());
}

// ---- The log file ----

TEST(DatedLogFileTest, InsertsTheStampBeforeTheFirstDotOfTheFileName) {
  const struct {
    const char* base;
    LocalDate date;
    const char* name;
  } cases[] = {
      {"ftp.log", kDecember7, "ftp07122024.log"},
      {"ftp", kDecember7, "ftp07122024"},
      {"/var/log/ftp.log", {1, 2, 2025}, "/var/log/ftp01022025.log"},
      {"ftp.tar.gz", {5, 10, 999}, "ftp05100999.tar.gz"},
      {".log", kDecember7, "07122024.log"},
      {"a.", kDecember7, "a07122024."},
      // Dots in folder names do not count.
      {"/var/logs.d/ftp.log", {31, 1, 2025}, "/var/logs.d/ftp31012025.log"},
      {"/opt/app-1.2/ftp.log", kDecember7, "/opt/app-1.2/ftp07122024.log"},
      {"/opt/app-1.2/ftp", kDecember7, "/opt/app-1.2/ftp07122024"},
      {"./ftp.log", kDecember7, "./ftp07122024.log"},
      {"../logs/ftp", kDecember7, "../logs/ftp07122024"},
      {"/var/log/.hidden", kDecember7, "/var/log/07122024.hidden"},
      {"logs.d/", kDecember7, "logs.d/07122024"},
      // Either separator ends a folder, whichever comes last.
      {"C:\\app-1.2\\ftp.log", kDecember7, "C:\\app-1.2\\ftp07122024.log"},
      {"C:\\app-1.2\\ftp", kDecember7, "C:\\app-1.2\\ftp07122024"},
      {"a.b\\c.d/e.f", kDecember7, "a.b\\c.d/e07122024.f"},
      {"a.b/c.d\\e", kDecember7, "a.b/c.d\\e07122024"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.base);
    EXPECT_EQ(c.name, DatedLogFile::DatedName(c.base, c.date));
  }
}

TEST(DatedLogFileTest, AcceptsNamesOfOneTo255Characters) {
  const struct {
    size_t length;
    int result;
  } cases[] = {{0, 1}, {1, 0}, {255, 0}, {256, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    LogView log;
    EXPECT_EQ(0, log.SetLogFileName("kept.log"));
    EXPECT_EQ(c.result, log.SetLogFileName(std::string(c.length, 'n')));
  }
}

TEST(LogViewFileTest, EachLineIsALineBreakAndTheTextFlushedAtOnce) {
  TempDir dir;
  FakeToday today(kDecember7);
  LogView log(today.Source());
  ASSERT_EQ(0, log.SetLogFileName(dir.File("ftp.log")));
  log.AddLine("not yet", true);  // copying is off until EnableLogFile
  log.EnableLogFile();
  const std::string file = dir.File("ftp07122024.log");
  EXPECT_EQ(file, log.LogFilePath());
  log.AddLine("127.0.0.1", true);
  log.AddLine("shown only", false);
  log.AddLine("", true);
  log.AddLine("Disconnect!", true);
  // Read while the log is still open: nothing waits in a buffer.
  EXPECT_EQ("\r\n127.0.0.1\r\n\r\nDisconnect!", ReadWholeFile(file).value_or("<none>"));
}

TEST(LogViewFileTest, WithoutANameFileCopyingStaysOff) {
  TempDir dir;
  FakeToday today(kDecember7);
  LogView log(today.Source());
  EXPECT_EQ(1, log.SetLogFileName(""));
  log.EnableLogFile();
  log.AddLine("line", true);
  EXPECT_EQ("", log.LogFilePath());
}

TEST(LogViewFileTest, TheFirstLineAfterMidnightStartsTheNextDaysFile) {
  TempDir dir;
  FakeToday today(kDecember7);
  LogView log(today.Source());
  log.SetLogFileName(dir.File("ftp.log"));
  log.EnableLogFile();
  log.AddLine("late on the 7th", true);
  today.Set(kDecember8);
  log.AddLine("early on the 8th", true);
  log.AddLine("later on the 8th", true);
  EXPECT_EQ("\r\nlate on the 7th", ReadWholeFile(dir.File("ftp07122024.log")).value_or(""));
  EXPECT_EQ("\r\nearly on the 8th\r\nlater on the 8th",
            ReadWholeFile(dir.File("ftp08122024.log")).value_or(""));
  EXPECT_EQ(dir.File("ftp08122024.log"), log.LogFilePath());
}

TEST(LogViewFileTest, ARestartAppendsToTheSameDaysFile) {
  TempDir dir;
  FakeToday today(kDecember7);
  for (const char* line : {"first run", "second run"}) {
    LogView log(today.Source());
    log.SetLogFileName(dir.File("ftp.log"));
    log.EnableLogFile();
    log.AddLine(line, true);
  }
  EXPECT_EQ("\r\nfirst run\r\nsecond run", ReadWholeFile(dir.File("ftp07122024.log")).value_or(""));
}

TEST(LogViewFileTest, AFileThatCannotBeOpenedIsTriedAgainAtTheNextDate) {
  TempDir dir;
  FakeToday today(kDecember7);
  LogView log(today.Source());
  log.SetKeepLines(true);
  log.SetCapacity(5);
  log.SetLogFileName(dir.File("missing/ftp.log"));
  log.EnableLogFile();
  log.AddLine("shown, not written", true);
  EXPECT_EQ("", log.LogFilePath());
  EXPECT_EQ(std::vector<std::string>{"shown, not written"}, log.LineTexts());
  ASSERT_TRUE(std::filesystem::create_directory(dir.File("missing")));
  log.AddLine("same day: still no file", true);
  EXPECT_EQ("", log.LogFilePath());
  today.Set(kDecember8);
  log.AddLine("next day", true);
  EXPECT_EQ("\r\nnext day", ReadWholeFile(dir.File("missing/ftp08122024.log")).value_or(""));
}

// Records the failures the log view tells of.
class FailureFollower : public LogObserver {
 public:
  void OnLineAdded(std::string_view /*text*/) override {}
  void OnLogFileFailed(std::string_view path, int error_number) override {
    std::lock_guard<std::mutex> hold(mutex_);
    failures_.emplace_back(path);
    errors_.push_back(error_number);
  }
  std::vector<std::string> failures() {
    std::lock_guard<std::mutex> hold(mutex_);
    return failures_;
  }
  std::vector<int> errors() {
    std::lock_guard<std::mutex> hold(mutex_);
    return errors_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> failures_;
  std::vector<int> errors_;
};

TEST(LogViewFileTest, AFailedOpenIsToldOnceUntilAFileOpensAgain) {
  TempDir dir;
  const std::string folder = dir.File("logs.d");
  FakeToday today(kDecember7);
  LogView log(today.Source());
  FailureFollower follower;
  log.AddObserver(&follower);
  ASSERT_EQ(0, log.SetLogFileName(folder + "/ftp.log"));

  log.EnableLogFile();  // the folder is missing
  const std::vector<std::string> first = {folder + "/ftp07122024.log"};
  EXPECT_EQ(first, follower.failures());
  EXPECT_EQ(std::vector<int>{ENOENT}, follower.errors());
  log.AddLine("same day", true);
  today.Set(kDecember8);
  log.AddLine("next day, still no folder", true);  // the same run of failures: not told again
  EXPECT_EQ(first, follower.failures());

  ASSERT_TRUE(std::filesystem::create_directory(folder));
  today.Set({9, 12, 2024});
  log.AddLine("opened", true);
  EXPECT_EQ(folder + "/ftp09122024.log", log.LogFilePath());
  EXPECT_EQ(first, follower.failures());

#if defined(_WIN32)
  // Windows removes no folder that holds an open file: the log's folder cannot vanish under it.
  log.RemoveObserver(&follower);
  return;
#endif
  std::filesystem::remove_all(folder);
  today.Set({10, 12, 2024});
  log.AddLine("at midnight the folder is gone", true);  // a new run: told again
  log.AddLine("and again", true);
  EXPECT_EQ((std::vector<std::string>{folder + "/ftp07122024.log", folder + "/ftp10122024.log"}),
            follower.failures());
  EXPECT_EQ("", log.LogFilePath());
  log.RemoveObserver(&follower);
}

TEST(LogViewFileTest, AnOpenedFileIsNoFailure) {
  TempDir dir;
  FakeToday today(kDecember7);
  LogView log(today.Source());
  FailureFollower follower;
  log.AddObserver(&follower);
  ASSERT_EQ(0, log.SetLogFileName(dir.File("app-1.2.d/ftp.log")));
  ASSERT_TRUE(std::filesystem::create_directory(dir.File("app-1.2.d")));
  log.EnableLogFile();
  log.AddLine("written", true);
  today.Set(kDecember8);
  log.AddLine("next day", true);
  EXPECT_TRUE(follower.failures().empty());
  EXPECT_EQ("\r\nwritten", ReadWholeFile(dir.File("app-1.2.d/ftp07122024.log")).value_or(""));
  EXPECT_EQ("\r\nnext day", ReadWholeFile(dir.File("app-1.2.d/ftp08122024.log")).value_or(""));
  log.RemoveObserver(&follower);
}

// ---- Followers ----

class RecordingFollower : public LogObserver {
 public:
  void OnLineAdded(std::string_view text) override {
    std::lock_guard<std::mutex> hold(mutex_);
    events_.emplace_back(text);
  }
  void OnCleared() override {
    std::lock_guard<std::mutex> hold(mutex_);
    events_.emplace_back("<cleared>");
  }
  std::vector<std::string> events() {
    std::lock_guard<std::mutex> hold(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> events_;
};

TEST(LogViewFollowerTest, FollowersSeeEveryLineAndClearKeptOrNot) {
  LogView log;
  RecordingFollower first;
  RecordingFollower second;
  log.AddObserver(&first);
  log.AddLine("not kept", true);
  log.AddObserver(&second);
  log.AddObserver(&second);  // once only
  log.SetKeepLines(true);
  log.SetCapacity(1);
  log.AddLine("kept", false);
  log.Clear();
  log.RemoveObserver(&first);
  log.AddLine("after", true);
  log.RemoveObserver(&second);
  log.AddLine("nobody", true);
  EXPECT_EQ((std::vector<std::string>{"not kept", "kept", "<cleared>"}), first.events());
  EXPECT_EQ((std::vector<std::string>{"kept", "<cleared>", "after"}), second.events());
}

// Takes the log's lock from another thread while being told of a line: that works only if the
// delivering thread does not hold the lock.
class LockProbingFollower : public LogObserver {
 public:
  explicit LockProbingFollower(LogView* log) : log_(log) {}
  void OnLineAdded(std::string_view text) override {
    if (text != "probe") return;
    auto other = std::async(std::launch::async, [this] { return log_->LineCount(); });
    took_lock_ = other.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (took_lock_) other.get();
    // Adding a line from inside a call queues it behind the current one.
    log_->AddLine("added by the follower", false);
  }
  bool took_lock_ = false;

 private:
  LogView* log_;
};

TEST(LogViewFollowerTest, FollowersAreCalledOutsideTheLock) {
  LogView log;
  log.SetKeepLines(true);
  log.SetCapacity(10);
  LockProbingFollower probe(&log);
  RecordingFollower recorder;
  log.AddObserver(&probe);
  log.AddObserver(&recorder);
  log.AddLine("probe", true);
  EXPECT_TRUE(probe.took_lock_);
  EXPECT_EQ((std::vector<std::string>{"probe", "added by the follower"}), recorder.events());
  log.RemoveObserver(&probe);
  log.RemoveObserver(&recorder);
}

// Holds the delivering thread inside a call until released.
class BlockingFollower : public LogObserver {
 public:
  void OnLineAdded(std::string_view) override {
    entered_.set_value();
    release_.get_future().wait();
    ++calls_;
  }
  std::promise<void> entered_;
  std::promise<void> release_;
  std::atomic<int> calls_{0};
};

TEST(LogViewFollowerTest, RemoveWaitsForACallUnderWay) {
  LogView log;
  BlockingFollower follower;
  log.AddObserver(&follower);
  std::thread adder([&] { log.AddLine("line", true); });
  follower.entered_.get_future().wait();
  auto removed = std::async(std::launch::async, [&] { log.RemoveObserver(&follower); });
  EXPECT_EQ(std::future_status::timeout, removed.wait_for(std::chrono::milliseconds(200)));
  follower.release_.set_value();
  EXPECT_EQ(std::future_status::ready, removed.wait_for(std::chrono::seconds(5)));
  adder.join();
  EXPECT_EQ(1, follower.calls_.load());
}

// ---- Many threads ----

TEST(LogViewThreadTest, TwentyThreadsAddingAtOnceLoseAndTearNothing) {
  constexpr int kThreads = 20;
  constexpr int kLinesEach = 200;
  constexpr size_t kCapacity = 50;
  TempDir dir;
  FakeToday today(kDecember7);
  LogView log(today.Source());
  log.SetKeepLines(true);
  log.SetCapacity(kCapacity);
  log.SetLogFileName(dir.File("many.log"));
  log.EnableLogFile();
  RecordingFollower follower;
  log.AddObserver(&follower);

  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kLinesEach; ++i) {
        log.AddLine("thread " + std::to_string(t) + " line " + std::to_string(i) +
                        std::string(static_cast<size_t>(i % 7), '.'),
                    true);
      }
    });
  }
  go.store(true);
  for (std::thread& t : threads) t.join();
  log.RemoveObserver(&follower);

  // The file: every line once, whole, each thread's lines in its own order.
  const std::string text = ReadWholeFile(dir.File("many07122024.log")).value_or("");
  std::vector<std::string> written;
  for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) {
    const size_t next = text.find("\r\n", at + 2);
    written.push_back(text.substr(at + 2, next == std::string::npos ? std::string::npos
                                                                    : next - at - 2));
    at += 2;
  }
  ASSERT_EQ(static_cast<size_t>(kThreads * kLinesEach), written.size());
  std::vector<int> next_line(kThreads, 0);
  for (const std::string& line : written) {
    int t = -1;
    int i = -1;
    ASSERT_EQ(2, std::sscanf(line.c_str(), "thread %d line %d", &t, &i)) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(next_line[t]++, i) << line;
    EXPECT_EQ("thread " + std::to_string(t) + " line " + std::to_string(i) +
                  std::string(static_cast<size_t>(i % 7), '.'),
              line);
  }
  // The followers saw the file's order; the store holds its newest lines.
  EXPECT_EQ(written, follower.events());
  std::vector<std::string> newest(written.rbegin(), written.rbegin() + kCapacity);
  EXPECT_EQ(newest, log.LineTexts());
  size_t longest = 0;
  for (const std::string& line : newest) longest = std::max(longest, line.size());
  EXPECT_EQ(longest, log.LongestLength());
}

}  // namespace
}  // namespace kelvane::logview
