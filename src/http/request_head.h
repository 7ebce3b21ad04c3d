// http/request_head.h -- RequestHead, which reads a request head from bytes as they arrive (one
// at a time or many, while other connections are read in between), and the decoding of a
// request target into the path the package is asked for.
//
// A RequestHead belongs to one connection and is used by one thread at a time.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace kelvane::http {

enum class RequestKind { kGet, kPost, kHead, kOtherMethod, kMalformed };

class RequestHead {
 public:
  // Told each head line the server traces: its number from 0 and its text up to the first zero
  // byte. A head ended by a bare LF or by the peer's close ends without a line for that end.
  using LineObserver = std::function<void(int number, const char* text)>;

  // A line is cut after |line_size| - 1 bytes (CR and LF counted, the rest makes the next line);
  // a Content-Length of |line_size| or more counts as none; the cookie keeps its first
  // |max_cookie| characters.
  RequestHead(int line_size, int max_cookie);

  // Reads head bytes from |data| and stops where the head ends. Returns the bytes taken: all of
  // them while the head goes on; fewer when it ended inside |data| (the rest is body).
  size_t Feed(const char* data, size_t size, const LineObserver& observer);
  // The peer closed its side: the line begun, if any, is the last one and the head ends.
  void End(const LineObserver& observer);

  // The head has ended (by an empty line, a bare LF or the peer's close).
  bool complete() const { return complete_; }
  // The peer closed before sending a byte: there is no request to answer.
  bool empty() const { return empty_; }

  RequestKind kind() const { return kind_; }
  // What follows "GET /", "POST /" or "HEAD /" up to the first blank (still encoded).
  const std::string& target() const { return target_; }
  // The last Cookie line's value.
  const std::string& cookie() const { return cookie_; }
  // The body length announced by the first usable Content-Length line; 0 without one.
  int body_length() const { return body_length_; }

 private:
  // Ends the line being read; |result| is what a blocking line read would have returned
  // (bytes consumed with the LF, |line_size| for a cut line, consumed + 1 at the peer's close
  // in mid-line, 0 at its close before any byte).
  void EndLine(int result, const LineObserver& observer);
  void TakeLine(const LineObserver& observer);

  int line_size_;
  int max_cookie_;
  std::string line_;  // the line being read, without CR
  int consumed_ = 0;  // bytes of the line being read, CR included
  int number_ = 0;    // of the line being read
  bool complete_ = false;
  bool empty_ = false;
  RequestKind kind_ = RequestKind::kMalformed;
  std::string target_;
  std::string cookie_;
  int body_length_ = 0;
};

// The path that |target| names: the text before any '?', with every %XY turned into its byte
// ('+' stays). False, and |*path| untouched, for a '%' not followed by two hex digits or an
// escape of the zero byte.
bool DecodeTarget(std::string_view target, std::string* path);

// The absolute path a redirect names for the directory |path| (package separators '/'): empty
// components dropped, every byte but letters, digits, "-._~" and '/' percent-encoded, and a
// '/' at both ends, so that the result can neither leave the site nor break the header line.
std::string DirectoryLocation(std::string_view path);

}  // namespace kelvane::http
