// tools/glob_match.cpp -- the wildcard matcher behind GlobMatch.
#include "tools/glob_match.h"

#include <cctype>
#include <cstddef>
#include <optional>

namespace kelvane::pack {
namespace {

bool InClass(std::string_view name, unsigned char c) {
  struct Class {
    std::string_view name;
    int (*test)(int);
  };
  static constexpr Class kClasses[] = {
      {"alnum", [](int ch) { return std::isalnum(ch); }},
      {"alpha", [](int ch) { return std::isalpha(ch); }},
      {"blank", [](int ch) { return std::isblank(ch); }},
      {"cntrl", [](int ch) { return std::iscntrl(ch); }},
      {"digit", [](int ch) { return std::isdigit(ch); }},
      {"graph", [](int ch) { return std::isgraph(ch); }},
      {"lower", [](int ch) { return std::islower(ch); }},
      {"print", [](int ch) { return std::isprint(ch); }},
      {"punct", [](int ch) { return std::ispunct(ch); }},
      {"space", [](int ch) { return std::isspace(ch); }},
      {"upper", [](int ch) { return std::isupper(ch); }},
      {"xdigit", [](int ch) { return std::isxdigit(ch); }},
  };
  for (const Class& entry : kClasses) {
    if (entry.name == name) return entry.test(c) != 0;
  }
  return false;
}

// Matches the set that opens at pattern[*at] == '[' against |c|. Returns whether |c| is in the
// set and moves *at past the ']'; nullopt, with *at unchanged, when the set has no ']' (the
// '[' is then an ordinary character).
std::optional<bool> MatchSet(std::string_view pattern, size_t* at, unsigned char c) {
  size_t i = *at + 1;
  bool negated = false;
  if (i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^')) {
    negated = true;
    ++i;
  }
  bool found = false;
  bool first = true;
  while (i < pattern.size()) {
    if (pattern[i] == ']' && !first) {
      *at = i + 1;
      return found != negated;
    }
    first = false;
    if (pattern.compare(i, 2, "[:") == 0) {
      const size_t close = pattern.find(":]", i + 2);
      if (close != std::string_view::npos) {
        found = found || InClass(pattern.substr(i + 2, close - i - 2), c);
        i = close + 2;
        continue;
      }
    }
    if (pattern[i] == '\\' && i + 1 < pattern.size()) ++i;
    const auto low = static_cast<unsigned char>(pattern[i]);
    ++i;
    unsigned char high = low;
    if (i + 1 < pattern.size() && pattern[i] == '-' && pattern[i + 1] != ']') {
      ++i;
      if (pattern[i] == '\\' && i + 1 < pattern.size()) ++i;
      high = static_cast<unsigned char>(pattern[i]);
      ++i;
    }
    if (low <= c && c <= high) found = true;
  }
  return std::nullopt;
}

}  // namespace

bool GlobMatch(std::string_view pattern, std::string_view text, bool slash_separates) {
  size_t p = 0;
  size_t t = 0;
  // Where to resume after the last '*' when what followed it failed: that star then takes
  // one more character. Earlier stars never need to: any match they could give, the last
  // star gives too.
  std::optional<size_t> star_p;
  size_t star_t = 0;
  while (t < text.size()) {
    const auto c = static_cast<unsigned char>(text[t]);
    if (p < pattern.size()) {
      const char op = pattern[p];
      if (op == '*') {
        while (p < pattern.size() && pattern[p] == '*') ++p;
        star_p = p;
        star_t = t;
        continue;
      }
      const bool separator = slash_separates && c == '/';
      if (op == '?' && !separator) {
        ++p;
        ++t;
        continue;
      }
      if (op == '[') {
        size_t after = p;
        const auto in_set = MatchSet(pattern, &after, c);
        if (in_set) {
          if (*in_set && !separator) {
            p = after;
            ++t;
            continue;
          }
        } else if (c == '[') {
          ++p;
          ++t;
          continue;
        }
      } else if (op != '?') {
        // A '\\' that ends the pattern escapes nothing and, as in fnmatch, matches nothing.
        const bool lone_escape = op == '\\' && p + 1 == pattern.size();
        const size_t literal = op == '\\' ? p + 1 : p;
        if (!lone_escape && static_cast<unsigned char>(pattern[literal]) == c) {
          p = literal + 1;
          ++t;
          continue;
        }
      }
    }
    // Mismatch: let the last star take one more character, unless that would be a '/'.
    if (!star_p) return false;
    if (slash_separates && text[star_t] == '/') return false;
    ++star_t;
    t = star_t;
    p = *star_p;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace kelvane::pack
