// app/win32/registry_settings_test.cpp -- the registry settings store against the real
// registry (HKEY_CURRENT_USER, under an application name of this test run's own, removed
// again): how each kind of stored value reads, a missing key or value, integers written as
// REG_DWORD by Flush, and AppSettings over the store as the program uses it.
#include "app/win32/registry_settings.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/settings.h"

namespace kelvane::win32 {
namespace {

// The company key, written out here rather than taken from the code under test.
constexpr const char* kCompanyKey = "Software\\Varnek Systems";

// A test-only application name and the removal of its whole key before and after each test.
class RegistrySettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    application_ = "kelvane-registry-test-" + std::to_string(GetCurrentProcessId());
    Remove();
  }
  void TearDown() override { Remove(); }

  std::string KeyPath(const char* section) const {
    return std::string(kCompanyKey) + "\\" + application_ + "\\" + section;
  }

  // Stores |bytes| as a value of |type| under |section|, bypassing the store.
  void Put(const char* section, const char* name, DWORD type, const std::vector<BYTE>& bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, KeyPath(section).c_str(), 0,
                                             nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr));
    const LONG set =
        RegSetValueExA(key, name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, set);
  }
  void PutDword(const char* section, const char* name, uint32_t value) {
    std::vector<BYTE> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    Put(section, name, REG_DWORD, bytes);
  }

  // A value as it is stored: its type and bytes; nullopt when it is missing.
  struct Raw {
    DWORD type = 0;
    std::vector<BYTE> bytes;
  };
  std::optional<Raw> Get(const char* section, const char* name) const {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, KeyPath(section).c_str(), 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
      return std::nullopt;
    }
    Raw raw;
    DWORD size = 64;
    raw.bytes.resize(size);
    const LONG got = RegQueryValueExA(key, name, nullptr, &raw.type, raw.bytes.data(), &size);
    RegCloseKey(key);
    if (got != ERROR_SUCCESS) return std::nullopt;
    raw.bytes.resize(size);
    return raw;
  }

  bool KeyExists(const std::string& path) const {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
      return false;
    }
    RegCloseKey(key);
    return true;
  }

  void Remove() const {
    RegDeleteTreeA(HKEY_CURRENT_USER, (std::string(kCompanyKey) + "\\" + application_).c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, (std::string(kCompanyKey) + "\\" + application_).c_str());
  }

  std::string application_;
};

std::vector<BYTE> Bytes(const std::string& text, bool terminated = true) {
  std::vector<BYTE> bytes(text.begin(), text.end());
  if (terminated) bytes.push_back(0);
  return bytes;
}

TEST_F(RegistrySettingsTest, EachKindOfValueReadsAsItsText) {
  const struct {
    const char* name;
    DWORD type;
    std::vector<BYTE> bytes;
    std::optional<std::string> text;
  } cases[] = {
      {"FTPPort", REG_DWORD, {0x49, 0x08, 0, 0}, "2121"},  // little-endian 2121
      {"HTTPPort", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}, "4294967295"},
      {"Zero", REG_DWORD, {0, 0, 0, 0}, "0"},
      {"LogFile", REG_SZ, Bytes("C:\\logs\\ftp.log"), "C:\\logs\\ftp.log"},
      {"Empty", REG_SZ, Bytes(""), ""},
      {"Unterminated", REG_SZ, Bytes("kv.log", false), "kv.log"},
      {"Expandable", REG_EXPAND_SZ, Bytes("%TEMP%\\kv.log"), "%TEMP%\\kv.log"},  // not expanded
      // Four bytes of any other type are taken as an integer; other sizes are not one.
      {"FourBinary", REG_BINARY, {0x15, 0, 0, 0}, "21"},
      {"EightBinary", REG_BINARY, {1, 0, 0, 0, 0, 0, 0, 0}, std::nullopt},
      {"Quad", REG_QWORD, {0x50, 0, 0, 0, 0, 0, 0, 0}, std::nullopt},
      {"NoBytes", REG_BINARY, {}, std::nullopt},
  };
  for (const auto& c : cases) Put("Parameters", c.name, c.type, c.bytes);

  const std::unique_ptr<app::SettingsStore> store = OpenRegistrySettings(application_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.text, store->ReadText("Parameters", c.name));
  }
}

TEST_F(RegistrySettingsTest, AMissingKeyOrValueReadsAsNothing) {
  const std::unique_ptr<app::SettingsStore> store = OpenRegistrySettings(application_);
  ASSERT_FALSE(KeyExists(KeyPath("Parameters")));
  EXPECT_EQ(std::nullopt, store->ReadText("Parameters", "FTPPort"));

  PutDword("Parameters", "FTPPort", 2121);
  const struct {
    const char* section;
    const char* key;
  } cases[] = {
      {"Parameters", "HTTPPort"},  // another value
      {"Parameters", "FTPPort "},  // value names are not trimmed
      {"General", "FTPPort"},      // the same value in another section
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.section) + "/" + c.key);
    EXPECT_EQ(std::nullopt, store->ReadText(c.section, c.key));
  }
  // Reading made the keys of the path but wrote no value into them.
  EXPECT_TRUE(KeyExists(KeyPath("General")));
  EXPECT_EQ(std::nullopt, Get("General", "FTPPort"));
}

TEST_F(RegistrySettingsTest, FlushWritesEachIntegerAsADword) {
  const std::unique_ptr<app::SettingsStore> store = OpenRegistrySettings(application_);
  store->WriteInteger("Parameters", "FTPPort", 2121);
  store->WriteInteger("Parameters", "HTTPPort", -1);
  store->WriteInteger("Parameters", "FTPPort", 2200);  // the last write of a key counts
  store->WriteInteger("Other", "Value", 7);
  EXPECT_EQ(std::nullopt, Get("Parameters", "FTPPort")) << "written before Flush";
  ASSERT_TRUE(store->Flush());

  const struct {
    const char* section;
    const char* name;
    std::vector<BYTE> bytes;
    const char* text;
  } cases[] = {
      {"Parameters", "FTPPort", {0x98, 0x08, 0, 0}, "2200"},
      {"Parameters", "HTTPPort", {0xFF, 0xFF, 0xFF, 0xFF}, "4294967295"},
      {"Other", "Value", {7, 0, 0, 0}, "7"},
  };
  const std::unique_ptr<app::SettingsStore> reopened = OpenRegistrySettings(application_);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.section) + "/" + c.name);
    const std::optional<Raw> raw = Get(c.section, c.name);
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), raw->type);
    EXPECT_EQ(c.bytes, raw->bytes);
    EXPECT_EQ(c.text, reopened->ReadText(c.section, c.name));
  }

  // What was flushed is not written again: a value changed meanwhile stays as it was changed.
  PutDword("Parameters", "FTPPort", 21);
  EXPECT_TRUE(store->Flush());
  EXPECT_EQ("21", reopened->ReadText("Parameters", "FTPPort"));
}

TEST_F(RegistrySettingsTest, FlushFailsWhenTheKeyCannotBeMade) {
  // A key name holds at most 255 characters.
  const std::unique_ptr<app::SettingsStore> store =
      OpenRegistrySettings(application_ + std::string(300, 'k'));
  store->WriteInteger("Parameters", "FTPPort", 2121);
  EXPECT_FALSE(store->Flush());
  EXPECT_EQ(std::nullopt, store->ReadText("Parameters", "FTPPort"));
}

// The program's path from the registry to its values: the stored DWORDs keep all 32 bits
// (the low-16-bit rule is the caller's), LogFile is the REG_SZ text, a negative limit gives
// its default, and the ports written after a port error read back at the next start.
TEST_F(RegistrySettingsTest, AppSettingsReadAndWriteTheProgramsValues) {
  PutDword("Parameters", "FTPPort", 65557);
  PutDword("Parameters", "HTTPPort", 8080);
  PutDword("Parameters", "IdleTimeout", 0xFFFFFFFF);
  PutDword("Parameters", "HttpHeadTimeout", 0);
  Put("Parameters", "LogFile", REG_SZ, Bytes("C:\\logs\\ftp.log"));
  {
    const std::unique_ptr<app::SettingsStore> store = OpenRegistrySettings(application_);
    app::AppSettings settings(*store);
    EXPECT_EQ(65557u, settings.FtpPort());
    EXPECT_EQ(8080u, settings.HttpPort());
    EXPECT_EQ("C:\\logs\\ftp.log", settings.LogFile());
    EXPECT_EQ(app::AppSettings::kDefaultIdleTimeout, settings.IdleTimeout());
    EXPECT_EQ(0, settings.HttpHeadTimeout());
    EXPECT_EQ(app::AppSettings::kDefaultHttpMinBodyRate, settings.HttpMinBodyRate());
    EXPECT_TRUE(settings.WritePorts(2121, 0xFFFFFFFF));
  }
  const std::unique_ptr<app::SettingsStore> store = OpenRegistrySettings(application_);
  const app::AppSettings settings(*store);
  EXPECT_EQ(2121u, settings.FtpPort());
  EXPECT_EQ(0xFFFFFFFFu, settings.HttpPort());
  EXPECT_EQ("C:\\logs\\ftp.log", settings.LogFile());
}

}  // namespace
}  // namespace kelvane::win32
