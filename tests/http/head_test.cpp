// http/head_test.cpp -- the request head read from bytes as they arrive (in two pieces split at
// every position, and a byte at a time), the target's decoding and a directory's redirect
// location; no sockets.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "http/request_head.h"

namespace kelvane::http {
namespace {

struct HeadCase {
  const char* name;
  std::string input;
  bool then_closed;  // the peer closes after the input
  int line_size;
  std::vector<std::pair<int, std::string>> lines;  // as traced
  size_t head_bytes;  // where the head ends; input.size() when it does not end before
  bool complete;
  bool empty;
  RequestKind kind;
  std::string target;
  std::string cookie;
  int body_length;
};

std::vector<HeadCase> HeadCases() {
  const std::string post =
      "POST /www/page.html HTTP/1.0\r\ncookie: c=1\r\nContent-Length: 7\r\n\r\n";
  const std::string lf = "get /A%20b?q=1 HTTP/1.0\nHost: x\n\n";
  return {
      {"POST with a body", post + "a=1&b=2", false, 2048,
       {{0, "POST /www/page.html HTTP/1.0"}, {1, "cookie: c=1"}, {2, "Content-Length: 7"}, {3, ""}},
       post.size(), true, false, RequestKind::kPost, "www/page.html", "c=1", 7},
      {"bare LF ends the head untraced", lf + "rest", false, 2048,
       {{0, "get /A%20b?q=1 HTTP/1.0"}, {1, "Host: x"}}, lf.size(), true, false,
       RequestKind::kGet, "A%20b?q=1", "", 0},
      {"HEAD", "HEAD /x y\r\n\r\n", false, 2048, {{0, "HEAD /x y"}, {1, ""}}, 13, true, false,
       RequestKind::kHead, "x", "", 0},
      {"other method", "PUT / HTTP/1.0\r\nContent-Length: 5\r\n\r\n", false, 2048,
       {{0, "PUT / HTTP/1.0"}, {1, "Content-Length: 5"}, {2, ""}}, 37, true, false,
       RequestKind::kOtherMethod, "", "", 5},
      {"HEAD without a path", "HEAD * HTTP/1.0\r\n\r\n", false, 2048,
       {{0, "HEAD * HTTP/1.0"}, {1, ""}}, 19, true, false, RequestKind::kMalformed, "", "", 0},
      // A line is cut after line_size - 1 bytes, CR included; the rest is the next line.
      {"cut lines", "GET /abcdefgh\r\n\r\nzz", false, 8, {{0, "GET /ab"}, {1, "cdefgh"}}, 15,
       true, false, RequestKind::kGet, "ab", "", 0},
      {"the last cookie, cut; the first usable length",
       "GET / HTTP/1.0\r\nCookie: a\r\nContent-Length: 99\r\nContent-Length: 3\r\n"
       "Content-Length: 4\r\nCookie: 0123456789\r\n\r\n",
       false, 64,
       {{0, "GET / HTTP/1.0"}, {1, "Cookie: a"}, {2, "Content-Length: 99"},
        {3, "Content-Length: 3"}, {4, "Content-Length: 4"}, {5, "Cookie: 0123456789"}, {6, ""}},
       107, true, false, RequestKind::kGet, "", "01234", 3},
      {"closed mid-line", "GET /version.txt", true, 2048, {{0, "GET /version.txt"}}, 16, true,
       false, RequestKind::kGet, "version.txt", "", 0},
      {"closed at once", "", true, 2048, {}, 0, true, true, RequestKind::kMalformed, "", "", 0},
      {"closed mid-head", "GET /a HTTP/1.0\r\nHost", true, 2048,
       {{0, "GET /a HTTP/1.0"}, {1, "Host"}}, 21, true, false, RequestKind::kGet, "a", "", 0},
      {"not yet ended", "GET /a HTTP/1.0\r\nHost: x\r\n", false, 2048,
       {{0, "GET /a HTTP/1.0"}, {1, "Host: x"}}, 26, false, false, RequestKind::kGet, "a", "", 0},
      {"a zero byte ends the text", std::string("\x16\x03\x01 \x00\x01\n\n", 8), false, 2048,
       {{0, "\x16\x03\x01 "}}, 8, true, false, RequestKind::kMalformed, "", "", 0},
      {"an empty first line", "\r\nGET / HTTP/1.0\r\n", false, 2048, {{0, ""}}, 2, true, false,
       RequestKind::kMalformed, "", "", 0},
  };
}

TEST(RequestHeadTest, BytesSplitAtEveryPositionOrOneByOneReadTheSameHead) {
  for (const HeadCase& c : HeadCases()) {
    // Every split into two pieces, and then every byte on its own.
    for (size_t split = 0; split <= c.input.size() + 1; ++split) {
      const bool one_by_one = split > c.input.size();
      SCOPED_TRACE(std::string(c.name) +
                   (one_by_one ? ", a byte at a time" : ", split at " + std::to_string(split)));
      std::vector<std::pair<int, std::string>> lines;
      const RequestHead::LineObserver observer = [&lines](int number, const char* text) {
        lines.emplace_back(number, text);
      };
      RequestHead head(c.line_size, 5);
      std::vector<std::string> pieces;
      if (one_by_one) {
        for (char ch : c.input) pieces.emplace_back(1, ch);
      } else {
        pieces = {c.input.substr(0, split), c.input.substr(split)};
      }
      size_t used = 0;
      for (const std::string& piece : pieces) {
        const size_t taken = head.Feed(piece.data(), piece.size(), observer);
        EXPECT_LE(taken, piece.size());
        used += taken;
        if (taken < piece.size()) {
          EXPECT_TRUE(head.complete());  // only the head's end stops a piece
          break;
        }
      }
      if (c.then_closed) head.End(observer);
      EXPECT_EQ(c.lines, lines);
      EXPECT_EQ(c.head_bytes, used);
      EXPECT_EQ(c.complete, head.complete());
      EXPECT_EQ(c.empty, head.empty());
      EXPECT_EQ(c.kind, head.kind());
      EXPECT_EQ(c.target, head.target());
      EXPECT_EQ(c.cookie, head.cookie());
      EXPECT_EQ(c.body_length, head.body_length());
    }
  }
}

TEST(RequestHeadTest, NothingIsTakenOnceTheHeadHasEnded) {
  RequestHead head(2048, 80);
  const std::string request = "GET / HTTP/1.0\r\n\r\n";
  EXPECT_EQ(request.size(), head.Feed(request.data(), request.size(), nullptr));
  EXPECT_EQ(0u, head.Feed("GET /x\r\n\r\n", 10, nullptr));
  head.End(nullptr);
  EXPECT_EQ("", head.target());
  EXPECT_FALSE(head.empty());
}

TEST(DecodeTargetTest, EscapesBecomeBytesAndTheQueryIsLeftOut) {
  const struct {
    const char* target;
    bool ok;
    std::string path;
  } cases[] = {
      {"a%20b.txt", true, "a b.txt"},        {"%41%6a%4A", true, "AjJ"},
      {"a+b", true, "a+b"},                  {"", true, ""},
      {"x?y=%zz", true, "x"},                {"?q", true, ""},
      {"a%3Fb?c", true, "a?b"},              {"%2e%2E/x", true, "../x"},
      {"a%2Fb%5Cc", true, "a/b\\c"},         {"%C3%A9t%C3%A9", true, "\xC3\xA9t\xC3\xA9"},
      {"%", false, ""},                      {"a%4", false, ""},
      {"%4g", false, ""},                    {"%g4", false, ""},
      {"%00", false, ""},                    {"a%0", false, ""},
      {"%%41", false, ""},                   {"ok%2", false, ""},
      {"ok?%", true, "ok"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    std::string path = "untouched";
    EXPECT_EQ(c.ok, DecodeTarget(c.target, &path));
    EXPECT_EQ(c.ok ? c.path : "untouched", path);
  }
}

TEST(DirectoryLocationTest, StaysOnTheSiteAndOnItsHeaderLine) {
  const struct {
    std::string path;
    const char* location;
  } cases[] = {
      {"www", "/www/"},
      {"/www", "/www/"},
      {"//evil.example", "/evil.example/"},  // never a location on another host
      {"www/sub", "/www/sub/"},
      {"a//b/", "/a/b/"},
      {"", "/"},
      {"doc site", "/doc%20site/"},
      {"<b>\"'&", "/%3Cb%3E%22%27%26/"},
      {"a\r\nSet-Cookie: x", "/a%0D%0ASet-Cookie%3A%20x/"},
      {"\xC3\xA9-._~", "/%C3%A9-._~/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.location, DirectoryLocation(c.path));
  }
}

}  // namespace
}  // namespace kelvane::http
