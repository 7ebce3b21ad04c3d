// util/string_format.h -- printf-style formatting into a std::string.
#pragma once

#include <string>

namespace kelvane::util {

// The text that printf would write for |format| and its arguments; empty on a format error.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kelvane::util
