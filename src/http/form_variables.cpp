// http/form_variables.cpp -- the decoder of URL-encoded form bodies.
#include "http/form_variables.h"

#include <cstdarg>

namespace kelvane::http {
namespace {

void TracePair(TraceSinkFunction sink, const char* format, ...) {
  va_list args;
  va_start(args, format);
  sink(format, args);
  va_end(args);
}

}  // namespace

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

bool ParseFormVariables(char* text, varlist& table, TraceSinkFunction sink) {
  // w never passes r: the decoded text is never longer than the encoded one.
  char* r = text;
  char* w = text;
  char* name = text;
  char* value = nullptr;
  int i = 0;
  const int limit = table.Capacity - 1;
  for (; *r != '\0'; ++r) {
    switch (*r) {
      case '%':
        if (r[1] == '\0' || r[2] == '\0') {
          *w++ = *r;
        } else {
          *w++ = static_cast<char>(HexDigitValue(r[1]) * 16 + HexDigitValue(r[2]));
          r += 2;
        }
        break;
      case '+':
        *w++ = ' ';
        break;
      case '=':
        *w = '\0';
        value = r + 1;
        w = r + 1;
        break;
      case '&':
        *w = '\0';
        if (sink != nullptr) TracePair(sink, "'%s'='%s'\n", name, value ? value : kAbsentValue);
        if (i >= limit) {
          table.VariableCount = i;
          return false;
        }
        table.Pairs[i++] = {name, value};
        name = r + 1;
        value = nullptr;
        w = r + 1;
        break;
      default:
        *w++ = *r;
        break;
    }
  }
  *w = '\0';
  if (*name == '\0') {
    table.VariableCount = i;
    return true;
  }
  if (i >= limit) {
    table.VariableCount = i;
    return false;
  }
  table.Pairs[i] = {name, value};
  table.VariableCount = i + 1;
  return true;
}

}  // namespace kelvane::http
