// app/win32/win32_front_end_test.cpp -- the Win32 front end's main window made in this process
// (hidden; the templates are linked in): the package check's lines from several threads, all
// kept in order, and the log's length from the LogLines setting. Skipped where Wine can make
// no window (no display).
#include "app/win32/win32_front_end.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "app/win32/resource.h"
#include "logview/log_view.h"

namespace kelvane::win32 {
namespace {

constexpr DWORD kBoundMilliseconds = 10000;

// Handles this thread's messages until |done| or the bound; |done|'s last answer.
template <typename Done>
bool PumpUntil(Done done) {
  const ULONGLONG deadline = GetTickCount64() + kBoundMilliseconds;
  while (!done()) {
    if (GetTickCount64() >= deadline) return false;
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
  }
  return true;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (!text.empty()) {
    const size_t end = text.find("\r\n", start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 2;
  }
  return lines;
}

TEST(Win32FrontEndTest, PackageCheckLinesFromAnyThreadAllStayInTheirOrder) {
  Win32FrontEnd front_end(GetModuleHandleA(nullptr), "win32_test");
  HWND dialog = front_end.main_dialog().window();
  if (dialog == nullptr) GTEST_SKIP() << "no window can be made here";
  HWND area = GetDlgItem(dialog, IDC_PACKAGE_CHECK);
  ASSERT_NE(nullptr, area);
  auto shown = [&] { return (GetWindowLongPtrA(area, GWL_STYLE) & WS_VISIBLE) != 0; };
  EXPECT_FALSE(shown());
  RECT before = {};
  GetWindowRect(dialog, &before);

  constexpr int kPerThread = 40;
  auto add = [&](const std::string& who) {
    for (int i = 0; i < kPerThread; ++i) {
      front_end.ShowPackageCheck("Damaged entry: \\" + who + "\\" + std::to_string(i) + " (crc)");
    }
  };
  std::thread first(add, "a");
  std::thread second(add, "b");
  add("w");  // this thread is the window's
  first.join();
  second.join();
  ASSERT_TRUE(PumpUntil([&] { return Lines(WindowText(area)).size() >= 3 * kPerThread; }))
      << WindowText(area);

  const std::vector<std::string> lines = Lines(WindowText(area));
  EXPECT_EQ(3u * kPerThread, lines.size());
  for (const std::string who : {"a", "b", "w"}) {
    SCOPED_TRACE(who);
    int next = 0;
    for (const std::string& line : lines) {
      if (line.rfind("Damaged entry: \\" + who + "\\", 0) != 0) continue;
      EXPECT_EQ("Damaged entry: \\" + who + "\\" + std::to_string(next) + " (crc)", line);
      ++next;
    }
    EXPECT_EQ(kPerThread, next);
  }
  // The area shows, and the window grew to hold it.
  EXPECT_TRUE(shown());
  RECT after = {};
  GetWindowRect(dialog, &after);
  EXPECT_GT(after.bottom - after.top, before.bottom - before.top);
}

TEST(Win32FrontEndTest, TheLogKeepsLogLinesOrTheLinesThatFitWhenMore) {
  const struct {
    size_t log_lines;
    bool more_than_fit;
  } cases[] = {{5000, true}, {3, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log_lines);
    Win32FrontEnd front_end(GetModuleHandleA(nullptr), "win32_test");
    if (front_end.main_dialog().window() == nullptr) GTEST_SKIP() << "no window can be made here";
    logview::LogView log;
    front_end.SetLogLines(c.log_lines);
    front_end.AttachLog(log);
    const size_t fitting = static_cast<size_t>(
        front_end.main_dialog().log_control().geometry().visible_lines());
    EXPECT_GT(fitting, 3u);
    EXPECT_EQ(c.more_than_fit ? c.log_lines : fitting, log.capacity());
    for (size_t i = 0; i < c.log_lines + fitting + 10; ++i) log.AddLine(std::to_string(i), true);
    EXPECT_EQ(log.capacity(), log.LineCount());
    front_end.DetachLog(log);
  }
}

}  // namespace
}  // namespace kelvane::win32
