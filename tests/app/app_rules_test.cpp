// app/app_rules_test.cpp -- the application's pure rules: names from the executable, the
// "-log" option, settings integers and the low-16-bit port rule, port fields, the texts of
// failures and the port privilege they depend on, the read-me address, the password
// comparison, and the choice of the headless front end.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>

#include "app/password.h"
#include "app/startup_rules.h"
#include "app_fakes.h"
#include "platform/process.h"

namespace kelvane::app {
namespace {

TEST(StartupRulesTest, ApplicationNameDropsFolderAndLastExtension) {
  const struct {
    const char* path;
    const char* name;
  } cases[] = {
      {"/opt/kv/kelvane", "kelvane"},
      {"/opt/kv/kelvane.exe", "kelvane"},
      {"/opt/kv/srv.v2.bin", "srv.v2"},  // only the last extension goes
      {"/opt/k.v/kelvane", "kelvane"},   // a dot in a folder is no extension
      {"kelvane-demo", "kelvane-demo"},
      {"/x/.hidden", ".hidden"},
      {"/x/name.", "name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.name, ApplicationName(c.path));
  }
  // A Windows path: its folders end at '\\' there; on Linux that is part of the name.
  const bool windows = std::filesystem::path::preferred_separator == '\\';
  const struct {
    const char* path;
    const char* windows_name;
    const char* linux_name;
  } windows_cases[] = {
      {"C:\\Program Files\\kv\\kelvane.exe", "kelvane", "C:\\Program Files\\kv\\kelvane"},
      {"C:\\k.v\\kelvane", "kelvane", "C:\\k"},
      {"C:/kv\\srv.v2.exe", "srv.v2", "kv\\srv.v2"},
      {"\\\\host\\share\\kelvane.exe", "kelvane", "\\\\host\\share\\kelvane"},
  };
  for (const auto& c : windows_cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(windows ? c.windows_name : c.linux_name, ApplicationName(c.path));
  }
}

TEST(StartupRulesTest, LogIsAPlainCaseSensitiveSubstringOfTheJoinedCommandLine) {
  const struct {
    std::vector<std::string> arguments;
    bool wanted;
  } cases[] = {
      {{"/opt/kelvane", "-log"}, true},       {{"/opt/kelvane", "-logging"}, true},
      {{"/opt/my-logs/kelvane"}, true},  // in the program's own path
      {{"/opt/kelvane", "x-log"}, true},      {{"/opt/kelvane", "-LOG"}, false},
      {{"/opt/kelvane", "-", "log"}, false},  // joined with a space between
      {{"/opt/kelvane", "--lo", "g"}, false}, {{"/opt/kelvane"}, false},
  };
  for (const auto& c : cases) {
    const std::string line = JoinCommandLine(c.arguments);
    SCOPED_TRACE(line);
    EXPECT_EQ(c.wanted, CommandLineWantsTrace(line));
  }
  EXPECT_EQ("/a b -log", JoinCommandLine({"/a", "b", "-log"}));
  EXPECT_EQ("/opt/kelvane.bin.log", TraceFileName("/opt/kelvane.bin"));
}

TEST(StartupRulesTest, SettingIntegersAreThirtyTwoBitsAndPortsTheirLowSixteen) {
  const struct {
    const char* text;
    std::optional<uint32_t> value;
    uint16_t port;
  } cases[] = {
      {"21", 21, 21},
      {"65557", 65557, 21},  // 0x10015
      {"65536", 65536, 0},
      {"131152", 131152, 80},
      {"4294967295", 0xFFFFFFFFu, 65535},
      {"-1", 0xFFFFFFFFu, 65535},
      {"-2147483648", 0x80000000u, 0},
      {"+8080", 8080, 8080},
      {"4294967296", std::nullopt, 0},  // does not fit 4 bytes
      {"-2147483649", std::nullopt, 0},
      {"99999999999999999999999", std::nullopt, 0},
      {"", std::nullopt, 0},
      {"-", std::nullopt, 0},
      {" 21", std::nullopt, 0},
      {"0x15", std::nullopt, 0},
      {"21a", std::nullopt, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<uint32_t> value = ParseSettingInteger(c.text);
    EXPECT_EQ(c.value, value);
    if (value) {
      EXPECT_EQ(c.port, PortFromSetting(*value));
    }
  }
}

TEST(StartupRulesTest, PortFieldNeedsAnUnsignedIntegerFromOneTo65535) {
  const std::string positive = "Please enter a positive integer.";
  const std::string range = "Please enter an integer between 1 and 65535.";
  const struct {
    const char* text;
    std::string message;
    uint32_t value;
  } cases[] = {
      {"21", "", 21},      {" \t2121\t ", "", 2121}, {"65535", "", 65535},
      {"1", "", 1},        {"007", "", 7},           {"0", range, 0},
      {"65536", range, 0}, {"4294967295", range, 0}, {"4294967296", positive, 0},
      {"-5", positive, 0}, {"+5", positive, 0},      {"", positive, 0},
      {"  ", positive, 0}, {"80 81", positive, 0},   {"8o", positive, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("'") + c.text + "'");
    uint32_t value = 12345;
    EXPECT_EQ(c.message, CheckPortField(c.text, &value));
    EXPECT_EQ(c.message.empty() ? c.value : 12345u, value);  // untouched on a refusal
  }
}

TEST(StartupRulesTest, ReadMeAddressHasAPortPartExceptFor80) {
  EXPECT_EQ("http://localhost/www/index.htm", ReadMeAddress(80));
  EXPECT_EQ("http://localhost:8080/www/index.htm", ReadMeAddress(8080));
  EXPECT_EQ("http://localhost:81/www/index.htm", ReadMeAddress(81));
  EXPECT_EQ("http://localhost:0/www/index.htm", ReadMeAddress(0));
}

TEST(StartupRulesTest, FtpPortQuestionNamesTheMissingPrivilege) {
  const std::string question =
      "ERROR: Unable to open FTP port 21! Would you like to select a different port?";
  EXPECT_EQ(question, FtpPortErrorText(21, true, "/opt/kv/kelvane"));
  const std::string text = FtpPortErrorText(21, false, "/opt/kv/kelvane");
  // The question stays as it was, on its own line; the cause follows on the next.
  ASSERT_EQ(0u, text.find(question + "\n"));
  const std::string cause = text.substr(question.size() + 1);
  EXPECT_EQ(std::string::npos, cause.find('\n'));
  EXPECT_NE(std::string::npos, cause.find("Port 21 "));
  EXPECT_NE(std::string::npos, cause.find("setcap cap_net_bind_service=+ep /opt/kv/kelvane"));
}

TEST(StartupRulesTest, LogFileFailureNamesTheFileAndTheReason) {
  const std::string text = LogFileFailedText("/opt/app-1.2/ftp07122024.log", ENOENT);
  EXPECT_EQ(0u, text.find("Unable to open log file /opt/app-1.2/ftp07122024.log (No such file "
                          "or directory)!"));
  EXPECT_NE(std::string::npos, LogFileFailedText("/x", EACCES).find("(Permission denied)"));
}

// Holding a port below 1024 says whether the system let this process bind one; MayBindPort
// must agree with it.
TEST(PlatformPrivilegeTest, MayBindPortAgreesWithTheSystem) {
  EXPECT_TRUE(platform::MayBindPort(0));
  EXPECT_TRUE(platform::MayBindPort(65535));
  uint16_t held_port = 0;
  for (uint16_t port = 1023; port >= 900 && held_port == 0; --port) {
    if (test::HeldPort(port).port != 0) held_port = port;
  }
  if (held_port != 0) {
    EXPECT_TRUE(platform::MayBindPort(held_port));
  } else {  // no low port could be held: they are privileged and this process lacks it
    EXPECT_FALSE(platform::MayBindPort(1023));
  }
}

TEST(PasswordTest, MatchesIgnoringAsciiCaseAfterOneTrailingLineEnd) {
  using namespace std::string_literals;
  const struct {
    std::string entry;
    std::string typed;
    bool matches;
  } cases[] = {
      {"Secret", "sECRET", true},
      {"Secret", "Secret ", false},  // nothing is trimmed
      {" Secret", "Secret", false},
      {"Secret\r\n", "secret", true},  // the line end an editor adds
      {"Secret\n", "secret", true},
      {"Secret\r\n\r\n", "secret", false},  // only one line end goes
      {"Secret\r\n\r\n", "secret\r\n", true},
      {"Secret\r", "secret", false},
      {"Secret\r\n", "secret\r\n", false},
      {"", "", true},
      {"\r\n", "", true},
      {"", "x", false},
      {"pass\xC4word", "PASS\xC4WORD", true},
      {"pass\xC4word", "pass\xE4word", false},  // only A to Z fold
      {"[@]^`{", "[@]^`{", true},
      {"[", "{", false},     // neighbours of the letter ranges do not fold
      {"x", "x\0y"s, true},  // the typed text ends at its terminator
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry + " / " + c.typed);
    EXPECT_EQ(c.matches, PasswordMatches(ExpectedPassword(c.entry), c.typed));
  }
}

TEST(StartupRulesTest, HeadlessWithTheVariableOrWithoutADisplay) {
  using O = std::optional<std::string>;
  const struct {
    O headless;
    O display;
    O wayland;
    bool wanted;
  } cases[] = {
      {"1", ":0", std::nullopt, true},
      {std::nullopt, ":0", std::nullopt, false},
      {"0", ":0", std::nullopt, false},
      {std::nullopt, std::nullopt, "wayland-0", false},
      {std::nullopt, std::nullopt, std::nullopt, true},
      {std::nullopt, "", "", true},
      {"yes", ":0", std::nullopt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.headless.value_or("<unset>") + " " + c.display.value_or("<unset>"));
    EXPECT_EQ(c.wanted, WantsHeadless(c.headless, c.display, c.wayland));
  }
}

}  // namespace
}  // namespace kelvane::app
