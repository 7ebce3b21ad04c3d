// app/qt_settings_test.cpp -- the settings on QSettings (Linux): where the file lives, how values
// are read with their defaults, and that only a confirmed ports dialog writes.
#include "app/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "app/qt_settings.h"
#include "app_fakes.h"
#include "support/fixture_package.h"

namespace kelvane::app {
namespace {

using kelvane::test::ReadWholeFile;
using kelvane::test::TempDir;

// QSettings takes the configuration folder once per process: point it at a temporary folder
// before any test opens a store.
class ConfigHome : public ::testing::Environment {
 public:
  void SetUp() override { ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1); }
  TempDir dir;
};
ConfigHome* const g_home =
    static_cast<ConfigHome*>(::testing::AddGlobalTestEnvironment(new ConfigHome));

std::string WriteConf(const std::string& application, const std::string& text) {
  const std::string folder = g_home->dir.path() + "/Varnek Systems";
  std::filesystem::create_directories(folder);
  const std::string path = folder + "/" + application + ".conf";
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
  return path;
}

TEST(QtSettingsTest, ReadsThePerUserIniFileWithDefaults) {
  const struct {
    const char* name;
    const char* conf;
    uint32_t ftp, http;
    const char* log;
    int idle = 300, head = 10, rate = 500;
  } cases[] = {
      {"app-empty", nullptr, 21, 80, ""},
      {"app-set", "[Parameters]\nFTPPort=2121\nHTTPPort=8080\nLogFile=/var/log/kv.log\n", 2121,
       8080, "/var/log/kv.log"},
      {"app-wide", "[Parameters]\nFTPPort=65557\nHTTPPort=-1\n", 65557, 0xFFFFFFFF, ""},
      {"app-bad", "[Parameters]\nFTPPort=abc\nHTTPPort=99999999999\nLogFile=a,b.log\n", 21, 80,
       "a,b.log"},
      {"app-other-section", "[General]\nFTPPort=2121\nIdleTimeout=5\n", 21, 80, ""},
      {"app-limits",
       "[Parameters]\nIdleTimeout=45\nHttpHeadTimeout=3\nHttpMinBodyRate=2048\n",
       21, 80, "", 45, 3, 2048},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.conf) WriteConf(c.name, c.conf);
    EXPECT_EQ(g_home->dir.path() + "/Varnek Systems/" + c.name + ".conf",
              QtSettingsFilePath(c.name));
    const auto store = OpenQtSettings(c.name);
    const AppSettings settings(*store);
    EXPECT_EQ(c.ftp, settings.FtpPort());
    EXPECT_EQ(c.http, settings.HttpPort());
    EXPECT_EQ(c.log, settings.LogFile());
    EXPECT_EQ(c.idle, settings.IdleTimeout());
    EXPECT_EQ(c.head, settings.HttpHeadTimeout());
    EXPECT_EQ(c.rate, settings.HttpMinBodyRate());
    if (!c.conf) {  // reading creates nothing
      EXPECT_FALSE(std::filesystem::exists(QtSettingsFilePath(c.name)));
    }
  }
}

TEST(QtSettingsTest, WritePortsStoresBothAndKeepsTheRest) {
  const std::string path = WriteConf("app-write", "[Parameters]\nLogFile=/tmp/kv.log\n");
  {
    const auto store = OpenQtSettings("app-write");
    AppSettings settings(*store);
    EXPECT_TRUE(settings.WritePorts(2121, 8080));
  }
  const std::string text = ReadWholeFile(path).value_or("");
  EXPECT_NE(std::string::npos, text.find("FTPPort=2121"));
  EXPECT_NE(std::string::npos, text.find("HTTPPort=8080"));
  const auto store = OpenQtSettings("app-write");
  const AppSettings settings(*store);
  EXPECT_EQ(2121u, settings.FtpPort());
  EXPECT_EQ(8080u, settings.HttpPort());
  EXPECT_EQ("/tmp/kv.log", settings.LogFile());
}

}  // namespace
}  // namespace kelvane::app
