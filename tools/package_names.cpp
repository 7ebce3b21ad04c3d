// tools/package_names.cpp -- name conflicts, FTP-nameable names and extraction paths.
#include "tools/package_names.h"

#include <cstdio>

#include "archive/archive_format.h"

namespace kelvane::pack {
namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

std::string NameChecker::Add(std::string_view name) {
  if (name.size() > archive::kMaxNameLength) {
    return "name " + Quoted(name) + " is " + std::to_string(name.size()) +
           " bytes long; at most " + std::to_string(archive::kMaxNameLength) + " are allowed";
  }
  if (!name.empty() && name.front() == '\\') name.remove_prefix(1);
  if (name.empty()) return "empty name";

  // Every directory prefix must not be a known file, nor (when strict) a known directory
  // spelled differently. Check first, record afterwards, so a refused name leaves no trace.
  for (size_t slash = name.find('\\'); slash != std::string_view::npos;
       slash = name.find('\\', slash + 1)) {
    const std::string_view prefix = name.substr(0, slash);
    const auto it = seen_.find(Lower(prefix));
    if (it == seen_.end()) continue;
    if (it->second.is_file) {
      return Quoted(it->second.spelling) + " is a file, and a directory in " + Quoted(name);
    }
    if (strict_ && it->second.spelling != prefix) {
      return "directories " + Quoted(it->second.spelling) + " (in " +
             Quoted(it->second.example) + ") and " + Quoted(prefix) + " (in " + Quoted(name) +
             ") are equal without regard to letter case";
    }
  }
  const std::string key = Lower(name);
  if (const auto it = seen_.find(key); it != seen_.end()) {
    if (it->second.is_file) {
      return "names " + Quoted(it->second.spelling) + " and " + Quoted(name) +
             " are equal without regard to letter case";
    }
    return Quoted(name) + " is a file, and a directory in " + Quoted(it->second.example);
  }

  for (size_t slash = name.find('\\'); slash != std::string_view::npos;
       slash = name.find('\\', slash + 1)) {
    const std::string_view prefix = name.substr(0, slash);
    seen_.try_emplace(Lower(prefix), Seen{std::string(prefix), std::string(name), false});
  }
  seen_.emplace(key, Seen{std::string(name), std::string(name), true});
  return {};
}

bool IsFtpNameable(std::string_view name) {
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7E) return false;
  }
  return true;
}

std::optional<std::string> ExtractionPath(std::string_view name) {
  if (!name.empty() && name.front() == '\\') name.remove_prefix(1);
  if (name.empty()) return std::nullopt;
  std::string path;
  size_t start = 0;
  while (true) {
    const size_t end = name.find('\\', start);
    const std::string_view part =
        name.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (part.empty() || part == "." || part == ".." ||
        part.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) {
      return std::nullopt;
    }
    if (!path.empty()) path += '/';
    path += part;
    if (end == std::string_view::npos) return path;
    start = end + 1;
  }
}

// Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) on "'" + std::string.
std::string Quoted(std::string_view s) {
  std::string quoted(1, '\'');
  quoted += Printable(s);
  quoted += '\'';
  return quoted;
}

std::string Printable(std::string_view name) {
  std::string out;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte <= 0x7E) {
      out += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      out += hex;
    }
  }
  return out;
}

}  // namespace kelvane::pack
