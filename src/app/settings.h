// app/settings.h -- the per-user settings: the store interface and the values the application
// keeps in its `Parameters` section.
//
// The store is opened once the application name is known (QtSettingsStore in the program, a
// map in the tests). Only the window's thread reads and writes it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ftp/ftp_mode.h"

namespace kelvane::app {

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  // The value |key| of |section| as text; nullopt when it is missing.
  virtual std::optional<std::string> ReadText(std::string_view section, std::string_view key) = 0;
  // Stores |value| under |key| of |section|, to be written by Flush.
  virtual void WriteInteger(std::string_view section, std::string_view key, int32_t value) = 0;
  // Writes what was stored to the backing file; false when that failed.
  virtual bool Flush() = 0;
};

// The `Parameters` values with their defaults.
class AppSettings {
 public:
  static constexpr uint32_t kDefaultFtpPort = 21;
  static constexpr uint32_t kDefaultHttpPort = 80;
  static constexpr int kDefaultIdleTimeout = 300;
  static constexpr int kDefaultHttpHeadTimeout = 10;
  static constexpr int kDefaultHttpMinBodyRate = 500;
  static constexpr int kDefaultLogLines = 5000;
  static constexpr int kDefaultUnpackCacheMB = 1024;

  explicit AppSettings(SettingsStore& store) : store_(store) {}

  // The stored 32-bit values (see ParseSettingInteger), or the defaults 21 and 80.
  uint32_t FtpPort() const;
  uint32_t HttpPort() const;
  // The log file's base name; empty when none is set.
  std::string LogFile() const;
  // Read as the ports are, taken as signed 32-bit values; a negative one (or none) gives the
  // default. IdleTimeout: seconds a logged-in FTP session may stay silent (0: never).
  // HttpHeadTimeout: seconds an HTTP client has for a whole request head. HttpMinBodyRate:
  // bytes per second an HTTP request body must keep up.
  int IdleTimeout() const;
  int HttpHeadTimeout() const;
  int HttpMinBodyRate() const;
  // How the FTP service speaks: FtpMode "classic" (the default, also for any other text) or
  // "modern". PassivePorts: the ports of the modern mode's passive listeners, "first-last"
  // (none: any free port). PassiveAddress: the IPv4 address PASV offers (none: the address
  // the client reached). See ParseFtpMode, ParsePortRange and ParseIpv4Address.
  ftp::FtpMode FtpMode() const;
  // Read as IdleTimeout is. LogLines: the log lines the window keeps to scroll back through
  // (more when more fit the window). UnpackCacheMB: the megabytes (2^20 bytes) of temporary
  // files compressed entries may be unpacked into, 0 for none.
  int LogLines() const;
  int UnpackCacheMB() const;
  std::optional<ftp::PortRange> PassivePorts() const;
  std::optional<uint32_t> PassiveAddress() const;
  // Stores both ports together; false when the store could not be written.
  bool WritePorts(uint32_t ftp_port, uint32_t http_port);

 private:
  uint32_t ReadInteger(const char* key, uint32_t fallback) const;
  int ReadNonNegative(const char* key, int fallback) const;
  SettingsStore& store_;
};

}  // namespace kelvane::app
