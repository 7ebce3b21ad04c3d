// http/templ_answer.cpp -- how templ answers a request from the package: the MIME lookup, the
// header, the body copied unchanged or through the include expander, and the built-in include.
#include <cstring>
#include <vector>

#include "http/http_texts.h"
#include "http/templ.h"

namespace kelvane::http {

using namespace texts;

namespace {

// The expander's window: up to 255 bytes of page text not yet sent, and a terminator.
constexpr size_t kWindowSize = 256;
constexpr size_t kWindowText = kWindowSize - 1;
// The block in which an entry is copied unchanged: no client sees how the body was cut into
// sends, and large blocks make far fewer inflate and send calls.
constexpr size_t kBodyBlock = 64 * 1024;

// The position of the first |wanted| among the |held| bytes of |window|, or |held| when there is
// none before the end or before the first zero byte.
size_t FindInWindow(const char* window, size_t held, char wanted) {
  for (size_t i = 0; i < held; ++i) {
    if (window[i] == wanted) return i;
    if (window[i] == '\0') break;
  }
  return held;
}

}  // namespace

bool templ::OnAcceptConnection(httpsock& /*client*/, uint32_t address, uint16_t port) {
  Trace("OnAcceptConnection(cli=0x%X:%d)\n", address, port);
  return true;
}

bool templ::OnRequest(httpsock& client, uint32_t address, uint16_t port, const char* path,
                      char* cookie, varlist* variables) {
  Trace("templ::OnRequest(%s)\n", path);
  if (variables != nullptr) {
    Trace("  VariableCount=%d\n", variables->VariableCount);
    for (int i = 0; i < variables->VariableCount; ++i) {
      const varpair& pair = variables->Pairs[i];
      Trace("    '%s'='%s'\n", pair.Name, pair.Value != nullptr ? pair.Value : kAbsentValue);
    }
  }
  // The type decides before the package is asked: an entry of an unknown type is never served.
  const mimeentry* type = FindMimeType(path);
  if (type == nullptr) {
    Trace("templ::OnRequest: Unable to get mime type for '%s'\n", path);
    return false;
  }
  // A handle of this request's own: answers on other threads open entries of their own.
  archfile file(reader_);
  if (!file.Open(path)) {
    Trace("templ::OnRequest: Unable to open file '%s'\n", path);
    return false;
  }
  if (type->Includes) {
    Trace("templ::OnRequest: '%s' '%s' +INCLUDES\n", path, type->MimeType);
    SendHeader(client, type->MimeType, cookie, kPageExpiry);
    // A HEAD answer ends with its header: no entry is read for nothing.
    if (!client.dropping_body()) {
      ExpandIncludes(client, file, address, port, path, cookie, variables);
    }
  } else {
    Trace("templ::OnRequest: '%s' '%s' +NO_INCLUDES\n", path, type->MimeType);
    SendHeader(client, type->MimeType, cookie, nullptr);
    if (!client.dropping_body()) SendFileBody(client, file);
  }
  if (file.failed()) {
    // The header went out as for a whole entry: only a reset tells the client it is not.
    Trace("templ::OnRequest: Entry '%s' is damaged, connection reset\n", path);
    client.Abort();
  }
  return true;
}

void templ::SendHeader(httpsock& client, const char* type, const char* cookie,
                       const char* expires) {
  client.SendString(kOkStatus);
  client.SendString(kTypeLineStart);
  client.SendString(type);
  client.SendString(kLineEnd);
  if (cookie != nullptr && *cookie != '\0') {
    Trace("SendHeader: Cookie '%s'\n", cookie);
    client.SendString(kCookieLineStart);
    client.SendString(cookie);
    client.SendString(kCookieLineEnd);
  }
  if (expires != nullptr) {
    client.SendString(kExpiresLineStart);
    client.SendString(expires);
    client.SendString(kLineEnd);
  }
  client.SendString(kLineEnd);
}

void templ::SendFileBody(httpsock& client, archfile& file) {
  std::vector<char> block(kBodyBlock);
  for (size_t n = file.Read(block.data(), block.size()); n > 0;
       n = file.Read(block.data(), block.size())) {
    // Nobody takes the rest once a send has failed: stop reading the entry for nothing.
    if (client.SendBytes(block.data(), static_cast<int>(n)) < 0) return;
  }
}

void templ::ExpandIncludes(httpsock& client, archfile& file, uint32_t address, uint16_t port,
                           const char* path, char* cookie, varlist* variables) {
  char window[kWindowSize];
  size_t held = file.Read(window, kWindowText);
  // Moves the bytes after |used| to the front and tops the window up to kWindowText bytes.
  const auto advance = [&](size_t used) {
    held -= used;
    std::memmove(window, window + used, held);
    while (held < kWindowText) {
      const size_t n = file.Read(window + held, kWindowText - held);
      if (n == 0) break;
      held += n;
    }
    window[held] = '\0';
  };
  // Damaged page data ends the answer at once, with nothing more sent.
  while (held > 0 && !file.failed() && !client.send_failed()) {
    window[held] = '\0';
    const size_t open = FindInWindow(window, held, '[');
    if (open == held) {
      client.SendBytes(window, static_cast<int>(held));
      held = file.Read(window, kWindowText);
      continue;
    }
    client.SendBytes(window, static_cast<int>(open));
    advance(open + 1);
    if (file.failed()) return;

    const size_t close = FindInWindow(window, held, ']');
    if (close == held) {
      // Not closed within the window: the text after the '[' goes out as it stands.
      client.SendString(kSyntaxError);
      client.SendBytes(window, static_cast<int>(held));
      held = file.Read(window, kWindowText);
      continue;
    }
    window[close] = '\0';
    if (!OnServerSideInclude(client, window, address, port, path, cookie, variables)) {
      client.SendString(kUnknownIncludeStart);
      client.SendString(window);
      client.SendString(kUnknownIncludeEnd);
    }
    advance(close + 1);
  }
}

bool templ::OnServerSideInclude(httpsock& client, const char* name, uint32_t /*address*/,
                                uint16_t /*port*/, const char* /*path*/, char* /*cookie*/,
                                varlist* /*variables*/) {
  if (name == nullptr) {
    Trace("OnServerSideInclude(NULL!)\n");
    client.SendString(kNullInclude);
    return true;
  }
  Trace("OnServerSideInclude('%s')\n", name);
  if (EqualNoCase(name, kVersionInclude)) {
    client.SendString(kVersionText);
    return true;
  }
  return false;
}

}  // namespace kelvane::http
