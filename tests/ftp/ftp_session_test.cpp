// ftp/ftp_session_test.cpp -- a real FtpDaemon on 127.0.0.1 over the fixture package, driven
// through raw sockets so that every reply, listing and log line is checked byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "trace/trace.h"
#include "ftp/ftp_commands.h"
#include "ftp/ftp_s.h"
#include "ftp/ftp_text.h"
#include "ftp/transfer_observer.h"
#include "ftp_fixture.h"
#include "ftp_test_util.h"
#include "platform/socket.h"
#include "support/trace_capture.h"

namespace kelvane::ftp::ftptest {
namespace {

using namespace std::chrono;

constexpr char kHelpReply[] =
    "214-The following commands are implemented\r\n"
    "     USER  PASS  ACCT  QUIT  PORT  RETR\r\n"
    "     STOR  DELE  RNFR  PWD   CWD   CDUP\r\n"
    "     MKD   RMD   NOOP  TYPE  MODE  STRU\r\n"
    "     LIST  HELP\r\n"
    "214  HELP command successful\r\n";
constexpr char kNotImplemented[] = "502 Command not implemented\r\n";
constexpr char kPleaseLogin[] = "530 Please login with USER and PASS\r\n";
constexpr char kUserOk[] = "331 anonymous access allowed, send email name as PASS\r\n";
constexpr char kAtRoot[] = "257 \"/\" is current directory\r\n";
constexpr char kCwdOk[] = "250 CWD command successful\r\n";
constexpr char kCwdFailed[] = "550 CWD failed, path not found\r\n";
constexpr char kAccessDenied[] = "550 Access is denied\r\n";
constexpr char kPortOk[] = "250 PORT command successful\r\n";
constexpr char kPortFailed[] = "550 PORT failed\r\n";
constexpr char kOpening[] = "150 Opening ASCII mode data connection\r\n";
constexpr char kRetrStarted[] = "150 RETR command started\r\n";
constexpr char kComplete[] = "226 Transfer complete.\r\n";
constexpr char kRetrFailed[] = "550 RETR failed\r\n";

// The listing clock: 1 July 2019, 12:00 UTC, half a year from any new year in every zone.
system_clock::time_point July2019() { return sys_days{2019y / July / 1} + 12h; }

class FtpSessionTest : public testing::Test {
 protected:
  FtpSessionTest() : harness_(FixturePackage(), July2019) {}
  void SetUp() override { ASSERT_TRUE(harness_.ok()); }

  // A client that has logged in.
  std::unique_ptr<Client> LoggedIn(std::string_view user = "anonymous") {
    auto client = std::make_unique<Client>(harness_.port());
    EXPECT_TRUE(client->Login(user));
    return client;
  }

  Harness harness_;
};

// ---- Greeting and login ----

TEST_F(FtpSessionTest, LoginVariantsAndTheBanner) {
  struct Step {
    const char* line;
    std::string reply;
  };
  const struct {
    const char* what;
    std::vector<Step> steps;
    bool logged_in;
  } cases[] = {
      {"anonymous with an e-mail address",
       {{"USER anonymous", kUserOk}, {"PASS me@example.com", kBanner}}, true},
      {"any name, any password", {{"USER bob", kUserOk}, {"PASS x", kBanner}}, true},
      {"lower-case words", {{"user bob", kUserOk}, {"pass x", kBanner}}, true},
      {"spaces around the name", {{"USER   bob  ", kUserOk}, {"PASS   x", kBanner}}, true},
      {"PASS before USER", {{"PASS x", "500 PASS: USER must be sent first\r\n"}}, false},
      {"USER alone", {{"USER", "500 USER: command not understood\r\n"}}, false},
      {"PASS alone keeps the user given",
       {{"USER bob", kUserOk}, {"PASS", "500 PASS: command not understood\r\n"}}, false},
      {"PASS alone, then PASS x",
       {{"USER bob", kUserOk}, {"PASS   ", "500 PASS: command not understood\r\n"},
        {"PASS x", kBanner}},
       true},
      {"a second USER logs out",
       {{"USER bob", kUserOk}, {"PASS x", kBanner}, {"USER carol", kUserOk}}, false},
      {"PASS again after a login",
       {{"USER bob", kUserOk}, {"PASS x", kBanner}, {"PASS y", kBanner}}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Client client(harness_.port());
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(kGreeting, client.ReadLines(1));
    for (const Step& step : c.steps) {
      SCOPED_TRACE(step.line);
      const int lines = step.reply == kBanner ? 4 : 1;
      EXPECT_EQ(step.reply, client.Command(step.line, lines));
    }
    EXPECT_EQ(c.logged_in ? kAtRoot : kPleaseLogin, client.Command("PWD"));
  }
}

TEST_F(FtpSessionTest, QuitSaysGoodbyeAndCloses) {
  Client client(harness_.port());
  EXPECT_EQ(kGreeting, client.ReadLines(1));
  EXPECT_EQ("221 Goodbye\r\n", client.Command("QUIT"));
  EXPECT_EQ("", client.ReadToEnd());
  EXPECT_TRUE(harness_.sink().WaitFor("Disconnect!"));
}

// ---- The command table ----

TEST_F(FtpSessionTest, EveryWordAnswersAsTheTableSaysBeforeAndAfterLogin) {
  const struct {
    const char* line;
    std::string before;  // reply before login
    bool before_ok;      // logged as "was successful"
    std::string after;   // reply after login
    bool after_ok;
  } cases[] = {
      {"ACCT x", kNotImplemented, true, kNotImplemented, true},
      {"SMNT x", kPleaseLogin, false, kNotImplemented, false},
      {"REIN", kPleaseLogin, false, kNotImplemented, false},
      {"PASV", kPleaseLogin, false, kNotImplemented, false},
      {"APPE x", kPleaseLogin, false, kNotImplemented, false},
      {"ALLO 10", kPleaseLogin, false, kNotImplemented, false},
      {"REST 0", kPleaseLogin, false, kNotImplemented, false},
      {"ABORT", kPleaseLogin, false, kNotImplemented, false},
      {"SITE x", kPleaseLogin, false, kNotImplemented, false},
      {"SYST", kPleaseLogin, false, kNotImplemented, false},
      {"STAT", kPleaseLogin, false, kNotImplemented, false},
      {"HELP", kHelpReply, true, kHelpReply, true},
      {"HELP me", kHelpReply, true, kHelpReply, true},
      {"NOOPS", "200 NOOP command successful\r\n", true, "200 NOOP command successful\r\n", true},
      {"MODE S", kNotImplemented, false, kNotImplemented, false},
      {"STOR x", kNotImplemented, false, kNotImplemented, false},
      {"STOU", kNotImplemented, false, kNotImplemented, false},
      {"DELE x", kNotImplemented, false, kNotImplemented, false},
      {"MKD x", kNotImplemented, false, kNotImplemented, false},
      {"RMD x", kNotImplemented, false, kNotImplemented, false},
      {"RNTO y", kNotImplemented, false, kNotImplemented, false},
      {"XCWD x", kNotImplemented, false, kNotImplemented, false},
      {"EPSV", kNotImplemented, false, kNotImplemented, false},
      {"EPRT |1|127.0.0.1|5000|", kNotImplemented, false, kNotImplemented, false},
      {"PWDX", kNotImplemented, false, kNotImplemented, false},
      {"FEAT", kNotImplemented, false, kNotImplemented, false},
      {"TYPE I", kPleaseLogin, false, "250 TYPE command successful\r\n", true},
      {"TYPE a", kPleaseLogin, false, "250 TYPE command successful\r\n", true},
      {"TYPE A N", kPleaseLogin, false, "250 TYPE command successful\r\n", true},
      {"TYPE E", kPleaseLogin, false, "550 TYPE failed\r\n", false},
      {"TYPE L 8", kPleaseLogin, false, "550 TYPE failed\r\n", false},
      {"TYPE", kPleaseLogin, false, "500 TYPE: command not understood\r\n", false},
      {"STRU f", kPleaseLogin, false, "250 STRU command successful\r\n", true},
      {"STRU R", kPleaseLogin, false, "550 STRU failed\r\n", false},
      {"STRU", kPleaseLogin, false, "500 STRU: command not understood\r\n", false},
      {"OPTS utf8 on", kPleaseLogin, false, "250 Okay!\r\n", true},
      {"OPTS MLST type", kPleaseLogin, false, kNotImplemented, false},
      {"OPTS", kPleaseLogin, false, kNotImplemented, false},
      {"RNFR x", kPleaseLogin, false,
       "350 requested file action pending further information\r\n", true},
      {"RNFR", kPleaseLogin, false, "500 RNFR: command not understood\r\n", false},
      {"PORT", kPleaseLogin, false, "500 PORT: command not understood\r\n", false},
      {"PORT 1,2,3,4,5,6", kPleaseLogin, false, kPortFailed, false},
      {"CDUP", kPleaseLogin, false, kAccessDenied, false},
      {"PWD", kPleaseLogin, false, kAtRoot, true},
      {"XPWD", kPleaseLogin, false, kAtRoot, true},
      {"CWD /", kPleaseLogin, false, kCwdOk, true},
      {"RETR nothing", kPleaseLogin, false, kRetrFailed, false},
      {"LIST", kPleaseLogin, false, kOpening, false},  // no data listener: 150, then 550
  };
  Client client(harness_.port());
  ASSERT_EQ(kGreeting, client.ReadLines(1));
  for (bool logged_in : {false, true}) {
    if (logged_in) {
      ASSERT_EQ(kUserOk, client.Command("USER anonymous"));
      ASSERT_EQ(kBanner, client.Command("PASS x", 4));
    }
    const std::string user = logged_in ? "anonymous" : "";
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << c.line << (logged_in ? " after login" : " before"));
      const std::string& expected = logged_in ? c.after : c.before;
      const int lines = expected == kHelpReply ? 6 : 1;
      EXPECT_EQ(expected, client.Command(c.line, lines));
      if (expected == kOpening) {
        EXPECT_EQ("550 LIST failed\r\n", client.ReadLines(1));
      }
      // The outcome is logged when the next line is awaited, before the NOOP is answered.
      ASSERT_EQ("200 NOOP command successful\r\n", client.Command("NOOP"));
      const bool ok = logged_in ? c.after_ok : c.before_ok;
      const std::string result = user + " command " +
                                 std::to_string(LookupCommand(c.line)) + " ' " + c.line +
                                 " ' " + (ok ? "was successful" : "has failed") + " ";
      const auto lines_logged = harness_.sink().Lines();
      EXPECT_NE(lines_logged.end(), std::find(lines_logged.begin(), lines_logged.end(), result))
          << result;
    }
  }
}

TEST_F(FtpSessionTest, LinesAreCleanedBeforeTheyAreInterpreted) {
  const struct {
    std::string bytes;
    std::string reply;
  } cases[] = {
      {"NOOX\bP", "200 NOOP command successful\r\n"},
      {"N\xC3\xA9O\tOP", "200 NOOP command successful\r\n"},
      {"\x7FQUUX", kNotImplemented},
  };
  Client client(harness_.port());
  ASSERT_EQ(kGreeting, client.ReadLines(1));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(c.reply, client.Command(c.bytes));
  }
  // What the log shows is the cleaned line.
  EXPECT_TRUE(harness_.sink().WaitFor("127.0.0.1 issued command 33 ' NOOP ' "));
}

// One line of |length| characters: RNFR and x's up to the 255-character cut, then the start of
// "PWD" after it, so that a tail taken as a command of its own would be answered.
std::string RnfrLine(size_t length) {
  std::string line = "RNFR " + std::string(std::min<size_t>(length, 255) - 5, 'x');
  return line + std::string("PWD").substr(0, length - line.size());
}

TEST_F(FtpSessionTest, ALineOfAnyLengthGetsOneReply) {
  constexpr char kRnfrPending[] = "350 requested file action pending further information\r\n";
  auto client = LoggedIn();
  for (size_t length = 253; length <= 258; ++length) {
    for (const char* line_end : {"\r\n", "\n"}) {
      for (bool byte_by_byte : {false, true}) {
        SCOPED_TRACE(testing::Message() << length << " characters, "
                                        << (line_end[0] == '\r' ? "CR LF" : "LF")
                                        << (byte_by_byte ? ", byte by byte" : ", at once"));
        const std::string line = RnfrLine(length);
        const std::string bytes = line + line_end + "NOOP\r\n";
        ASSERT_TRUE(byte_by_byte ? client->SendByteByByte(bytes) : client->Send(bytes));
        // The NOOP's reply comes right after the one reply of the long line.
        EXPECT_EQ(std::string(kRnfrPending) + "200 NOOP command successful\r\n",
                  client->ReadLines(2));
        // The log shows the line as cut; its outcome line is long enough for the short form.
        EXPECT_TRUE(harness_.sink().WaitFor("127.0.0.1 issued command 20 ' " +
                                            line.substr(0, 255) + " ' "));
      }
    }
  }
  const auto logged = harness_.sink().Lines();
  EXPECT_EQ(24, std::count(logged.begin(), logged.end(), "command 20 (2long) was successful "));
  for (const std::string& line : logged) {
    EXPECT_EQ(std::string::npos, line.find("command 0 ")) << line;
    EXPECT_EQ(std::string::npos, line.find("command 26 ' P")) << line;
  }
}

TEST_F(FtpSessionTest, CommandsSentTogetherAreAnsweredInOrder) {
  Client client(harness_.port());
  ASSERT_EQ(kGreeting, client.ReadLines(1));
  ASSERT_TRUE(client.Send("USER bob\r\nPASS x\nPWD\r\nNOOP\r\nQUIT\r\n"));
  EXPECT_EQ(std::string(kUserOk) + kBanner + kAtRoot + "200 NOOP command successful\r\n" +
                "221 Goodbye\r\n",
            client.ReadToEnd());
}

TEST_F(FtpSessionTest, ALineUnfinishedWhenTheClientClosesIsStillACommand) {
  {
    Client client(harness_.port());
    ASSERT_EQ(kGreeting, client.ReadLines(1));
    ASSERT_TRUE(client.Send("NOOP\r\nUSER bob"));
    ASSERT_EQ("200 NOOP command successful\r\n", client.ReadLines(1));
    platform::ShutdownSend(client.fd());
    EXPECT_EQ(kUserOk, client.ReadToEnd());
  }
  EXPECT_TRUE(harness_.sink().WaitFor("Disconnect!"));
}

// ---- Directories ----

TEST_F(FtpSessionTest, CwdCdupAndPwdFollowTheArchiveTree) {
  const struct {
    const char* line;
    std::string reply;
  } steps[] = {
      {"PWD", kAtRoot},
      {"CWD pub", kCwdOk},
      {"PWD", "257 \"/pub\" is current directory\r\n"},
      {"CWD dorvex", kCwdOk},  // any case; PWD shows the stored one
      {"XPWD", "257 \"/pub/Dorvex\" is current directory\r\n"},
      {"CWD /", kCwdOk},
      {"CWD pub/dorvex/UPDATES", kCwdOk},
      {"PWD", "257 \"/pub/Dorvex/Updates\" is current directory\r\n"},
      {"CDUP", kCwdOk},
      {"PWD", "257 \"/pub/Dorvex\" is current directory\r\n"},
      {"CWD ..", kCwdOk},
      {"PWD", "257 \"/pub\" is current directory\r\n"},
      {"CWD Dorvex/Updates/Image", kCwdFailed},  // a file
      {"CWD nowhere", kCwdFailed},
      {"PWD", "257 \"/pub\" is current directory\r\n"},
      {"CWD", kCwdOk},  // nothing to change
      {"CWD \\pub", kCwdOk},
      {"PWD", "257 \"/pub\" is current directory\r\n"},
      {"CWD /PUB/", kCwdOk},
      {"PWD", "257 \"/pub\" is current directory\r\n"},
      {"CWD /long", kCwdOk},
      {"PWD", "257 \"/long\" is current directory\r\n"},
      {"CDUP", kCwdOk},
      {"CDUP", kAccessDenied},
      {"CWD ..", kCwdFailed},
      {"CWD  pub", kCwdFailed},  // the argument starts after one space
      {"PWD", kAtRoot},
  };
  auto client = LoggedIn();
  for (const auto& step : steps) {
    SCOPED_TRACE(step.line);
    EXPECT_EQ(step.reply, client->Command(step.line));
  }
}

// ---- Listings ----

TEST_F(FtpSessionTest, ListShowsFixedColumnsOfTheCurrentDirectory) {
  const std::string directory_at_noon =
      "dr-xr-xr--   1 owner    group               0 Jul  1 12:00 ";
  // The root's password.txt (between version.txt and bad) is never listed; pub's is.
  const struct {
    const char* cwd;
    const char* command;
    std::string data;
  } cases[] = {
      {"/", "LIST",
       directory_at_noon + "pub\r\n" +
           "-r-xr-xr--   1 owner    group               6 Oct  1  2008 version.txt\r\n" +
           directory_at_noon + "bad\r\n" + directory_at_noon + "long\r\n"},
      {"/", "LIST -la", {}},  // the same as LIST: filled in below
      {"/pub/Dorvex/Updates", "LIST",
       "-r-xr-xr--   1 owner    group         1206620 Apr 17 18:40 Image\r\n"},
      {"/pub", "LIST pub/Dorvex",  // a path is ignored too
       directory_at_noon + "Dorvex\r\n" +
           "-r-xr-xr--   1 owner    group               0 Apr 17 18:40 empty.txt\r\n" +
           "-r-xr-xr--   1 owner    group          100000 Apr 17 18:40 stored.bin\r\n" +
           "-r-xr-xr--   1 owner    group              18 Apr 17 18:40 password.txt\r\n"},
      {"/long", "LIST",
       "-r-xr-xr--   1 owner    group               1 Oct  1  2008 " + LongName() + "\r\n"},
      {"/", "NLST", "pub\r\nversion.txt\r\nbad\r\nlong\r\n"},
      {"/pub", "NLST", "Dorvex\r\nempty.txt\r\nstored.bin\r\npassword.txt\r\n"},
      {"/long", "NLST", LongName() + "\r\n"},
  };
  auto client = LoggedIn();
  DataListener listener;
  ASSERT_TRUE(listener.ok());
  ASSERT_EQ(kPortOk, client->Command("PORT " + listener.PortArgument()));
  std::string root_listing;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.cwd << " " << c.command);
    ASSERT_EQ(kCwdOk, client->Command(std::string("CWD ") + c.cwd));
    const DataOutcome result = ActiveTransfer(*client, listener, c.command);
    EXPECT_EQ(std::string(kOpening) + kComplete, result.replies);
    ASSERT_TRUE(result.data.has_value());
    if (c.data.empty()) {
      EXPECT_EQ(root_listing, *result.data);
    } else {
      EXPECT_EQ(c.data, *result.data);
    }
    if (root_listing.empty()) root_listing = *result.data;
  }
}

TEST(FtpEmptyPackageTest, ListingAnEmptyDirectoryFailsAfterAnEmptyConnection) {
  // A root that holds only the password entry is as empty to a client as one with nothing.
  for (const char* only_entry : {"", "password.txt", "PASSWORD.TXT"}) {
    SCOPED_TRACE(only_entry);
    test::PackageBuilder builder(std::string(100, 'i'));
    if (*only_entry != '\0') builder.AddFile(only_entry, "secret");
    Harness harness{builder};
    ASSERT_TRUE(harness.ok());
    Client client(harness.port());
    ASSERT_TRUE(client.Login());
    DataListener listener;
    ASSERT_EQ(kPortOk, client.Command("PORT " + listener.PortArgument()));
    for (const char* command : {"LIST", "NLST"}) {
      SCOPED_TRACE(command);
      const DataOutcome result = ActiveTransfer(client, listener, command);
      EXPECT_EQ(std::string(kOpening) + "550 " + command + " failed\r\n", result.replies);
      ASSERT_TRUE(result.data.has_value());
      EXPECT_EQ("", *result.data);
    }
  }
}

// ---- Downloads ----

TEST_F(FtpSessionTest, RetrSendsWholeEntriesAndFailsOnAnythingLess) {
  const std::string ok = std::string(kRetrStarted) + kComplete;
  const std::string failed_after_start = std::string(kRetrStarted) + kRetrFailed;
  const struct {
    const char* cwd;
    const char* command;
    std::string replies;
    std::optional<std::string> data;  // none: no data connection at all
  } cases[] = {
      {"/", "RETR pub/Dorvex/Updates/Image", ok, test::SampleEntryContent()},
      {"/pub/Dorvex/Updates", "RETR Image", ok, test::SampleEntryContent()},
      {"/pub/Dorvex/Updates", "RETR /version.txt", ok, "3.34\r\n"},
      {"/pub", "RETR ../VERSION.TXT", ok, "3.34\r\n"},
      {"/", "RETR pub\\stored.bin", ok, StoredContent()},
      {"/", "RETR pub/empty.txt", ok, ""},
      {"/pub", "RETR password.txt", ok, kPubPasswordContent},  // only the root's is hidden
      {"/", "RETR pub/PASSWORD.txt", ok, kPubPasswordContent},
      {"/", "RETR password.txt", kRetrFailed, std::nullopt},
      {"/", "RETR long/x", kRetrFailed, std::nullopt},
      {"/", "RETR pub", kRetrFailed, std::nullopt},
      {"/", "RETR pub/", kRetrFailed, std::nullopt},
      {"/", "RETR missing.txt", kRetrFailed, std::nullopt},
      {"/", "RETR", kRetrFailed, std::nullopt},
      {"/", "RETR  version.txt", kRetrFailed, std::nullopt},  // the name starts after one space
      {"/", "RETR bad/damaged.bin", failed_after_start, std::nullopt},
      {"/", "RETR bad/liar.txt", failed_after_start, "12345"},
      {"/", "RETR bad/short.bin", failed_after_start, std::nullopt},
  };
  auto client = LoggedIn();
  DataListener listener;
  ASSERT_EQ(kPortOk, client->Command("PORT " + listener.PortArgument()));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    ASSERT_EQ(kCwdOk, client->Command(std::string("CWD ") + c.cwd));
    const DataOutcome result = ActiveTransfer(*client, listener, c.command);
    EXPECT_EQ(c.replies, result.replies);
    if (c.replies == failed_after_start) {
      // Some bytes may have gone out; what matters is the 550.
      EXPECT_TRUE(result.data.has_value());
      if (c.data) {
        EXPECT_EQ(*c.data, result.data.value_or(""));
      }
    } else {
      EXPECT_EQ(c.data.has_value(), result.data.has_value());
      if (c.data && result.data) {
        EXPECT_EQ(c.data->size(), result.data->size());
        EXPECT_TRUE(*c.data == *result.data);
      }
    }
  }
}

TEST_F(FtpSessionTest, RetrTracesEachOutcomeFromItsModule) {
  test::TraceCapture capture;
  ASSERT_TRUE(capture.ok());
  auto client = LoggedIn();
  DataListener listener;
  ASSERT_EQ(kPortOk, client->Command("PORT " + listener.PortArgument()));
  ActiveTransfer(*client, listener, "RETR missing");
  ActiveTransfer(*client, listener, "RETR pub");
  ActiveTransfer(*client, listener, "RETR /version.txt");
  ActiveTransfer(*client, listener, "RETR bad/damaged.bin");
  ActiveTransfer(*client, listener, "RETR bad/liar.txt");
  ASSERT_EQ(kPortOk, client->Command("PORT " + PortArgumentFor(ClosedPort())));
  ActiveTransfer(*client, listener, "RETR version.txt");
  ASSERT_EQ("221 Goodbye\r\n", client->Command("QUIT"));
  ASSERT_TRUE(harness_.sink().WaitFor("Disconnect!"));

  const std::string text = capture.Finish();
  const auto messages = test::TraceMessages(text);
  const char* expected[] = {
      "RetrFile: 'missing' -> 'missing'",
      "RetrFile: Entry 'missing' not found!",
      "RetrFile: 'pub' -> 'pub'",
      "RetrFile: Entry 'pub' is dir!",
      "RetrFile: '/version.txt' -> '\\version.txt'",
      "RetrFile: SendFile returned 0 (OK)!",
      "RetrFile: SendFile returned 2 (FAILED)!",
      "RetrFile: 5 of 10 bytes sent!",
      "RetrFile: Connect failed!",
  };
  for (const char* message : expected) {
    SCOPED_TRACE(message);
    EXPECT_LE(1, test::CountMessage(messages, message));
  }
  EXPECT_EQ(2, test::CountMessage(messages, "RetrFile: SendFile returned 0 (OK)!"));
  EXPECT_NE(std::string::npos, text.find("/ftp_s.cpp("));
}

TEST_F(FtpSessionTest, ThePasswordEntryIsAbsentByEveryPath) {
  const struct {
    const char* cwd;
    const char* name;
  } cases[] = {
      {"/", "password.txt"},        {"/", "/PASSWORD.TXT"},   {"/", "\\password.txt"},
      {"/", "pub/../password.txt"}, {"/pub", "../Password.Txt"}, {"/pub", "/password.txt"},
      {"/pub/Dorvex", "../../password.txt"}, {"/", "missing.txt"},  // the model it must match
  };
  test::TraceCapture capture;
  ASSERT_TRUE(capture.ok());
  auto client = LoggedIn();
  DataListener listener;
  ASSERT_EQ(kPortOk, client->Command("PORT " + listener.PortArgument()));
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.cwd << " " << c.name);
    ASSERT_EQ(kCwdOk, client->Command(std::string("CWD ") + c.cwd));
    const DataOutcome result = ActiveTransfer(*client, listener, std::string("RETR ") + c.name);
    EXPECT_EQ(kRetrFailed, result.replies);
    EXPECT_FALSE(result.data.has_value());
  }
  ASSERT_EQ("221 Goodbye\r\n", client->Command("QUIT"));
  ASSERT_TRUE(harness_.sink().WaitFor("Disconnect!"));
  const auto messages = test::TraceMessages(capture.Finish());
  const auto logged = harness_.sink().Lines();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = MakePath(c.name);
    EXPECT_LE(1, test::CountMessage(messages, "RetrFile: Entry '" + path + "' not found!"));
    const std::string line = std::string("RETR ") + c.name;
    for (const std::string& expected :
         {"127.0.0.1 issued command 14 ' " + line + " ' ",
          "anonymous command 14 ' " + line + " ' has failed "}) {
      EXPECT_EQ(1, std::count(logged.begin(), logged.end(), expected)) << expected;
    }
  }
  // One trace line each, and no transfer began.
  EXPECT_EQ(static_cast<long>(std::size(cases)),
            std::count_if(messages.begin(), messages.end(), [](const std::string& message) {
              return message.find("' not found!") != std::string::npos;
            }));
  EXPECT_EQ(0, test::CountMessage(messages, "RetrFile: SendFile returned 0 (OK)!"));
}

// ---- PORT ----

TEST_F(FtpSessionTest, OnlyASoundPortNamingTheClientChangesTheDataConnection) {
  const struct {
    const char* argument;
    const char* reply;
  } refused[] = {
      {"", "500 PORT: command not understood\r\n"},
      {"1,2,3,4,5", kPortFailed},               // four commas
      {"127,0,0,1,300,2", kPortFailed},         // 300 is no byte
      {"127,0,0,1,4", kPortFailed},
      {"127,0,0,1,4,1,9", kPortFailed},
      {"127,0,0,2,4,1", kPortFailed},           // another host: a bounce
      {"10,0,0,1,4,1", kPortFailed},
      {"127,0,0,1,-4,1", kPortFailed},
      {"127,0,0,1,4,1x", kPortFailed},
      {"127 ,0,0,1,4,1", kPortFailed},          // the token ends at the space
      {"0127,0,0,1,4,1", kPortFailed},
  };
  auto client = LoggedIn();
  DataListener first;
  DataListener second;
  ASSERT_EQ(kPortOk, client->Command("PORT " + first.PortArgument()));
  for (const auto& c : refused) {
    SCOPED_TRACE(c.argument);
    EXPECT_EQ(c.reply, client->Command(std::string("PORT ") + c.argument));
    // The data connection still goes where the last sound PORT said.
    const DataOutcome result = ActiveTransfer(*client, first, "NLST");
    EXPECT_EQ(std::string(kOpening) + kComplete, result.replies);
    EXPECT_EQ("pub\r\nversion.txt\r\nbad\r\nlong\r\n", result.data.value_or("<none>"));
    EXPECT_FALSE(second.HasPendingConnection());
  }
  // The data host in the log stays the client's address.
  EXPECT_TRUE(harness_.sink().WaitFor("127.0.0.1 issued command 28 ' NLST ' "));
  for (const std::string& line : harness_.sink().Lines()) {
    EXPECT_EQ(std::string::npos, line.find("1.2.3.4 issued")) << line;
  }
  ASSERT_EQ(kPortOk, client->Command("PORT " + second.PortArgument()));
  const DataOutcome moved = ActiveTransfer(*client, second, "NLST");
  EXPECT_EQ(std::string(kOpening) + kComplete, moved.replies);
  EXPECT_TRUE(moved.data.has_value());
  EXPECT_FALSE(first.HasPendingConnection());
}

TEST_F(FtpSessionTest, ARefusedDataConnectionFailsTheCommand) {
  auto client = LoggedIn();
  // Before any PORT the data connection goes to the client's own control port, where nothing
  // listens; then to a port that was closed.
  DataListener unused;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    if (round == 1) {
      ASSERT_EQ(kPortOk, client->Command("PORT " + PortArgumentFor(ClosedPort())));
    }
    EXPECT_EQ(std::string(kOpening) + "550 LIST failed\r\n", client->Command("LIST", 2));
    EXPECT_EQ(std::string(kOpening) + "550 NLST failed\r\n", client->Command("NLST", 2));
    EXPECT_EQ(kRetrFailed, client->Command("RETR version.txt"));
  }
  // The control connection carries on.
  EXPECT_EQ(kAtRoot, client->Command("PWD"));
}

// ---- Many clients ----

TEST_F(FtpSessionTest, TwentyClientsDownloadAtOnceAndATwentyFirstIsRefused) {
  constexpr int kClients = net::TcpServer::MAX_CONNECTIONS;
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(LoggedIn());
    ASSERT_TRUE(clients.back()->connected());
  }
  Client extra(harness_.port());
  ASSERT_TRUE(extra.Send("USER late\r\n"));
  EXPECT_EQ("Too Many Connections, Please Try Later.", extra.ReadToEnd());
  // The count is of the sessions served: the refusal is not one of them.
  EXPECT_TRUE(harness_.sink().WaitFor("(20) Max Connections Reached"));

  std::vector<DataOutcome> results(kClients);
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      DataListener listener;
      if (clients[i]->Command("PORT " + listener.PortArgument()) != kPortOk) return;
      results[i] = ActiveTransfer(*clients[i], listener, "RETR pub/Dorvex/Updates/Image");
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kClients; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(std::string(kRetrStarted) + kComplete, results[i].replies);
    EXPECT_TRUE(results[i].data == test::SampleEntryContent());
  }
}

// ---- The log ----

TEST_F(FtpSessionTest, AWholeConversationIsLoggedLineByLine) {
  {
    Client client(harness_.port());
    ASSERT_EQ(kGreeting, client.ReadLines(1));
    EXPECT_EQ(kUserOk, client.Command("USER bob"));
    EXPECT_EQ(kBanner, client.Command("PASS secret", 4));
    EXPECT_EQ(kPortFailed, client.Command("PORT 1,2,3,4,5"));
    EXPECT_EQ(std::string(kOpening) + "550 LIST failed\r\n", client.Command("LIST -la", 2));
    EXPECT_EQ(kNotImplemented, client.Command("XYZ"));
    EXPECT_EQ(kNotImplemented, client.Command("ACCT x"));
    EXPECT_EQ("221 Goodbye\r\n", client.Command("QUIT"));
  }
  ASSERT_TRUE(harness_.sink().WaitFor("Disconnect!"));
  const std::vector<std::string> expected = {
      "127.0.0.1",
      "127.0.0.1 issued command 1 ' USER bob ' ",
      "bob command 1 ' USER bob ' was successful ",
      "127.0.0.1 issued command 2 ' PASS secret ' ",
      "bob command 2 ' PASS secret ' was successful ",
      "127.0.0.1 issued command 9 ' PORT 1,2,3,4,5 ' ",
      "bob command 9 ' PORT 1,2,3,4,5 ' has failed ",
      "127.0.0.1 issued command 27 ' LIST -la ' ",
      "bob command 27 ' LIST -la ' has failed ",
      "127.0.0.1 issued command 0 ' XYZ ' ",
      "bob command 0 ' XYZ ' has failed ",
      "127.0.0.1 issued command 3 ' ACCT x ' ",
      "bob command 3 ' ACCT x ' was successful ",
      "127.0.0.1 issued command 7 ' QUIT ' ",
      "Disconnect!",
  };
  EXPECT_EQ(expected, harness_.sink().Lines());
  EXPECT_TRUE(harness_.sink().all_copied());
}

// ---- Ending conversations ----

TEST_F(FtpSessionTest, ACommandTimeOutEndsAnIdleConversation) {
  harness_.daemon().SetCommandTimeout(1);
  Client client(harness_.port());
  ASSERT_EQ(kGreeting, client.ReadLines(1));
  const auto start = steady_clock::now();
  EXPECT_EQ("", client.ReadToEnd());
  EXPECT_GE(steady_clock::now() - start, milliseconds(900));
  EXPECT_TRUE(harness_.sink().WaitFor("Disconnect!"));
}

TEST_F(FtpSessionTest, SilentAndHalfSentLinesEndAtTheDeadlineThatApplies) {
  const struct {
    const char* what;
    int64_t grace_ms;
    int64_t idle_ms;
    int command_seconds;
    bool log_in;
    std::string bytes;  // sent before the silence
    std::string reply;  // the only reply to them
    milliseconds at_least;
  } cases[] = {
      {"silent before login", 300, 0, 0, false, "", "", milliseconds(250)},
      {"half a line before login", 300, 0, 0, false, "USER bo", "", milliseconds(250)},
      {"USER without PASS", 300, 0, 0, false, "USER bob\r\n", kUserOk, milliseconds(250)},
      {"silent after login", 60000, 300, 0, true, "", "", milliseconds(250)},
      {"half a line after login", 60000, 300, 0, true, "NOO", "", milliseconds(250)},
      {"logged out again by USER", 60000, 300, 0, true, "USER carol\r\n", kUserOk,
       milliseconds(250)},
      {"the command time-out comes first", 60000, 60000, 1, true, "PW", "", milliseconds(900)},
      {"the idle time-out comes first", 60000, 300, 60, true, "", "", milliseconds(250)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    harness_.daemon().SetLoginGraceMilliseconds(c.grace_ms);
    harness_.daemon().SetIdleTimeoutMilliseconds(c.idle_ms);
    harness_.daemon().SetCommandTimeout(c.command_seconds);
    const auto lines_before = harness_.sink().Lines();
    const auto start = steady_clock::now();
    Client client(harness_.port());
    if (c.log_in) {
      ASSERT_TRUE(client.Login());
    } else {
      ASSERT_EQ(kGreeting, client.ReadLines(1));
    }
    const auto silent_from = c.log_in ? steady_clock::now() : start;
    ASSERT_TRUE(client.Send(c.bytes));
    EXPECT_EQ(c.reply, client.ReadLines(c.reply.empty() ? 0 : 1));
    EXPECT_TRUE(client.ClosedByServerWithin(seconds(5)));
    EXPECT_GE(steady_clock::now() - silent_from, c.at_least);
    // The close is a disconnection: its log line and no other after the last command's.
    ASSERT_TRUE(harness_.daemon().WaitForConnections(seconds(5)));
    const auto lines = harness_.sink().Lines();
    ASSERT_LT(lines_before.size(), lines.size());
    EXPECT_EQ("Disconnect!", lines.back());
    EXPECT_EQ(1, std::count(lines.begin() + static_cast<long>(lines_before.size()), lines.end(),
                            "Disconnect!"));
  }
}

TEST_F(FtpSessionTest, TheLoginGraceCountsFromTheConnectionNotFromTheLastLine) {
  harness_.daemon().SetLoginGraceMilliseconds(500);
  Client client(harness_.port());
  ASSERT_EQ(kGreeting, client.ReadLines(1));
  const auto start = steady_clock::now();
  // A client that keeps talking but never logs in is closed all the same.
  bool closed = false;
  while (!closed && steady_clock::now() - start < seconds(5)) {
    closed = client.Command("NOOP") != "200 NOOP command successful\r\n";
  }
  EXPECT_TRUE(closed);
  EXPECT_GE(steady_clock::now() - start, milliseconds(400));
}

TEST_F(FtpSessionTest, ABusySessionOutlivesItsIdleTimeOutAndALoggedInOneItsLoginGrace) {
  harness_.daemon().SetLoginGraceMilliseconds(200);
  harness_.daemon().SetIdleTimeoutMilliseconds(300);
  auto client = LoggedIn();
  const auto start = steady_clock::now();
  // Well past both: each new line sets the idle clock back, and the grace is over once logged in.
  while (steady_clock::now() - start < milliseconds(1000)) {
    ASSERT_EQ("200 NOOP command successful\r\n", client->Command("NOOP"));
  }
  // Silence then ends it.
  EXPECT_TRUE(client->ClosedByServerWithin(seconds(5)));
}

TEST_F(FtpSessionTest, SilentClientsNoLongerLockTheServiceOut) {
  // As the application runs it: no command time-out.
  harness_.daemon().SetCommandTimeout(0);
  harness_.daemon().SetLoginGraceMilliseconds(300);
  std::vector<std::unique_ptr<Client>> silent;
  for (int i = 0; i < net::TcpServer::MAX_CONNECTIONS; ++i) {
    silent.push_back(std::make_unique<Client>(harness_.port()));
    ASSERT_EQ(kGreeting, silent.back()->ReadLines(1));
  }
  for (auto& client : silent) ASSERT_TRUE(client->ClosedByServerWithin(seconds(5)));
  ASSERT_TRUE(harness_.daemon().WaitForConnections(seconds(5)));
  Client late(harness_.port());
  EXPECT_TRUE(late.Login());
}

TEST_F(FtpSessionTest, TimeOutsInSecondsReadBackAsSet) {
  FtpDaemon& daemon = harness_.daemon();
  EXPECT_EQ(300, daemon.idle_timeout());
  EXPECT_EQ(60, daemon.login_grace());
  daemon.SetIdleTimeout(2);
  daemon.SetLoginGrace(0);
  EXPECT_EQ(2, daemon.idle_timeout());
  EXPECT_EQ(2000, daemon.idle_timeout_ms());
  EXPECT_EQ(0, daemon.login_grace());
  daemon.SetIdleTimeoutMilliseconds(1);  // never shown as 0, which would mean no limit
  EXPECT_EQ(1, daemon.idle_timeout());
  daemon.SetLoginGrace(-5);
  EXPECT_EQ(0, daemon.login_grace_ms());
}

// ---- Replies on the wire ----

TEST_F(FtpSessionTest, AMultiLineReplyLeavesInOneSend) {
  // In pieces, the later lines would wait for the acknowledgement of the first, which the
  // client delays: the first receive would return the first line alone.
  Client client(harness_.port());
  ASSERT_EQ(kGreeting, client.ReadLines(1));
  ASSERT_EQ(kUserOk, client.Command("USER anonymous"));
  const struct {
    const char* line;
    const char* reply;
  } cases[] = {{"PASS x", kBanner}, {"HELP", kHelpReply}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    ASSERT_TRUE(client.Send(std::string(c.line) + "\r\n"));
    EXPECT_EQ(c.reply, client.ReceiveOnce());
  }
}

TEST_F(FtpSessionTest, DestroyingTheDaemonEndsLiveConversations) {
  auto first = LoggedIn();
  Client second(harness_.port());
  ASSERT_EQ(kGreeting, second.ReadLines(1));
  const auto start = steady_clock::now();
  harness_.StopDaemon();
  EXPECT_LT(steady_clock::now() - start, seconds(5));
  EXPECT_EQ("", first->ReadToEnd());
  EXPECT_EQ("", second.ReadToEnd());
  const auto lines = harness_.sink().Lines();
  EXPECT_EQ(2, std::count(lines.begin(), lines.end(), "Disconnect!"));
}

// ---- Transfer observer ----

class RecordingObserver : public TransferObserver {
 public:
  void OnTransferStart(const TransferInfo& transfer) override {
    std::lock_guard<std::mutex> hold(mutex_);
    events_.push_back("start " + transfer.path + " " + std::to_string(transfer.size) + " " +
                      transfer.client_address);
  }
  void OnTransferProgress(const TransferInfo&, uint32_t sent) override {
    std::lock_guard<std::mutex> hold(mutex_);
    if (sent <= last_progress_) events_.push_back("progress went back");
    last_progress_ = sent;
  }
  void OnTransferEnd(const TransferInfo& transfer, const TransferEnd& end) override {
    std::lock_guard<std::mutex> hold(mutex_);
    events_.push_back("end " + transfer.path + " " + std::to_string(end.sent) +
                      (end.result == ftp::TransferResult::kComplete ? " complete" : " incomplete"));
    last_progress_ = 0;
  }
  std::vector<std::string> events() {
    std::lock_guard<std::mutex> hold(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> events_;
  uint32_t last_progress_ = 0;
};

TEST_F(FtpSessionTest, TheTransferObserverSeesEachDownload) {
  RecordingObserver observer;
  harness_.daemon().SetTransferObserver(&observer);
  auto client = LoggedIn();
  DataListener listener;
  ASSERT_EQ(kPortOk, client->Command("PORT " + listener.PortArgument()));
  ActiveTransfer(*client, listener, "RETR pub/Dorvex/Updates/Image");
  ActiveTransfer(*client, listener, "RETR bad/liar.txt");
  ActiveTransfer(*client, listener, "RETR missing");
  harness_.daemon().SetTransferObserver(nullptr);
  const std::vector<std::string> expected = {
      "start pub\\Dorvex\\Updates\\Image 1206620 127.0.0.1",
      "end pub\\Dorvex\\Updates\\Image 1206620 complete",
      "start bad\\liar.txt 10 127.0.0.1",
      "end bad\\liar.txt 5 incomplete",
  };
  EXPECT_EQ(expected, observer.events());
}

}  // namespace
}  // namespace kelvane::ftp::ftptest
