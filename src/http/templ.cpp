// http/templ.cpp -- the server's construction and the answer to one complete request: the
// target's decoding, the path's normalisation and the answers the server gives by itself (404,
// 400, 501, 301). Run's loop and the answer threads are in templ_run.cpp; how a request is
// answered from the package is in templ_answer.cpp.
#include "http/templ.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "http/http_texts.h"
#include "http/templ_request.h"

namespace kelvane::http {

using namespace texts;

namespace {

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

templ::templ(archive::FileArchiveReader& reader, const char* root, uint16_t port, int line_size,
             int max_variables, int max_url, int max_cookie)
    : Port(port),
      LineSize(line_size),
      MaxVariables(max_variables),
      MaxUrl(max_url),
      MaxCookie(max_cookie),
      reader_(reader) {
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
  // What a documentation site and a browser's own requests need; none is expanded for includes,
  // since '[' is common in scripts and styles.
  static const char* const kBrowserTypes[][2] = {
      {"css", "text/css"},           {"js", "text/javascript"},
      {"mjs", "text/javascript"},    {"json", "application/json"},
      {"map", "application/json"},   {"xml", "application/xml"},
      {"svg", "image/svg+xml"},      {"ico", "image/x-icon"},
      {"webp", "image/webp"},        {"avif", "image/avif"},
      {"bmp", "image/bmp"},          {"woff", "font/woff"},
      {"woff2", "font/woff2"},       {"ttf", "font/ttf"},
      {"otf", "font/otf"},           {"wasm", "application/wasm"},
      {"zip", "application/zip"},    {"gz", "application/gzip"},
      {"tar", "application/x-tar"},  {"bin", "application/octet-stream"},
      {"mp4", "video/mp4"},          {"webm", "video/webm"},
      {"mp3", "audio/mpeg"},         {"ogg", "audio/ogg"},
      {"wav", "audio/wav"},          {"csv", "text/csv"},
      {"md", "text/markdown"},
  };
  for (const auto& row : kBrowserTypes) AddMimeType(row[0], row[1], false);
}

templ::~templ() { EndAnswerThreads(); }

namespace {

int ClampMilliseconds(std::chrono::milliseconds timeout) {
  return static_cast<int>(std::clamp<int64_t>(timeout.count(), 0, 24 * 3600 * 1000));
}

}  // namespace

void templ::SetSilenceTimeout(std::chrono::milliseconds timeout) {
  silence_ms_ = ClampMilliseconds(timeout);
}

void templ::SetHeadTimeout(std::chrono::milliseconds timeout) {
  head_timeout_ms_ = ClampMilliseconds(timeout);
}

void templ::SetMinimumBodyRate(int bytes_per_second) {
  minimum_body_rate_ = std::max(bytes_per_second, 0);
}

void templ::ServeRequest(Request& request, AnswerBuffers& buffers) {
  httpsock& client = *request.client;
  const platform::Ipv4Endpoint& peer = request.peer;
  if (request.kind == RequestKind::kHead) client.SendHeadOnly();
  if (request.kind == RequestKind::kOtherMethod || request.kind == RequestKind::kMalformed) {
    SendRefusal(client, request.kind, peer);
    return;
  }
  std::string decoded;
  if (!DecodeTarget(request.target, &decoded)) {
    SendRefusal(client, RequestKind::kMalformed, peer);
    return;
  }
  if (decoded.size() > static_cast<size_t>(MaxUrl)) decoded.resize(static_cast<size_t>(MaxUrl));
  char* path = buffers.path.data();
  std::memcpy(path, RootPath.data(), RootPath.size());
  std::memcpy(path + RootLength, decoded.data(), decoded.size());
  path[static_cast<size_t>(RootLength) + decoded.size()] = '\0';
  const bool ends_with_separator =
      decoded.empty() || decoded.back() == '/' || decoded.back() == '\\';
  if (ResolvePath(buffers, ends_with_separator)) {
    const std::string location = DirectoryLocation(path + RootLength);
    Trace("OnMoved(cli=0x%X:%d,location='%s')\n", peer.address, peer.port, location.c_str());
    SendMoved(client, location);
    return;
  }

  std::memcpy(buffers.cookie.data(), request.cookie.data(), request.cookie.size());
  buffers.cookie[request.cookie.size()] = '\0';
  char* line = buffers.line.data();
  std::memcpy(line, request.body.data(), request.body.size());
  // A body the client cut short ends where it stopped, not at the announced length.
  line[request.body.size()] = '\0';
  const bool post = request.kind == RequestKind::kPost;
  // A cut-off table is still served.
  if (post) ParseFormVariables(line, buffers.variables, TraceSink);

  Trace("OnGet(cli=0x%X:%d,file='%s')\n", peer.address, peer.port, path);
  if (!OnRequest(client, peer.address, peer.port, path, buffers.cookie.data(),
                 post ? &buffers.variables : nullptr)) {
    Trace("OnFileNotFound(file='%s')\n", path);
    SendNotFound(client, path + RootLength);
  }
}

bool templ::ResolvePath(AnswerBuffers& buffers, bool ends_with_separator) {
  char* path = buffers.path.data();
  char* end = path;
  for (; *end != '\0'; ++end) {
    if (*end == '\\') *end = '/';
    if (*end == '.' && end[1] == '.') *end = '_';  // ".." can never climb out of the root
    if (*end == '/' && end[1] == '\0') {
      *end = '\0';
      break;
    }
  }
  if (!IsDirectory(path)) return false;
  if (!ends_with_separator) return true;
  *end = '/';
  std::memcpy(end + 1, kIndexPage, std::strlen(kIndexPage) + 1);
  return false;
}

bool templ::IsDirectory(const char* path) {
  if (path[0] == '\0' || (path[0] == '/' && path[1] == '\0')) return true;
  char converted[archive::kPathBufferSize];
  if (!archfile::ToArchivePath(path, converted)) return false;
  const archive::ArchiveCursor cursor(reader_.directory());
  const archive::ArchiveNode* node = cursor.Find(converted);
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

void templ::SendMoved(httpsock& client, const std::string& location) {
  client.SendString(kMovedStatus);
  client.SendString(kLocationLineStart);
  client.SendString(location.c_str());
  client.SendString(kLineEnd);
  client.SendString(kTypeLineStart);
  client.SendString(kHtmlType);
  client.SendString(kLineEnd);
  client.SendString(kLineEnd);
  client.SendString(kMovedPageStart);
  client.SendString(location.c_str());
  client.SendString(kMovedPageMiddle);
  client.SendString(location.c_str());
  client.SendString(kMovedPageEnd);
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
