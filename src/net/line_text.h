// net/line_text.h -- small text utilities for command lines received over a connection.
#pragma once

#include <cstddef>

namespace kelvane::net {

// Removes a trailing line end in place: a lone CR or LF empties the text; otherwise the last two
// characters go when the second-to-last is CR or LF, else the last one when it is CR or LF.
void TrimLineEnd(char* text);

// Copies token |index| (0-based) of |text| into |target|; a token is a maximal run of characters
// that are not in |separators|. Returns 0 when found and copied, 1 when there is no such token or
// it does not fit |capacity| with its terminator. |target| is made empty first (capacity > 0).
int GetToken(const char* text, const char* separators, int index, char* target, size_t capacity);

}  // namespace kelvane::net
