// app/main_window_test.cpp -- the main window's initialisation, port error dialogue, read-me,
// HTTP thread and the start-up sequence, with a scripted front end over real packages and a
// real FTP service on 127.0.0.1.
#include "app/main_window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <random>

#include "app/password.h"
#include "app/server_app.h"
#include "app_fakes.h"
#include "app/startup_rules.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "platform/temp_file.h"
#include "trace/trace.h"

namespace kelvane::app {
namespace {

using namespace std::chrono_literals;
using kelvane::test::ReadWholeFile;
using kelvane::test::TempDir;
using test::FakeFrontEnd;
using test::FreePort;
using test::HeldPort;
using test::MapSettings;
using test::WritePackage;

using Files = std::vector<std::pair<std::string, std::string>>;

// The process-wide objects of one test, over a package of |files|.
struct Objects {
  explicit Objects(const Files& files) : package(WritePackage(dir, files)) {
    EXPECT_TRUE(reader.Open(package));
    settings.Set("FTPPort", std::to_string(FreePort()));
    settings.Set("HTTPPort", std::to_string(FreePort()));
  }
  MainWindow& Window() {
    if (!window)
      window = std::make_unique<MainWindow>(reader, daemon, log_view, settings, front_end);
    return *window;
  }

  TempDir dir;
  std::string package;
  archive::FileArchiveReader reader;
  ftp::FtpDaemon daemon{reader};
  logview::LogView log_view;
  MapSettings settings;
  FakeFrontEnd front_end;
  std::unique_ptr<MainWindow> window;
};

TEST(MainWindowTest, InitialisationStartsTheServicesAndWritesTheStatusLines) {
  Objects o({{"version.txt", "3.34\r\n"}, {"www\\index.htm", "<p>hi</p>"}});
  const uint16_t ftp_port = FreePort();
  o.settings.Set("FTPPort", std::to_string(ftp_port + 65536));  // low 16 bits count
  const uint16_t http_port =
      static_cast<uint16_t>(std::stoi(*o.settings.ReadText("Parameters", "HTTPPort")));

  ASSERT_EQ(MainWindow::InitResult::kRunning, o.Window().Initialise());
  const std::vector<std::string> status = {
      "Kelvane v3.01", "Copyright (C) 2026 Varnek Systems",
      "FTP server ready on port " + std::to_string(ftp_port) + "."};
  EXPECT_EQ(status, o.front_end.Lines());
  EXPECT_EQ(ftp_port, o.daemon.port());
  EXPECT_TRUE(o.daemon.running());
  EXPECT_EQ(0, o.daemon.command_timeout());
  EXPECT_EQ(&o.log_view, o.daemon.log_sink());
  EXPECT_EQ("3.34\r\n", o.front_end.caption.value_or("<none>"));  // unchanged, line end kept
  EXPECT_TRUE(o.front_end.services_started);
  EXPECT_EQ(ReadMeMode::Html, o.front_end.mode);
  EXPECT_EQ(http_port, o.Window().WaitHttpListening(5s));

  o.Window().Exit();
  EXPECT_FALSE(o.daemon.running());
  EXPECT_TRUE(o.front_end.Messages().empty());
}

TEST(MainWindowTest, PackageCheckStartsWithTheServicesAndCopiesUpToTheSetting) {
  const std::string image(3 << 20, 'i');  // 3 MiB, compressed
  const struct {
    const char* megabytes;
    size_t copied;
  } cases[] = {{"0", 0}, {"2", 1}, {"4", 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("UnpackCacheMB=") + c.megabytes);
    Objects o({{"version.txt", "3.34\r\n"}, {"fw\\image.bin", image}});
    o.settings.Set("UnpackCacheMB", c.megabytes);
    TempDir temp;
    o.Window().SetTemporaryFolder([&] { return std::optional<std::string>(temp.path()); });
    std::vector<std::string> seen;
    o.Window().SetPackageCheckHook([&](std::string_view name) { seen.emplace_back(name); });
    ASSERT_EQ(MainWindow::InitResult::kRunning, o.Window().Initialise());
    EXPECT_TRUE(o.daemon.running());
    const std::optional<archive::PackageCheckResult> result = o.Window().WaitPackageCheck(30s);
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->finished);
    EXPECT_EQ(c.copied, result->copied_entries);
    EXPECT_EQ((std::vector<std::string>{"version.txt", "fw/image.bin"}), seen);
    EXPECT_EQ(std::vector<std::string>{"Package verified: 2 entries, " +
                                       std::to_string(image.size() + 6) + " bytes"},
              o.front_end.PackageChecks());
    // The copies have no name in the folder (Windows: until the reader closes).
    if (platform::ScratchFilesAreNameless()) {
      EXPECT_TRUE(std::filesystem::is_empty(temp.path()));
    }
    o.Window().Exit();
    o.Window().StopPackageCheck();
  }
}

TEST(MainWindowTest, PdfReadMeIsExtractedToTheTemporaryFolderEachTime) {
  Objects o(Files{{"pdf\\index.pdf", "%PDF-1.4 demo"}});
  ASSERT_EQ(MainWindow::InitResult::kRunning, o.Window().Initialise());
  EXPECT_EQ(ReadMeMode::Pdf, o.front_end.mode);
  EXPECT_EQ(0, o.Window().WaitHttpListening(0ms));  // no pages, no HTTP service
  TempDir temp;
  std::optional<std::string> folder = temp.path() + "/";
  o.Window().SetTemporaryFolder([&] { return folder; });

  o.Window().ReadMe();
  temp.Write("readme.pdf", "stale");
  o.Window().ReadMe();  // replaces the first copy
  EXPECT_EQ(std::vector<std::string>(2, temp.File("readme.pdf")), o.front_end.opened);
  EXPECT_EQ("%PDF-1.4 demo", ReadWholeFile(temp.File("readme.pdf")).value_or("<none>"));

  folder = temp.path() + "/missing/";
  o.Window().ReadMe();
  folder.reset();
  o.Window().ReadMe();
  EXPECT_EQ((std::vector<std::string>{"Unable to extract pdf file to TEMP directory!",
                                      "Unable to locate a TEMP directory!"}),
            o.front_end.Messages());
  EXPECT_EQ(2u, o.front_end.opened.size());
}

TEST(MainWindowTest, PasswordStepAllowsThreeShowings) {
  using P = std::optional<std::string>;
  const struct {
    const char* name;
    std::optional<std::string> entry;  // nullopt: the package has none
    std::vector<P> typed;
    bool accepted;
    size_t showings;
    size_t invalid_messages;
  } cases[] = {
      {"no password entry", std::nullopt, {}, true, 0, 0},
      {"right in another case", "Secret", {"sECRET"}, true, 1, 0},
      {"entry ended by CR LF", "Secret\r\n", {"secret"}, true, 1, 0},
      {"right at the third showing", "Secret", {"a", "b", "secret"}, true, 3, 2},
      {"three wrong", "Secret", {"a", "b", "c", "secret"}, false, 3, 3},
      {"cancel", "Secret", {std::nullopt}, false, 1, 0},
      {"cancel after a wrong one", "Secret", {"a", std::nullopt}, false, 2, 1},
      {"only the first 511 bytes count",
       std::string(511, 'k') + "tail",
       {std::string(511, 'K')},
       true,
       1,
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    Files files = {{"version.txt", "1"}};
    if (c.entry) files.emplace_back("password.txt", *c.entry);
    archive::FileArchiveReader reader;
    ASSERT_TRUE(reader.Open(WritePackage(dir, files)));
    FakeFrontEnd front_end;
    front_end.passwords.assign(c.typed.begin(), c.typed.end());
    EXPECT_EQ(c.accepted,
              CheckPackagePassword(reader, archive::ArchiveCursor(reader.directory()), front_end));
    EXPECT_EQ(c.showings, front_end.field_at_showing.size());
    EXPECT_EQ(std::vector<std::string>(c.invalid_messages, "Invalid password!"),
              front_end.Messages());
    // Each showing opens with the previous showing's text still in the field.
    for (size_t i = 1; i < front_end.field_at_showing.size() && i <= c.typed.size(); ++i) {
      if (c.typed[i - 1]) {
        EXPECT_EQ(*c.typed[i - 1], front_end.field_at_showing[i]);
      }
    }
  }
}

TEST(MainWindowTest, PortErrorDialogueStoresNewPortsOnlyAfterYesAndOk) {
  const struct {
    const char* name;
    bool yes;
    std::optional<std::pair<uint32_t, uint32_t>> ports;
    bool stored;
  } cases[] = {
      {"No", false, std::make_pair(5000u, 5001u), false},
      {"Yes, then cancel", true, std::nullopt, false},
      {"Yes, then OK", true, std::make_pair(5000u, 5001u), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HeldPort taken;
    ASSERT_NE(0, taken.port);
    Objects o(Files{{"www\\index.htm", "x"}});
    o.settings.Set("FTPPort", std::to_string(taken.port));
    o.settings.Set("HTTPPort", "65616");  // shown as its low 16 bits, 80
    o.front_end.answer_yes = c.yes;
    o.front_end.ports_answer = c.ports;

    EXPECT_EQ(MainWindow::InitResult::kFtpPortError, o.Window().Initialise());
    EXPECT_EQ(
        std::vector<std::string>{"ERROR: Unable to open FTP port " + std::to_string(taken.port) +
                                 "! Would you like to select a different port?"},
        o.front_end.questions);
    EXPECT_EQ(c.yes ? 1u : 0u, o.front_end.ports_shown.size());
    if (c.yes) {
      EXPECT_EQ(std::make_pair(uint32_t{taken.port}, 80u), o.front_end.ports_shown[0]);
    }
    EXPECT_EQ(c.stored ? "5000" : std::to_string(taken.port),
              *o.settings.ReadText("Parameters", "FTPPort"));
    EXPECT_EQ(c.stored ? "5001" : "65616", *o.settings.ReadText("Parameters", "HTTPPort"));
    EXPECT_EQ(
        c.stored
            ? std::vector<std::string>{"Please restart application for changes to take effect!"}
            : std::vector<std::string>{},
        o.front_end.Messages());
    EXPECT_TRUE(o.front_end.Lines().empty());
    EXPECT_FALSE(o.front_end.mode.has_value());  // no HTTP thread either
  }
}

TEST(MainWindowTest, PortErrorNamesAMissingPrivilegeAndHowToGrantIt) {
  for (const bool may_bind : {true, false}) {
    SCOPED_TRACE(may_bind ? "may bind" : "lacks the privilege");
    HeldPort taken;
    ASSERT_NE(0, taken.port);
    Objects o(Files{{"www\\index.htm", "x"}});
    o.settings.Set("FTPPort", std::to_string(taken.port));
    std::vector<uint16_t> asked;
    o.Window().SetPortPrivilege([&](uint16_t port) {
      asked.push_back(port);
      return may_bind;
    });

    EXPECT_EQ(MainWindow::InitResult::kFtpPortError, o.Window().Initialise());
    EXPECT_EQ(std::vector<uint16_t>{taken.port}, asked);
    const std::string executable = platform::OwnExecutablePath().value_or("<none>");
    EXPECT_EQ(std::vector<std::string>{FtpPortErrorText(taken.port, may_bind, executable)},
              o.front_end.questions);
    ASSERT_EQ(1u, o.front_end.questions.size());
    EXPECT_EQ(!may_bind, o.front_end.questions[0].find("setcap cap_net_bind_service=+ep " +
                                                       executable) != std::string::npos);
  }
}

TEST(MainWindowTest, IdleTimeoutReachesTheFtpServiceAtInitialisation) {
  const struct {
    const char* setting;  // nullptr: not set
    int seconds;
  } cases[] = {{nullptr, 300}, {"45", 45}, {"0", 0}, {"-5", 300}, {"x", 300}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting ? c.setting : "<not set>");
    Objects o(Files{{"version.txt", "1"}});
    if (c.setting) o.settings.Set("IdleTimeout", c.setting);
    o.daemon.SetIdleTimeout(7);  // whatever was there before is replaced
    ASSERT_EQ(MainWindow::InitResult::kRunning, o.Window().Initialise());
    EXPECT_EQ(c.seconds, o.daemon.idle_timeout());
    o.Window().Exit();
  }
}

TEST(MainWindowTest, TheFtpModeAndPassiveSettingsReachTheFtpService) {
  Objects o(Files{{"version.txt", "1"}});
  o.settings.Set("FtpMode", "modern");
  o.settings.Set("PassivePorts", "50000-50009");
  o.settings.Set("PassiveAddress", "192.168.1.10");
  ASSERT_EQ(MainWindow::InitResult::kRunning, o.Window().Initialise());
  EXPECT_EQ(ftp::FtpMode::kModern, o.daemon.mode());
  EXPECT_EQ(ftp::PortRange({50000, 50009}), o.daemon.passive_ports());
  EXPECT_EQ(0xC0A8010Au, o.daemon.passive_address());
  o.Window().Exit();

  // Without them the service stays classic, on any port, offering the address reached.
  Objects plain(Files{{"version.txt", "1"}});
  plain.daemon.SetMode(ftp::FtpMode::kModern);  // whatever was there before is replaced
  ASSERT_EQ(MainWindow::InitResult::kRunning, plain.Window().Initialise());
  EXPECT_EQ(ftp::FtpMode::kClassic, plain.daemon.mode());
  EXPECT_EQ(std::nullopt, plain.daemon.passive_ports());
  EXPECT_EQ(std::nullopt, plain.daemon.passive_address());
  plain.Window().Exit();
}

TEST(MainWindowTest, HttpLimitsReachTheHttpService) {
  // A head limit of 1 s from the settings: a client that never completes its head is closed
  // after about a second, not after the default 10 s.
  Objects o(Files{{"www\\index.htm", "x"}});
  o.settings.Set("HttpHeadTimeout", "1");
  ASSERT_EQ(MainWindow::InitResult::kRunning, o.Window().Initialise());
  const uint16_t listening = o.Window().WaitHttpListening(10s);
  ASSERT_NE(0, listening);
  platform::UniqueSocket client = platform::NewStreamSocket();
  ASSERT_TRUE(platform::SetReceiveTimeout(client.get(), 8000));
  ASSERT_TRUE(platform::Connect(client.get(), {platform::kLoopback, listening}));
  ASSERT_EQ(5, platform::SendAll(client.get(), "GET /", 5));
  const auto started = std::chrono::steady_clock::now();
  char byte;
  EXPECT_EQ(0, platform::ReceiveSome(client.get(), &byte, 1));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  o.Window().Exit();
}

TEST(MainWindowTest, CaptionIsTheVersionTextOrTheWindowsDefault) {
  const struct {
    const char* name;
    std::optional<std::string> version;  // nullopt: no version entry
    const char* caption;
  } cases[] = {
      {"version", "3.34\r\n", "3.34\r\n"},
      {"no version entry", std::nullopt, "FTP Server v2.0"},
      {"an empty version entry", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Files files = {{"pub\\file.bin", "data"}};
    if (c.version) files.emplace_back("version.txt", *c.version);
    Objects o(files);
    ASSERT_EQ(MainWindow::InitResult::kRunning, o.Window().Initialise());
    EXPECT_EQ(c.caption, o.front_end.caption.value_or("<none>"));
    o.Window().Exit();
  }
}

TEST(MainWindowTest, ALogFileThatDoesNotOpenIsToldOnceAsAStatus) {
  const struct {
    const char* name;
    const char* folder;  // under the test's folder
    bool create;
  } cases[] = {
      {"a dotted folder that exists", "app-1.2", true},
      {"a missing folder", "app-1.2.missing", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Objects o(Files{{"version.txt", "1"}});
    const std::string folder = o.dir.File(c.folder);
    if (c.create) {
      ASSERT_TRUE(std::filesystem::create_directory(folder));
    }
    o.settings.Set("LogFile", folder + "/ftp.log");
    ASSERT_EQ(MainWindow::InitResult::kRunning, o.Window().Initialise());
    o.log_view.AddLine("another line", true);

    const std::string path = o.log_view.LogFilePath();
    if (c.create) {
      EXPECT_EQ(0u, path.find(folder + "/ftp"));
      EXPECT_TRUE(path.ends_with(".log"));
      EXPECT_TRUE(std::filesystem::exists(path));
      EXPECT_TRUE(o.front_end.Statuses().empty());
    } else {
      EXPECT_EQ("", path);
      const std::vector<std::string> statuses = o.front_end.Statuses();
      ASSERT_EQ(1u, statuses.size());
      EXPECT_EQ(0u, statuses[0].find("Unable to open log file " + folder + "/ftp"));
      EXPECT_NE(std::string::npos, statuses[0].find("No such file or directory"));
    }
    EXPECT_TRUE(o.front_end.Messages().empty());  // never a box
    o.Window().Exit();
  }
}

// |count| consecutive ports held on 127.0.0.1, the first returned; 0 when none were found.
uint16_t HoldConsecutivePorts(int count, std::vector<std::unique_ptr<HeldPort>>* held) {
  // Below the ephemeral range, so that ports other tests running at the same time get from the
  // system (bind to port 0) never land among or right after the held ones.
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> starts(20000, 32000 - count - HttpServerThread::kPortAttempts);
  for (int tries = 0; tries < 50; ++tries) {
    held->clear();
    const auto first = static_cast<uint16_t>(starts(random));
    for (int i = 0; i < count; ++i) {
      held->push_back(std::make_unique<HeldPort>(static_cast<uint16_t>(first + i)));
      if (held->back()->port == 0) break;
    }
    if (held->back()->port != 0) return first;
  }
  return 0;
}

TEST(HttpServerThreadTest, MovesToTheNextPortWhileOneIsTaken) {
  TempDir dir;
  archive::FileArchiveReader reader;
  ASSERT_TRUE(reader.Open(WritePackage(dir, {{"www\\index.htm", "x"}})));
  for (const int taken : {1, HttpServerThread::kPortAttempts}) {
    SCOPED_TRACE(taken);
    std::vector<std::unique_ptr<HeldPort>> held;
    const uint16_t first = HoldConsecutivePorts(taken, &held);
    ASSERT_NE(0, first);
    FakeFrontEnd front_end;
    std::atomic<uint16_t> port{first};
    HttpServerThread thread;
    ASSERT_TRUE(thread.Start(reader, &port, front_end));
    const uint16_t listening = thread.WaitListening(10s);
    if (taken < HttpServerThread::kPortAttempts) {
      // The next port is normally free; another process may hold it, and then the one after.
      EXPECT_LE(first + taken, listening);
      EXPECT_GT(first + HttpServerThread::kPortAttempts, listening);
      EXPECT_EQ(listening, port.load());
      thread.Stop();
      EXPECT_TRUE(front_end.Messages().empty());  // ended by Stop: nothing to report
    } else {
      EXPECT_EQ(0, listening);
      thread.Stop();
      EXPECT_EQ(first + taken, port.load());
      EXPECT_EQ(std::vector<std::string>{"Unable to run HTTP server on port " +
                                         std::to_string(first + taken - 1) + "! Ports " +
                                         std::to_string(first) + " to " +
                                         std::to_string(first + taken - 1) +
                                         " could not be opened."},
                front_end.Messages());
    }
  }
}

TEST(HttpServerThreadTest, RequestLimitsReachEveryServerItMakes) {
  TempDir dir;
  archive::FileArchiveReader reader;
  ASSERT_TRUE(reader.Open(WritePackage(dir, {{"www\\index.htm", "x"}})));
  FakeFrontEnd front_end;
  std::atomic<uint16_t> port{FreePort()};
  HttpServerThread thread;
  thread.SetRequestLimits(200ms, 0);
  ASSERT_TRUE(thread.Start(reader, &port, front_end));
  const uint16_t listening = thread.WaitListening(10s);
  ASSERT_NE(0, listening);
  // A client that never completes its head is closed long before the default 10 s.
  platform::UniqueSocket client = platform::NewStreamSocket();
  ASSERT_TRUE(platform::SetReceiveTimeout(client.get(), 5000));
  ASSERT_TRUE(platform::Connect(client.get(), {platform::kLoopback, listening}));
  ASSERT_EQ(5, platform::SendAll(client.get(), "GET /", 5));
  char byte;
  EXPECT_EQ(0, platform::ReceiveSome(client.get(), &byte, 1));
  thread.Stop();
}

TEST(ServerAppTest, StartUpFailuresEndWithTheirStatusAndMessage) {
  TempDir dir;
  const std::string broken = dir.Write("broken", std::string(100, 'x'));
  const struct {
    const char* name;
    std::optional<std::string> path;
    int status;
    const char* message;
  } cases[] = {
      {"no archive name", std::nullopt, kExitNoArchiveName, "Unable to get archive name!"},
      {"missing file", dir.File("missing"), kExitArchiveNotOpened, "Unable to open archive!"},
      {"no package", broken, kExitArchiveNotOpened, "Unable to open archive!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    archive::FileArchiveReader reader;
    ftp::FtpDaemon daemon(reader);
    logview::LogView log_view;
    FakeFrontEnd front_end;
    bool settings_opened = false;
    StartupEnvironment environment{{"kelvane"},
                                   [&] { return c.path; },
                                   [&](const std::string&) {
                                     settings_opened = true;
                                     return std::make_unique<MapSettings>();
                                   }};
    EXPECT_EQ(c.status, ServerApp().Run(environment, reader, daemon, log_view, front_end));
    EXPECT_EQ(std::vector<std::string>{c.message}, front_end.Messages());
    EXPECT_FALSE(settings_opened);
  }
}

TEST(ServerAppTest, DescriptorLimitIsRaisedOnceBeforeTheServicesAndAFailureIsOnlyTraced) {
  TempDir dir;
  const std::string package = WritePackage(dir, {{"pub\\file.bin", "x"}});
  for (const bool raised : {true, false}) {
    SCOPED_TRACE(raised ? "raised" : "failed");
    archive::FileArchiveReader reader;
    ftp::FtpDaemon daemon(reader);
    logview::LogView log_view;
    FakeFrontEnd front_end;
    int calls = 0;
    bool before_services = false;
    StartupEnvironment environment{{"kelvane", "-log"},
                                   [&] { return package; },
                                   [&](const std::string&) {
                                     auto settings = std::make_unique<MapSettings>();
                                     settings->Set("FTPPort", std::to_string(FreePort()));
                                     return settings;
                                   },
                                   [&] {
                                     ++calls;
                                     before_services = daemon.port() == 0xFFFF &&
                                                       !front_end.services_started;
                                     return raised;
                                   }};
    bool served = false;
    front_end.on_run = [&](MainWindowCommands&) { served = daemon.running(); };
    EXPECT_EQ(kExitNormal, ServerApp().Run(environment, reader, daemon, log_view, front_end));
    trace::TraceClose();
    EXPECT_EQ(1, calls);
    EXPECT_TRUE(before_services);
    EXPECT_TRUE(served);
    const std::string trace = ReadWholeFile(package + ".log").value_or("");
    EXPECT_EQ(!raised, trace.find("soft limit of open descriptors could not be raised") !=
                           std::string::npos);
    std::filesystem::remove(package + ".log");
  }
}

TEST(ServerAppTest, ExitEndsEverySessionBeforeRunReturns) {
  TempDir dir;
  const std::string package = WritePackage(dir, {{"www\\index.htm", "x"}});
  archive::FileArchiveReader reader;
  ftp::FtpDaemon daemon(reader);
  logview::LogView log_view;
  FakeFrontEnd front_end;
  const uint16_t ftp_port = FreePort();
  std::string application;
  StartupEnvironment environment{{"/opt/kv.bin"},
                                 [&] { return package; },
                                 [&](const std::string& name) {
                                   application = name;
                                   auto settings = std::make_unique<MapSettings>();
                                   settings->Set("FTPPort", std::to_string(ftp_port));
                                   settings->Set("HTTPPort", std::to_string(FreePort()));
                                   return settings;
                                 }};
  platform::UniqueSocket client;
  front_end.on_run = [&](MainWindowCommands& window) {
    EXPECT_NE(0, window.WaitHttpListening(5s));
    client = platform::NewStreamSocket();
    ASSERT_TRUE(platform::Connect(client.get(), {platform::kLoopback, ftp_port}));
    char greeting[64];
    ASSERT_GT(platform::ReceiveSome(client.get(), greeting, sizeof greeting), 0);  // served
  };

  EXPECT_EQ(kExitNormal, ServerApp().Run(environment, reader, daemon, log_view, front_end));
  EXPECT_EQ("package", application);
  EXPECT_FALSE(daemon.running());
  EXPECT_TRUE(daemon.WaitForConnections(0ms));  // no session thread outlives Run
  EXPECT_EQ(nullptr, daemon.log_sink());
  EXPECT_EQ("Disconnect!", front_end.Lines().back());  // still shown until the end
  ASSERT_TRUE(platform::SetReceiveTimeout(client.get(), 5000));
  char rest[256];
  long n;
  do n = platform::ReceiveSome(client.get(), rest, sizeof rest);
  while (n > 0);
  EXPECT_EQ(0, n);  // the server closed the session; not a time-out
}

}  // namespace
}  // namespace kelvane::app
