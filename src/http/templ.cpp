// http/templ.cpp -- the server's life and the way in of a request: construction, Run and Stop,
// the request head, the path's normalisation and the answers the server gives by itself (404,
// 400, 501). How a request is answered from the package is in templ_answer.cpp.
#include "http/templ.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "http/http_texts.h"

namespace kelvane::http {

using namespace texts;

namespace {

// Room the path buffer keeps after the longest path: '/', "index.htm" and the terminator.
constexpr int kIndexRoom = 11;

// A character of an HTTP method name (a token).
bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// A request line of some method: a token, one blank, then a target. GET and POST lines whose
// target does not start with '/' are not served either, but they are malformed rather than of
// another method.
bool IsOtherMethodLine(const char* line) {
  size_t i = 0;
  while (IsTokenChar(line[i])) ++i;
  if (i == 0 || line[i] != ' ' || line[i + 1] == '\0' || line[i + 1] == ' ') return false;
  const std::string method(line, i);
  return !EqualNoCase(method.c_str(), "GET") && !EqualNoCase(method.c_str(), "POST");
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

// |text| with & < > " ' written as HTML entities, so that a crafted link cannot put markup into
// the 404 page.
std::string EscapeHtml(const char* text) {
  std::string out;
  for (; *text != '\0'; ++text) {
    switch (*text) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += *text; break;
    }
  }
  return out;
}

}  // namespace

// The buffers of one Run, allocated when it starts listening and reused for every connection.
struct templ::RunBuffers {
  RunBuffers(int path_size, int cookie_size, int line_size, int pair_count)
      : path(static_cast<size_t>(path_size)),
        cookie(static_cast<size_t>(cookie_size)),
        line(static_cast<size_t>(line_size)),
        pairs(static_cast<size_t>(pair_count)),
        variables{pair_count, 0, pairs.data()} {}

  std::vector<char> path;    // the root, the request path, room for "/index.htm"
  std::vector<char> cookie;  // the request's cookie, then the cookie to set
  std::vector<char> line;    // each head line in turn, then the body
  std::vector<varpair> pairs;
  varlist variables;
};

templ::templ(archive::FileArchiveReader& reader, const char* root, uint16_t port, int line_size,
             int max_variables, int max_url, int max_cookie)
    : Port(port),
      LineSize(line_size),
      MaxVariables(max_variables),
      MaxUrl(max_url),
      MaxCookie(max_cookie),
      file_(reader) {
  RootPath = root != nullptr ? root : "";
  std::replace(RootPath.begin(), RootPath.end(), '\\', '/');
  if (!RootPath.empty() && RootPath.back() != '/') RootPath += '/';
  RootLength = static_cast<int>(RootPath.size());

  // Each row goes to the head of the list, so later rows are met first.
  AddMimeType("htm", kHtmlType, true);
  AddMimeType("html", kHtmlType, true);
  AddMimeType("txt", "text/plain", false);
  AddMimeType("jpg", "image/jpeg", false);
  AddMimeType("jpeg", "image/jpeg", false);
  AddMimeType("gif", "image/gif", false);
  AddMimeType("png", "image/png", false);
  AddMimeType("pdf", "application/pdf", false);
}

templ::~templ() = default;

void templ::SetSilenceTimeout(std::chrono::milliseconds timeout) {
  silence_ms_ = static_cast<int>(std::clamp<int64_t>(timeout.count(), 0, 24 * 3600 * 1000));
}

bool templ::stop_requested() {
  std::lock_guard<std::mutex> hold(stop_lock_);
  return stop_requested_;
}

bool templ::PublishServing(int fd) {
  std::lock_guard<std::mutex> hold(stop_lock_);
  if (stop_requested_ && fd >= 0) return false;
  serving_fd_ = fd;
  return true;
}

void templ::Stop() {
  std::lock_guard<std::mutex> hold(stop_lock_);
  stop_requested_ = true;
  // A listening socket that is shut down makes the blocked accept fail; a client socket that is
  // shut down makes the blocked receive or send return.
  if (listening_fd_ >= 0) platform::ShutdownBoth(listening_fd_);
  if (serving_fd_ >= 0) platform::ShutdownBoth(serving_fd_);
  listening_changed_.notify_all();
}

uint16_t templ::WaitListening(std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> hold(stop_lock_);
  listening_changed_.wait_for(hold, bound, [this] {
    return listening_port_ != 0 || run_over_ || stop_requested_;
  });
  return stop_requested_ ? 0 : listening_port_;
}

bool templ::Run() {
  const auto end_run = [this] {
    std::lock_guard<std::mutex> hold(stop_lock_);
    listening_fd_ = -1;
    listening_port_ = 0;
    run_over_ = true;
    listening_changed_.notify_all();
  };
  bool stopped;
  {
    std::lock_guard<std::mutex> hold(stop_lock_);
    run_over_ = false;
    stopped = stop_requested_;
  }
  if (stopped) {
    end_run();
    return true;
  }
  httpsock client;
  if (listen_socket_.Listen({listen_address_, Port}) != 0) {
    listen_socket_.Close();
    end_run();
    return false;
  }
  {
    std::lock_guard<std::mutex> hold(stop_lock_);
    stopped = stop_requested_;
    if (!stopped) {
      listening_fd_ = listen_socket_.handle();
      listening_port_ = platform::LocalPort(listening_fd_);
      listening_changed_.notify_all();
    }
  }
  if (stopped) {
    listen_socket_.Close();
    end_run();
    return true;
  }

  RunBuffers run(RootLength + MaxUrl + kIndexRoom, MaxCookie + 1, LineSize + 1, MaxVariables);
  std::memcpy(run.path.data(), RootPath.c_str(), RootPath.size() + 1);
  Trace("Start HTTP Server. Root path='%s'\n", RootPath.c_str());

  for (;;) {
    platform::Ipv4Endpoint peer;
    if (listen_socket_.Accept(client, &peer) != 0) break;
    if (!PublishServing(client.handle())) break;
    client.SetTimeouts(silence_ms_);
    if (!OnAcceptConnection(client, peer.address, peer.port)) {
      PublishServing(-1);
      client.Close();
      continue;
    }
    ServeConnection(client, peer, run);
    PublishServing(-1);
    client.Shutdown();
    client.Close();
  }
  client.Close();
  end_run();
  listen_socket_.Close();
  return true;
}

void templ::ServeConnection(httpsock& client, const platform::Ipv4Endpoint& peer,
                            RunBuffers& run) {
  run.cookie[0] = '\0';
  // Every connection starts from the bare root: nothing of the previous request's path stays.
  run.path[static_cast<size_t>(RootLength)] = '\0';

  RequestKind kind = RequestKind::kMalformed;
  int body_length = 0;
  const HeadOutcome outcome = ReadHead(client, run, &kind, &body_length);
  if (outcome == HeadOutcome::kNoLine) return;
  if (outcome == HeadOutcome::kReceiveFailed) {
    Trace("OnReceiveFailed(cli=0x%X:%d)\n", peer.address, peer.port);
    return;
  }

  char* line = run.line.data();
  if (body_length > 0) {
    Trace("cbContent=%d\n", body_length);
    const int received = client.ReceiveBytes(line, body_length);
    if (client.receive_failed()) {
      Trace("OnReceiveFailed(cli=0x%X:%d)\n", peer.address, peer.port);
      return;
    }
    // A body the client cut short ends where it stopped, not at the announced length.
    line[received] = '\0';
  } else {
    line[0] = '\0';
  }
  if (stop_requested()) return;

  if (kind == RequestKind::kOtherMethod || kind == RequestKind::kMalformed) {
    SendRefusal(client, kind, peer);
    return;
  }
  ResolvePath(run);
  const bool post = kind == RequestKind::kPost;
  if (post) ParseFormVariables(line, run.variables, TraceSink);  // a cut-off table is still served

  const char* path = run.path.data();
  Trace("OnGet(cli=0x%X:%d,file='%s')\n", peer.address, peer.port, path);
  if (!OnRequest(client, peer.address, peer.port, path, run.cookie.data(),
                 post ? &run.variables : nullptr)) {
    Trace("OnFileNotFound(file='%s')\n", path);
    SendNotFound(client, path + RootLength);
  }
}

templ::HeadOutcome templ::ReadHead(httpsock& client, RunBuffers& run, RequestKind* kind,
                                   int* body_length) {
  char* line = run.line.data();
  int result = client.ReceiveLine(line, LineSize);
  if (result == 0) return HeadOutcome::kNoLine;
  if (result < 0) return HeadOutcome::kReceiveFailed;
  for (int n = 0;; ++n) {
    bool request_line = false;
    if (n == 0) {
      if (StartsWithNoCase(line, kGetPrefix)) {
        *kind = RequestKind::kGet;
        CopyRequestPath(line + std::strlen(kGetPrefix), run);
        request_line = true;
      } else if (StartsWithNoCase(line, kPostPrefix)) {
        *kind = RequestKind::kPost;
        CopyRequestPath(line + std::strlen(kPostPrefix), run);
        request_line = true;
      } else {
        *kind = IsOtherMethodLine(line) ? RequestKind::kOtherMethod : RequestKind::kMalformed;
      }
    }
    if (!request_line) {
      if (StartsWithNoCase(line, kCookiePrefix)) {
        const char* value = line + std::strlen(kCookiePrefix);
        const size_t length = std::min(std::strlen(value), static_cast<size_t>(MaxCookie));
        std::memcpy(run.cookie.data(), value, length);
        run.cookie[length] = '\0';
      } else if (*body_length == 0 && StartsWithNoCase(line, kLengthPrefix)) {
        *body_length = ParseContentLength(line + std::strlen(kLengthPrefix), LineSize);
      }
    }
    Trace("%d: '%s'\n", n, line);
    if (line[0] == '\0') break;
    result = client.ReceiveLine(line, LineSize);
    if (result < 0) return HeadOutcome::kReceiveFailed;
    if (result <= 1) break;  // the peer closed, or a bare LF ended the head
  }
  return HeadOutcome::kParsed;
}

void templ::CopyRequestPath(const char* text, RunBuffers& run) const {
  char* out = run.path.data() + RootLength;
  int i = 0;
  for (; i < MaxUrl && text[i] != '\0' && text[i] != ' '; ++i) out[i] = text[i];
  out[i] = '\0';
}

void templ::ResolvePath(RunBuffers& run) {
  char* path = run.path.data();
  char* end = path;
  for (; *end != '\0'; ++end) {
    if (*end == '\\') *end = '/';
    if (*end == '.' && end[1] == '.') *end = '_';  // ".." can never climb out of the root
    if (*end == '/' && end[1] == '\0') {
      *end = '\0';
      break;
    }
  }
  if (IsDirectory(path)) {
    *end = '/';
    std::memcpy(end + 1, kIndexPage, std::strlen(kIndexPage) + 1);
  }
}

bool templ::IsDirectory(const char* path) {
  if (path[0] == '\0' || (path[0] == '/' && path[1] == '\0')) return true;
  char converted[archive::kPathBufferSize];
  if (!archfile::ToArchivePath(path, converted)) return false;
  const archive::ArchiveNode* node = file_.cursor().Find(converted);
  return node != nullptr && node->is_directory();
}

void templ::SendNotFound(httpsock& client, const char* path) {
  client.SendString(kNotFoundStatus);
  client.SendString(kTypeLineStart);
  client.SendString(kHtmlType);
  client.SendString(kLineEnd);
  client.SendString(kLineEnd);
  client.SendString(kNotFoundPageStart);
  client.SendString(EscapeHtml(path).c_str());
  client.SendString(kNotFoundPageEnd);
}

void templ::SendRefusal(httpsock& client, RequestKind kind, const platform::Ipv4Endpoint& peer) {
  const bool other_method = kind == RequestKind::kOtherMethod;
  Trace("OnBadRequest(cli=0x%X:%d,status=%d)\n", peer.address, peer.port,
        other_method ? 501 : 400);
  client.SendString(other_method ? kNotImplementedStatus : kBadRequestStatus);
  client.SendString(kTypeLineStart);
  client.SendString(kHtmlType);
  client.SendString(kLineEnd);
  client.SendString(kLineEnd);
  client.SendString(other_method ? kNotImplementedPage : kBadRequestPage);
}

}  // namespace kelvane::http
