// app/usage_test.cpp -- --version and --help: which command lines they take over, and what the
// help text must tell a user.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app_texts.h"
#include "app/usage.h"

namespace kelvane::app {
namespace {

TEST(UsageTest, OnlyAnExactArgumentAfterTheProgramPathCounts) {
  const struct {
    std::vector<std::string> arguments;
    InfoOption option;
  } cases[] = {
      {{"/opt/kelvane", "--version"}, InfoOption::kVersion},
      {{"/opt/kelvane", "--help"}, InfoOption::kHelp},
      {{"/opt/kelvane", "-log", "--version"}, InfoOption::kVersion},
      {{"/opt/kelvane", "--help", "--version"}, InfoOption::kHelp},  // the first one wins
      {{"/opt/kelvane", "x", "--help", "-log"}, InfoOption::kHelp},
      {{"--version"}, InfoOption::kNone},  // the program's own path is no option
      {{"/opt/kelvane", "--version-log"}, InfoOption::kNone},
      {{"/opt/kelvane", "--versions"}, InfoOption::kNone},
      {{"/opt/kelvane", "-version"}, InfoOption::kNone},
      {{"/opt/kelvane", "--HELP"}, InfoOption::kNone},
      {{"/opt/kelvane", "-h"}, InfoOption::kNone},
      {{"/opt/kelvane", " --help"}, InfoOption::kNone},
      {{"/opt/kelvane", "--", "version"}, InfoOption::kNone},
      {{"/opt/kelvane"}, InfoOption::kNone},
      {{}, InfoOption::kNone},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const auto& a : c.arguments) line += "[" + a + "]";
    SCOPED_TRACE(line);
    EXPECT_EQ(c.option, FindInfoOption(c.arguments));
  }
}

TEST(UsageTest, HelpNamesThisProgramsSettingsEveryKeyAndEveryExitStatus) {
  const std::vector<std::string> common = {
      "KELVANE_HEADLESS=1", "KELVANE_PASSWORD", "-log", "--version", "--help", "FTPPort ",
      "(default 21)", "HTTPPort ", "(default 80)", "LogFile ", "IdleTimeout ", "(default 300)",
      "HttpHeadTimeout ", "(default 10)", "HttpMinBodyRate ", "(default 500)", "FtpMode ", "classic", "modern", "PassivePorts ", "PassiveAddress ",
      "  0  normal end",
      "  1  ", "  2  ", "  3  ", "  4  the FTP port",
  };
  const struct {
    const char* path;
    UsagePlatform platform;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  } cases[] = {
      {"/srv/fw/fw-server.x86.bin",
       UsagePlatform::kLinux,
       {"Usage: fw-server.x86.bin ",  // as started
        "$XDG_CONFIG_HOME/Varnek Systems/fw-server.x86.conf",  // without the last extension
        "DISPLAY", "SIGTERM"},
       {"HKEY_CURRENT_USER", "Ctrl+Break"}},
      {"C:/Tools/fw-server.exe",  // Linux cuts the folder at '/' only
       UsagePlatform::kWindows,
       {"Usage: fw-server.exe ",
        "HKEY_CURRENT_USER\\Software\\Varnek Systems\\fw-server\\Parameters", "REG_DWORD",
        "Ctrl+Break"},
       {"XDG_CONFIG_HOME", "DISPLAY", "SIGTERM", "C:/Tools"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string text = UsageText(c.path, c.platform);
    std::vector<std::string> present = common;
    present.insert(present.end(), c.present.begin(), c.present.end());
    for (const std::string& part : present) {
      SCOPED_TRACE(part);
      EXPECT_NE(std::string::npos, text.find(part));
    }
    for (const std::string& part : c.absent) {
      SCOPED_TRACE(part);
      EXPECT_EQ(std::string::npos, text.find(part));
    }
    EXPECT_EQ(std::string::npos, text.find("  5  "));
    EXPECT_EQ('\n', text.back());
  }
}

}  // namespace
}  // namespace kelvane::app
