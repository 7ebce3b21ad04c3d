// app/startup_rules.cpp -- names, options, settings values, port fields and the read-me address.
#include "app/startup_rules.h"

#include <cstdarg>
#include <cstdio>
#include <system_error>

#include "app/app_texts.h"
#include "platform/process.h"
#include "platform/socket.h"

namespace kelvane::app {
namespace {

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The value of a run of digits, saturated just above |limit| so that long runs cannot overflow.
uint64_t DigitsValue(std::string_view digits, uint64_t limit) {
  uint64_t value = 0;
  for (const char c : digits) {
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > limit) return limit + 1;
  }
  return value;
}

std::string ReplaceAll(std::string text, std::string_view what, std::string_view with) {
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
  return text;
}

}  // namespace

std::string ApplicationName(std::string_view executable_path) {
  const size_t slash = executable_path.find_last_of(platform::PathSeparators());
  std::string_view name =
      slash == std::string_view::npos ? executable_path : executable_path.substr(slash + 1);
  const size_t dot = name.find_last_of('.');
  if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
  return std::string(name);
}

std::string JoinCommandLine(const std::vector<std::string>& arguments) {
  std::string line;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) line.push_back(' ');
    line += arguments[i];
  }
  return line;
}

bool CommandLineWantsTrace(std::string_view command_line) {
  return command_line.find(texts::kLogOption) != std::string_view::npos;
}

std::string TraceFileName(std::string_view archive_name) {
  return std::string(archive_name) + texts::kTraceSuffix;
}

std::optional<uint32_t> ParseSettingInteger(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (!AllDigits(text)) return std::nullopt;
  const uint64_t limit = negative ? 0x80000000u : 0xFFFFFFFFu;
  const uint64_t magnitude = DigitsValue(text, limit);
  if (magnitude > limit) return std::nullopt;
  return static_cast<uint32_t>(negative ? (0 - magnitude) : magnitude);
}

namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::optional<uint16_t> PortNumber(std::string_view text) {
  text = TrimBlanks(text);
  if (!AllDigits(text)) return std::nullopt;
  const uint64_t value = DigitsValue(text, 65535);
  if (value < 1 || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

}  // namespace

std::optional<ftp::FtpMode> ParseFtpMode(std::string_view text) {
  text = TrimBlanks(text);
  if (EqualsIgnoringCase(text, texts::kClassicModeValue)) return ftp::FtpMode::kClassic;
  if (EqualsIgnoringCase(text, texts::kModernModeValue)) return ftp::FtpMode::kModern;
  return std::nullopt;
}

std::optional<ftp::PortRange> ParsePortRange(std::string_view text) {
  const size_t dash = text.find('-');
  const std::optional<uint16_t> first = PortNumber(text.substr(0, dash));
  const std::optional<uint16_t> last =
      dash == std::string_view::npos ? first : PortNumber(text.substr(dash + 1));
  if (!first || !last || *first > *last) return std::nullopt;
  return ftp::PortRange{*first, *last};
}

std::optional<uint32_t> ParseIpv4Address(std::string_view text) {
  const uint32_t address = platform::ParseDotted(std::string(TrimBlanks(text)));
  if (address == platform::kNoneAddress || address == platform::kAnyAddress) return std::nullopt;
  return address;
}

std::string CheckPortField(std::string_view text, uint32_t* value) {
  const std::string_view digits = TrimBlanks(text);
  if (!AllDigits(digits)) return texts::kNotPositiveInteger;
  const uint64_t number = DigitsValue(digits, 0xFFFFFFFFu);
  // What does not fit an unsigned 32-bit field is no integer the field can hold.
  if (number > 0xFFFFFFFFu) return texts::kNotPositiveInteger;
  if (number < 1 || number > 65535) {
    return ReplaceAll(ReplaceAll(texts::kOutOfRangeFormat, "%1", "1"), "%2", "65535");
  }
  *value = static_cast<uint32_t>(number);
  return {};
}

std::string FtpPortErrorText(uint16_t port, bool may_bind, std::string_view executable) {
  std::string text = Format(texts::kFtpPortErrorFormat, port);
  if (may_bind) return text;
  text.push_back('\n');
  text += Format(texts::kPrivilegedPortFormat, port, std::string(executable).c_str());
  return text;
}

std::string LogFileFailedText(std::string_view path, int error_number) {
  const std::string reason = std::generic_category().message(error_number);
  return Format(texts::kLogFileFailedFormat, std::string(path).c_str(), reason.c_str());
}

std::string ReadMeAddress(uint16_t http_port) {
  std::string address = "http://";
  address += texts::kReadMeHost;
  if (http_port != 80) {
    // Appended piece by piece: ":" + std::to_string(...) trips g++ 12's -Wrestrict at -O3.
    address.push_back(':');
    address += std::to_string(http_port);
  }
  address += texts::kReadMePath;
  return address;
}

bool WantsHeadless(const std::optional<std::string>& headless_variable,
                   const std::optional<std::string>& display,
                   const std::optional<std::string>& wayland_display) {
  if (headless_variable && *headless_variable == "1") return true;
  const bool has_display = display && !display->empty();
  const bool has_wayland = wayland_display && !wayland_display->empty();
  return !has_display && !has_wayland;
}

}  // namespace kelvane::app
