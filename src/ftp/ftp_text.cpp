// ftp/ftp_text.cpp -- cutting and cleaning command lines, the UTF-8 decoder, PORT parsing, paths, log lines.
#include "ftp/ftp_text.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "util/string_format.h"

namespace kelvane::ftp {
namespace {

using util::Format;

constexpr size_t kDecodedUnits = 256;
constexpr char16_t kReplacement = 0xFFFD;
constexpr char16_t kBackspace = 0x08;

constexpr size_t kMaxPortText = 25;
constexpr int kPortFields = 6;

// A log line is given the short form from this length on.
constexpr size_t kLongLogText = 260;
constexpr char kIssuedFormat[] = "%s issued command %d ' %s ' ";
constexpr char kIssuedLongFormat[] = "%s issued command %d (2long)";
constexpr char kResultFormat[] = "%s command %d ' %s ' %s ";
constexpr char kResultLongFormat[] = "command %d (2long) %s ";
constexpr char kMaxConnectionsFormat[] = "(%d) Max Connections Reached";
constexpr char kSucceeded[] = "was successful";
constexpr char kFailed[] = "has failed";

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The range the second byte of a sequence must lie in, which rules out overlong forms,
// surrogates and values above U+10FFFF.
void SecondByteRange(unsigned char lead, unsigned char* low, unsigned char* high) {
  *low = 0x80;
  *high = 0xBF;
  if (lead == 0xE0) *low = 0xA0;
  if (lead == 0xED) *high = 0x9F;
  if (lead == 0xF0) *low = 0x90;
  if (lead == 0xF4) *high = 0x8F;
}

// The length of the sequence that |lead| begins, or 0 when it cannot begin one.
int SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}


// A decimal number of one to three digits, at most 255; none otherwise.
std::optional<unsigned> PortField(std::string_view field) {
  if (field.empty() || field.size() > 3) return std::nullopt;
  unsigned value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 255) return std::nullopt;
  return value;
}

}  // namespace

void CommandLineBuffer::Append(std::string_view bytes) {
  for (const char c : bytes) {
    if (c == '\n') {
      complete_.push_back(std::move(current_));
      current_ = Line{};
      begun_ = false;
      continue;
    }
    begun_ = true;
    if (c == '\r') continue;
    if (current_.text.size() < kMaxLineLength) {
      current_.text += c;
    } else {
      current_.too_long = true;
    }
  }
}

bool CommandLineBuffer::TakeLine(std::string* line, bool* too_long) {
  if (complete_.empty()) return false;
  *line = std::move(complete_.front().text);
  if (too_long != nullptr) *too_long = complete_.front().too_long;
  complete_.pop_front();
  return true;
}

bool CommandLineBuffer::TakeUnfinishedLine(std::string* line, bool* too_long) {
  if (!complete_.empty() || !begun_) return false;
  *line = std::move(current_.text);
  if (too_long != nullptr) *too_long = current_.too_long;
  current_ = Line{};
  begun_ = false;
  return true;
}

std::optional<std::u16string> DecodeUtf8(std::string_view bytes, size_t max_units) {
  std::u16string units;
  units.reserve(std::min(bytes.size(), max_units));
  auto push = [&](char16_t unit) {
    if (units.size() >= max_units) return false;
    units.push_back(unit);
    return true;
  };
  size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    const int length = SequenceLength(lead);
    if (length == 0) {
      if (!push(kReplacement)) return std::nullopt;
      ++i;
      continue;
    }
    if (length == 1) {
      if (!push(static_cast<char16_t>(lead))) return std::nullopt;
      ++i;
      continue;
    }
    uint32_t code_point = lead & (0xFF >> (length + 1));
    int taken = 1;
    for (; taken < length && i + taken < bytes.size(); ++taken) {
      const auto c = static_cast<unsigned char>(bytes[i + taken]);
      if (taken == 1) {
        unsigned char low, high;
        SecondByteRange(lead, &low, &high);
        if (c < low || c > high) break;
      } else if (!IsContinuation(c)) {
        break;
      }
      code_point = (code_point << 6) | (c & 0x3F);
    }
    i += static_cast<size_t>(taken);
    if (taken < length) {
      // The ill-formed part ends before the byte that broke it, which starts afresh.
      if (!push(kReplacement)) return std::nullopt;
      continue;
    }
    if (code_point >= 0x10000) {
      code_point -= 0x10000;
      if (!push(static_cast<char16_t>(0xD800 + (code_point >> 10))) ||
          !push(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)))) {
        return std::nullopt;
      }
    } else if (!push(static_cast<char16_t>(code_point))) {
      return std::nullopt;
    }
  }
  return units;
}

void CleanLine(char* text, int byte_count) {
  size_t count = 0;
  if (byte_count > 0) {
    // The count includes the line end that the receive consumed; the terminator comes first.
    const void* end = std::memchr(text, '\0', static_cast<size_t>(byte_count));
    count = end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - text)
                           : static_cast<size_t>(byte_count);
  }
  const std::optional<std::u16string> units =
      count > 0 ? DecodeUtf8(std::string_view(text, count), kDecodedUnits) : std::nullopt;
  size_t kept = 0;
  if (units) {
    // Every kept unit came from at least one byte, so the text is rewritten in place.
    for (char16_t unit : *units) {
      if (unit == 0) break;
      if (unit == kBackspace) {
        if (kept > 0) --kept;
      } else if ((unit >= 0x20 && unit <= 0x7E) || unit == '\n' || unit == '\r') {
        text[kept++] = static_cast<char>(unit);
      }
    }
  }
  text[kept] = '\0';
}

bool ParsePort(std::string_view text, std::string_view client_address, std::string* host,
               uint16_t* port) {
  if (text.empty() || text.size() > kMaxPortText) return false;
  unsigned fields[kPortFields];
  int count = 0;
  for (;;) {
    const size_t comma = text.find(',');
    if (count == kPortFields) return false;
    const std::optional<unsigned> value = PortField(text.substr(0, comma));
    if (!value) return false;
    fields[count++] = *value;
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  if (count != kPortFields) return false;
  const std::string dotted = Format("%u.%u.%u.%u", fields[0], fields[1], fields[2], fields[3]);
  if (dotted != client_address) return false;
  *host = dotted;
  *port = static_cast<uint16_t>(fields[4] * 256 + fields[5]);
  return true;
}

EprtResult ParseEprt(std::string_view text, std::string_view client_address, std::string* host,
                     uint16_t* port) {
  // |1|127.0.0.1|2121| : a delimiter, then three fields each closed by it.
  if (text.size() < 4) return EprtResult::kNotUnderstood;
  const char delimiter = text[0];
  if (delimiter < 33 || delimiter > 126) return EprtResult::kNotUnderstood;
  std::string_view rest = text.substr(1);
  std::string_view fields[3];
  for (std::string_view& field : fields) {
    const size_t end = rest.find(delimiter);
    if (end == std::string_view::npos) return EprtResult::kNotUnderstood;
    field = rest.substr(0, end);
    rest.remove_prefix(end + 1);
  }
  if (!rest.empty() || fields[0].empty()) return EprtResult::kNotUnderstood;
  if (fields[0] != "1") {
    for (char c : fields[0]) {
      if (c < '0' || c > '9') return EprtResult::kNotUnderstood;
    }
    return EprtResult::kUnsupportedFamily;
  }
  const std::optional<uint64_t> number = ParseRestOffset(fields[2]);
  if (!number || *number == 0 || *number > 65535 || fields[2].size() > 5) {
    return EprtResult::kNotUnderstood;
  }
  // Dotted IPv4 in the strict form: four parts of 0..255 without leading zeros.
  std::string_view address = fields[1];
  if (std::count(address.begin(), address.end(), '.') != 3) return EprtResult::kNotUnderstood;
  for (;;) {
    const size_t dot = address.find('.');
    const std::string_view part = address.substr(0, dot);
    const std::optional<uint64_t> value = ParseRestOffset(part);
    if (!value || *value > 255 || part.size() > 3 || (part.size() > 1 && part[0] == '0')) {
      return EprtResult::kNotUnderstood;
    }
    if (dot == std::string_view::npos) break;
    address.remove_prefix(dot + 1);
  }
  if (fields[1] != client_address) return EprtResult::kForeignHost;
  *host = std::string(fields[1]);
  *port = static_cast<uint16_t>(*number);
  return EprtResult::kOk;
}

std::optional<uint64_t> ParseRestOffset(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::string_view ListPathArgument(std::string_view argument) {
  const auto skip_spaces = [&] {
    while (!argument.empty() && argument.front() == ' ') argument.remove_prefix(1);
  };
  skip_spaces();
  while (!argument.empty() && argument.front() == '-') {
    const size_t space = argument.find(' ');
    argument.remove_prefix(space == std::string_view::npos ? argument.size() : space);
    skip_spaces();
  }
  return argument;
}

std::string MakePath(std::string_view ftp_path) {
  std::string path(ftp_path);
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string IssuedCommandLine(std::string_view data_host, int number, std::string_view line) {
  const std::string host(data_host);
  if (line.size() >= kLongLogText) return Format(kIssuedLongFormat, host.c_str(), number);
  return Format(kIssuedFormat, host.c_str(), number, std::string(line).c_str());
}

std::string CommandResultLine(std::string_view user_name, int number, std::string_view line,
                              bool success) {
  const char* outcome = success ? kSucceeded : kFailed;
  if (user_name.size() + line.size() >= kLongLogText) {
    return Format(kResultLongFormat, number, outcome);
  }
  return Format(kResultFormat, std::string(user_name).c_str(), number, std::string(line).c_str(),
                outcome);
}

std::string MaxConnectionsLine(int connection_count) {
  return Format(kMaxConnectionsFormat, connection_count);
}

}  // namespace kelvane::ftp
