// net/line_text.cpp -- trimming line ends and splitting command lines into tokens.
#include "net/line_text.h"

#include <cstring>

namespace kelvane::net {
namespace {

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

}  // namespace

void TrimLineEnd(char* text) {
  const size_t length = std::strlen(text);
  if (length == 0) return;
  if (length == 1) {
    if (IsLineEnd(text[0])) text[0] = '\0';
    return;
  }
  if (IsLineEnd(text[length - 2])) {
    text[length - 2] = '\0';
  } else if (IsLineEnd(text[length - 1])) {
    text[length - 1] = '\0';
  }
}

int GetToken(const char* text, const char* separators, int index, char* target, size_t capacity) {
  if (capacity > 0) target[0] = '\0';
  int current = 0;
  const char* p = text;
  for (;;) {
    p += std::strspn(p, separators);
    if (*p == '\0') return 1;
    const size_t length = std::strcspn(p, separators);
    if (current == index) {
      if (length >= capacity) return 1;
      std::memcpy(target, p, length);
      target[length] = '\0';
      return 0;
    }
    ++current;
    p += length;
  }
}

}  // namespace kelvane::net
