// app/settings.cpp -- the `Parameters` values over a settings store.
#include "app/settings.h"

#include "app/app_texts.h"
#include "app/startup_rules.h"

namespace kelvane::app {

uint32_t AppSettings::ReadInteger(const char* key, uint32_t fallback) const {
  const std::optional<std::string> text = store_.ReadText(texts::kParametersSection, key);
  if (!text) return fallback;
  return ParseSettingInteger(*text).value_or(fallback);
}

int AppSettings::ReadNonNegative(const char* key, int fallback) const {
  const auto value = static_cast<int32_t>(ReadInteger(key, static_cast<uint32_t>(fallback)));
  return value < 0 ? fallback : value;
}

uint32_t AppSettings::FtpPort() const { return ReadInteger(texts::kFtpPortKey, kDefaultFtpPort); }

uint32_t AppSettings::HttpPort() const {
  return ReadInteger(texts::kHttpPortKey, kDefaultHttpPort);
}

std::string AppSettings::LogFile() const {
  return store_.ReadText(texts::kParametersSection, texts::kLogFileKey).value_or(std::string());
}

int AppSettings::IdleTimeout() const {
  return ReadNonNegative(texts::kIdleTimeoutKey, kDefaultIdleTimeout);
}

int AppSettings::HttpHeadTimeout() const {
  return ReadNonNegative(texts::kHttpHeadTimeoutKey, kDefaultHttpHeadTimeout);
}

int AppSettings::HttpMinBodyRate() const {
  return ReadNonNegative(texts::kHttpMinBodyRateKey, kDefaultHttpMinBodyRate);
}

int AppSettings::LogLines() const { return ReadNonNegative(texts::kLogLinesKey, kDefaultLogLines); }

int AppSettings::UnpackCacheMB() const {
  return ReadNonNegative(texts::kUnpackCacheKey, kDefaultUnpackCacheMB);
}

ftp::FtpMode AppSettings::FtpMode() const {
  const std::optional<std::string> text =
      store_.ReadText(texts::kParametersSection, texts::kFtpModeKey);
  if (!text) return ftp::FtpMode::kClassic;
  return ParseFtpMode(*text).value_or(ftp::FtpMode::kClassic);
}

std::optional<ftp::PortRange> AppSettings::PassivePorts() const {
  const std::optional<std::string> text =
      store_.ReadText(texts::kParametersSection, texts::kPassivePortsKey);
  return text ? ParsePortRange(*text) : std::nullopt;
}

std::optional<uint32_t> AppSettings::PassiveAddress() const {
  const std::optional<std::string> text =
      store_.ReadText(texts::kParametersSection, texts::kPassiveAddressKey);
  return text ? ParseIpv4Address(*text) : std::nullopt;
}

bool AppSettings::WritePorts(uint32_t ftp_port, uint32_t http_port) {
  store_.WriteInteger(texts::kParametersSection, texts::kFtpPortKey,
                      static_cast<int32_t>(ftp_port));
  store_.WriteInteger(texts::kParametersSection, texts::kHttpPortKey,
                      static_cast<int32_t>(http_port));
  return store_.Flush();
}

}  // namespace kelvane::app
