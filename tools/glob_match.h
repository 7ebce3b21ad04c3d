// tools/glob_match.h -- shell wildcard matching for --store-pattern where the C library has no
// fnmatch (Windows). Linux keeps fnmatch itself; the unit tests hold the two to the same answers.
#pragma once

#include <string_view>

namespace kelvane::pack {

// Whether |text| matches the shell wildcard |pattern|: '*' any run, '?' one character, '[...]'
// a set ("[!...]" or "[^...]" its complement, ranges, "[:alpha:]" and the other classes), '\'
// takes the next character literally. With |slash_separates| no wildcard or set matches '/'
// (fnmatch's FNM_PATHNAME). A '[' without its ']' stands for itself.
bool GlobMatch(std::string_view pattern, std::string_view text, bool slash_separates);

}  // namespace kelvane::pack
