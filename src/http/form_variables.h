// http/form_variables.h -- the form variables of a POST request and the decoder of URL-encoded
// bodies that fills them.
#pragma once

#include "http/mimetab.h"

namespace kelvane::http {

// One decoded pair; both point into the decoded body. Value is null for a name without '='.
struct varpair {
  char* Name;
  char* Value;
};

// The variable table of one server run: Pairs has room for Capacity entries, of which the
// first VariableCount are valid after ParseFormVariables.
struct varlist {
  int Capacity;
  int VariableCount;
  varpair* Pairs;
};

// How a pair without '=' shows its value in trace lines.
inline constexpr const char* kAbsentValue = "(null)";

// 0-9, a-f and A-F give their value; every other character gives 0.
int HexDigitValue(char c);

// Decodes the URL-encoded |text| in place ('+' is a blank, %XY a byte, '&' ends a pair, the
// first '=' of a pair ends its name and each further '=' restarts its value) and stores the pairs
// in |table|. At most Capacity - 1 pairs are kept; on reaching that limit the decoding stops and
// the result is false, with VariableCount counting the pairs stored. A final pair with an empty
// name is not stored. A '%' with fewer than two characters after it is kept as it stands, so
// nothing past the terminator is read. Every pair ended by '&' is traced through |sink| (may be
// null).
bool ParseFormVariables(char* text, varlist& table, TraceSinkFunction sink);

}  // namespace kelvane::http
