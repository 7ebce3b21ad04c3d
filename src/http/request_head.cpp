// http/request_head.cpp -- the request head read from bytes as they arrive, and the request
// target's decoding and the redirect location of a directory.
#include "http/request_head.h"

#include <algorithm>
#include <cstring>

#include "http/http_texts.h"
#include "http/mimetab.h"

namespace kelvane::http {

using namespace texts;

namespace {

// A character of an HTTP method name (a token).
bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// A request line of some method: a token, one blank, then a target. GET, POST and HEAD lines
// whose target does not start with '/' are not served either, but they are malformed rather
// than of another method.
bool IsOtherMethodLine(const char* line) {
  size_t i = 0;
  while (IsTokenChar(line[i])) ++i;
  if (i == 0 || line[i] != ' ' || line[i + 1] == '\0' || line[i + 1] == ' ') return false;
  const std::string method(line, i);
  return !EqualNoCase(method.c_str(), "GET") && !EqualNoCase(method.c_str(), "POST") &&
         !EqualNoCase(method.c_str(), "HEAD");
}

// The length a "Content-Length: " line announces, read as atoi reads (blanks, a sign, digits up
// to the first other character); 0 for a negative value or one not below |limit|.
int ParseContentLength(const char* text, int limit) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value >= limit) return 0;
  }
  if (negative && value != 0) return 0;
  return static_cast<int>(value);
}

// The value of a hex digit, -1 for any other character.
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

RequestHead::RequestHead(int line_size, int max_cookie)
    : line_size_(std::max(line_size, 2)), max_cookie_(std::max(max_cookie, 0)) {}

size_t RequestHead::Feed(const char* data, size_t size, const LineObserver& observer) {
  size_t used = 0;
  while (used < size && !complete_) {
    const char c = data[used++];
    ++consumed_;
    if (c == '\n') {
      EndLine(consumed_, observer);
      continue;
    }
    if (c != '\r') line_ += c;
    if (consumed_ == line_size_ - 1) EndLine(line_size_, observer);
  }
  return used;
}

void RequestHead::End(const LineObserver& observer) {
  if (complete_) return;
  EndLine(consumed_ == 0 ? 0 : consumed_ + 1, observer);
  // A line the close cut short was taken; the read after it finds the close.
  if (!complete_) EndLine(0, observer);
}

void RequestHead::EndLine(int result, const LineObserver& observer) {
  if (number_ == 0 ? result == 0 : result <= 1) {
    // The first line decides whether there is a request at all; after it, the close or a bare
    // LF ends the head without a line of its own.
    empty_ = number_ == 0;
    complete_ = true;
  } else {
    TakeLine(observer);
  }
  line_.clear();
  consumed_ = 0;
}

void RequestHead::TakeLine(const LineObserver& observer) {
  // The line counts up to its first zero byte, as a C string would.
  const char* line = line_.c_str();
  bool request_line = false;
  if (number_ == 0) {
    const char* prefixes[] = {kGetPrefix, kPostPrefix, kHeadPrefix};
    const RequestKind kinds[] = {RequestKind::kGet, RequestKind::kPost, RequestKind::kHead};
    for (size_t i = 0; i < 3 && !request_line; ++i) {
      if (!StartsWithNoCase(line, prefixes[i])) continue;
      kind_ = kinds[i];
      const char* text = line + std::strlen(prefixes[i]);
      target_.assign(text, std::strcspn(text, " "));
      request_line = true;
    }
    if (!request_line) {
      kind_ = IsOtherMethodLine(line) ? RequestKind::kOtherMethod : RequestKind::kMalformed;
    }
  }
  if (!request_line) {
    if (StartsWithNoCase(line, kCookiePrefix)) {
      const char* value = line + std::strlen(kCookiePrefix);
      cookie_.assign(value, std::min(std::strlen(value), static_cast<size_t>(max_cookie_)));
    } else if (body_length_ == 0 && StartsWithNoCase(line, kLengthPrefix)) {
      body_length_ = ParseContentLength(line + std::strlen(kLengthPrefix), line_size_);
    }
  }
  if (observer) observer(number_, line);
  ++number_;
  if (line[0] == '\0') complete_ = true;
}

bool DecodeTarget(std::string_view target, std::string* path) {
  target = target.substr(0, target.find('?'));
  std::string decoded;
  decoded.reserve(target.size());
  for (size_t i = 0; i < target.size(); ++i) {
    if (target[i] != '%') {
      decoded += target[i];
      continue;
    }
    if (i + 2 >= target.size()) return false;
    const int high = HexValue(target[i + 1]);
    const int low = HexValue(target[i + 2]);
    if (high < 0 || low < 0 || (high | low) == 0) return false;
    decoded += static_cast<char>(high * 16 + low);
    i += 2;
  }
  *path = std::move(decoded);
  return true;
}

std::string DirectoryLocation(std::string_view path) {
  static const char* digits = "0123456789ABCDEF";
  std::string location = "/";
  for (size_t i = 0; i < path.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(path[i]);
    if (c == '/') {
      if (location.back() != '/') location += '/';
      continue;
    }
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        (c != 0 && std::strchr("-._~", c) != nullptr)) {
      location += static_cast<char>(c);
    } else {
      location += '%';
      location += digits[c >> 4];
      location += digits[c & 15];
    }
  }
  if (location.back() != '/') location += '/';
  return location;
}

}  // namespace kelvane::http
