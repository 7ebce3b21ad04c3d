// app/settings_test.cpp -- how AppSettings reads and writes its values over any store: ports,
// log file and limits with their defaults, and the ports written together, over an in-memory
// store. (The stores themselves: qt_settings_test.cpp on Linux, the registry's
// under win32/.)
#include "app/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app_fakes.h"

namespace kelvane::app {
namespace {

TEST(AppSettingsTest, PortsAndLogFileAreReadFromParametersWithDefaults) {
  const struct {
    const char* name;
    std::vector<std::pair<std::string, std::string>> values;  // "section/key", text
    uint32_t ftp, http;
    const char* log;
  } cases[] = {
      {"empty", {}, 21, 80, ""},
      {"set",
       {{"Parameters/FTPPort", "2121"},
        {"Parameters/HTTPPort", "8080"},
        {"Parameters/LogFile", "kv.log"}},
       2121,
       8080,
       "kv.log"},
      // All 32 bits are kept; the low-16-bit rule belongs to the caller.
      {"wide", {{"Parameters/FTPPort", "65557"}, {"Parameters/HTTPPort", "-1"}}, 65557,
       0xFFFFFFFF, ""},
      {"bad", {{"Parameters/FTPPort", "abc"}, {"Parameters/HTTPPort", "99999999999"}}, 21, 80, ""},
      {"other section", {{"General/FTPPort", "2121"}, {"General/LogFile", "x.log"}}, 21, 80, ""},
      {"empty log", {{"Parameters/LogFile", ""}}, 21, 80, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::MapSettings store;
    for (const auto& [key, text] : c.values) store.values[key] = text;
    const AppSettings settings(store);
    EXPECT_EQ(c.ftp, settings.FtpPort());
    EXPECT_EQ(c.http, settings.HttpPort());
    EXPECT_EQ(c.log, settings.LogFile());
  }
}

// A store whose writes fail.
class UnwritableSettings : public test::MapSettings {
 public:
  bool Flush() override {
    MapSettings::Flush();
    return false;
  }
};

TEST(AppSettingsTest, WritePortsStoresBothUnderTheirKeysAndFlushesOnce) {
  test::MapSettings store;
  store.Set("LogFile", "kv.log");
  AppSettings settings(store);
  EXPECT_TRUE(settings.WritePorts(2121, 0xFFFFFFFF));
  EXPECT_EQ(1, store.flushes);
  EXPECT_EQ("2121", store.values["Parameters/FTPPort"]);
  EXPECT_EQ("-1", store.values["Parameters/HTTPPort"]);  // stored as a signed 32-bit value
  EXPECT_EQ(2121u, settings.FtpPort());
  EXPECT_EQ(0xFFFFFFFFu, settings.HttpPort());
  EXPECT_EQ("kv.log", settings.LogFile());

  UnwritableSettings unwritable;
  AppSettings failing(unwritable);
  EXPECT_FALSE(failing.WritePorts(2121, 8080));
  EXPECT_EQ(1, unwritable.flushes);
}

// The three limits are signed 32-bit values: what does not parse, and every negative value
// (2^32 - 1 included, whose low 32 bits are -1), gives the default; 0 stands.
TEST(AppSettingsTest, LimitsAreNonNegativeThirtyTwoBitValuesWithDefaults) {
  const struct {
    const char* text;  // nullptr: not set
    int idle, head, rate, lines, cache;
  } cases[] = {
      {nullptr, 300, 10, 500, 5000, 1024},
      {"0", 0, 0, 0, 0, 0},
      {"1", 1, 1, 1, 1, 1},
      {"+15", 15, 15, 15, 15, 15},
      {"2147483647", 2147483647, 2147483647, 2147483647, 2147483647, 2147483647},
      {"2147483648", 300, 10, 500, 5000, 1024},
      {"4294967295", 300, 10, 500, 5000, 1024},
      {"-1", 300, 10, 500, 5000, 1024},
      {"-2147483648", 300, 10, 500, 5000, 1024},
      {"4294967296", 300, 10, 500, 5000, 1024},
      {"", 300, 10, 500, 5000, 1024},
      {"12s", 300, 10, 500, 5000, 1024},
      {" 12", 300, 10, 500, 5000, 1024},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "<not set>");
    test::MapSettings store;
    if (c.text) {
      for (const char* key : {"IdleTimeout", "HttpHeadTimeout", "HttpMinBodyRate", "LogLines",
                              "UnpackCacheMB"}) {
        store.Set(key, c.text);
      }
    }
    const AppSettings settings(store);
    EXPECT_EQ(c.idle, settings.IdleTimeout());
    EXPECT_EQ(c.head, settings.HttpHeadTimeout());
    EXPECT_EQ(c.rate, settings.HttpMinBodyRate());
    EXPECT_EQ(c.lines, settings.LogLines());
    EXPECT_EQ(c.cache, settings.UnpackCacheMB());
  }
  // Each value has its own key.
  test::MapSettings store;
  store.Set("HttpHeadTimeout", "7");
  const AppSettings settings(store);
  EXPECT_EQ(300, settings.IdleTimeout());
  EXPECT_EQ(7, settings.HttpHeadTimeout());
  EXPECT_EQ(500, settings.HttpMinBodyRate());
}

// The modern FTP mode's settings are texts; whatever does not parse gives the default.
TEST(AppSettingsTest, FtpModeAndPassiveSettingsAreReadAsTextsWithDefaults) {
  using ftp::FtpMode;
  using ftp::PortRange;
  const struct {
    const char* text;  // nullptr: not set
    FtpMode mode;
    std::optional<PortRange> ports;
    std::optional<uint32_t> address;
  } cases[] = {
      {nullptr, FtpMode::kClassic, std::nullopt, std::nullopt},
      {"modern", FtpMode::kModern, std::nullopt, std::nullopt},
      {" Modern\t", FtpMode::kModern, std::nullopt, std::nullopt},
      {"MODERN", FtpMode::kModern, std::nullopt, std::nullopt},
      {"classic", FtpMode::kClassic, std::nullopt, std::nullopt},
      {"modernx", FtpMode::kClassic, std::nullopt, std::nullopt},
      {"", FtpMode::kClassic, std::nullopt, std::nullopt},
      {"50000-50100", FtpMode::kClassic, PortRange{50000, 50100}, std::nullopt},
      {" 50000 - 50100 ", FtpMode::kClassic, PortRange{50000, 50100}, std::nullopt},
      {"50000", FtpMode::kClassic, PortRange{50000, 50000}, std::nullopt},
      {"1-65535", FtpMode::kClassic, PortRange{1, 65535}, std::nullopt},
      {"0-10", FtpMode::kClassic, std::nullopt, std::nullopt},
      {"10-65536", FtpMode::kClassic, std::nullopt, std::nullopt},
      {"200-100", FtpMode::kClassic, std::nullopt, std::nullopt},
      {"100-", FtpMode::kClassic, std::nullopt, std::nullopt},
      {"-100", FtpMode::kClassic, std::nullopt, std::nullopt},
      {"1-2-3", FtpMode::kClassic, std::nullopt, std::nullopt},
      {"192.168.1.10", FtpMode::kClassic, std::nullopt, 0xC0A8010A},
      {" 10.0.0.1 ", FtpMode::kClassic, std::nullopt, 0x0A000001},
      {"0.0.0.0", FtpMode::kClassic, std::nullopt, std::nullopt},
      {"255.255.255.255", FtpMode::kClassic, std::nullopt, std::nullopt},
      {"192.168.1", FtpMode::kClassic, std::nullopt, std::nullopt},
      {"host.example", FtpMode::kClassic, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "<not set>");
    test::MapSettings store;
    if (c.text) {
      for (const char* key : {"FtpMode", "PassivePorts", "PassiveAddress"}) store.Set(key, c.text);
    }
    const AppSettings settings(store);
    EXPECT_EQ(c.mode, settings.FtpMode());
    EXPECT_EQ(c.ports, settings.PassivePorts());
    EXPECT_EQ(c.address, settings.PassiveAddress());
  }
}

}  // namespace
}  // namespace kelvane::app
