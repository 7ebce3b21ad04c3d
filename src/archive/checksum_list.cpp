// archive/checksum_list.cpp -- writing and reading the lines of the SHA256SUMS entry.
#include "archive/checksum_list.h"

#include "archive/archive_directory.h"

namespace kelvane::archive {
namespace {

constexpr size_t kHexSize = 64;

std::string_view WithoutLeadingSeparator(std::string_view name) {
  if (!name.empty() && name.front() == '\\') name.remove_prefix(1);
  return name;
}

// Undoes the escapes of a line opened with '\'; nullopt for an escape sha256sum never writes.
std::optional<std::string> Unescape(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] != '\\') {
      out += name[i];
      continue;
    }
    if (++i == name.size()) return std::nullopt;
    switch (name[i]) {
      case '\\': out += '\\'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      default: return std::nullopt;
    }
  }
  return out;
}

std::string LineFault(size_t number, const char* why) {
  return "line " + std::to_string(number) + " " + why;
}

}  // namespace

bool IsChecksumsEntryName(std::string_view name) {
  return NamesEqual(WithoutLeadingSeparator(name), kChecksumsEntryName);
}

bool IsPasswordEntryName(std::string_view name) {
  return NamesEqual(WithoutLeadingSeparator(name), kPasswordEntryPath + 1);
}

std::string ChecksumName(std::string_view name) {
  std::string out(WithoutLeadingSeparator(name));
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

std::string FormatChecksumLine(std::string_view checksum_name,
                               const util::Sha256::Digest& digest) {
  std::string escaped;
  bool needs_escape = false;
  for (char c : checksum_name) {
    switch (c) {
      case '\\': escaped += "\\\\"; needs_escape = true; break;
      case '\n': escaped += "\\n"; needs_escape = true; break;
      case '\r': escaped += "\\r"; needs_escape = true; break;
      default: escaped += c;
    }
  }
  std::string line = needs_escape ? "\\" : "";
  line.append(util::ToHex(digest)).append("  ").append(escaped).append("\n");
  return line;
}

ChecksumList ParseChecksumList(std::string_view text) {
  ChecksumList list;
  size_t number = 0;
  while (!text.empty()) {
    ++number;
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    const bool escaped = line.front() == '\\';
    if (escaped) line.remove_prefix(1);
    const auto digest = util::DigestFromHex(line.substr(0, kHexSize));
    if (!digest || line.size() < kHexSize + 3 || line[kHexSize] != ' ' ||
        (line[kHexSize + 1] != ' ' && line[kHexSize + 1] != '*')) {
      list.faults.push_back(LineFault(number, "is not \"<64 hex digits>  <name>\""));
      continue;
    }
    std::string_view raw_name = line.substr(kHexSize + 2);
    std::optional<std::string> name =
        escaped ? Unescape(raw_name) : std::optional<std::string>(raw_name);
    if (!name) {
      list.faults.push_back(LineFault(number, "holds an escape other than \\\\, \\n or \\r"));
      continue;
    }
    list.lines.push_back({number, std::move(*name), *digest});
  }
  return list;
}

}  // namespace kelvane::archive
