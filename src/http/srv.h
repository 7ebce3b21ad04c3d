// http/srv.h -- srv, the HTTP server with an access hook and lists of named page and include
// handlers, and appsrv, the application's server with its fixed limits.
//
// The handler lists are filled before Run and only read afterwards, by the answer threads (several
// at once: a handler may run on many threads at a time, see templ.h). The application's
// own server adds no handlers and overrides no hook: every request reaches templ's answer, and
// every include in a page comes out as "[?name?]".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "http/templ.h"

namespace kelvane::http {

class srv;

// Answers the request for a page by its name: true when it answered, false for the 404 answer.
using PageHandlerFunction =
    std::function<bool(srv& server, httpsock& client, uint32_t address, uint16_t port,
                       const char* path, char* cookie, varlist* variables)>;

// Writes the text of an include; |argument| is what follows the matched prefix, or null for a
// row matched by its whole name. True when it wrote the text.
using IncludeHandlerFunction =
    std::function<bool(srv& server, httpsock& client, const char* argument, uint32_t address,
                       uint16_t port, const char* path, char* cookie, varlist* variables)>;

struct pagehandler {
  const char* Name;  // the path without the root, compared whole and without regard to case
  PageHandlerFunction Handler;
  std::unique_ptr<pagehandler> next;
};

struct includehandler {
  const char* Name;
  // 0: the include name must equal Name; otherwise only the first PrefixLength characters are
  // compared and the rest of the include name is the handler's argument.
  unsigned int PrefixLength;
  IncludeHandlerFunction Handler;
  std::unique_ptr<includehandler> next;
};

class srv : public templ {
 public:
  srv(archive::FileArchiveReader& reader, const char* root, uint16_t port, int line_size,
      int max_variables, int max_url, int max_cookie);
  ~srv() override;

  // The include handler list decides; there is no fall-back to templ's built-in include.
  bool OnServerSideInclude(httpsock& client, const char* name, uint32_t address, uint16_t port,
                           const char* path, char* cookie, varlist* variables) override;

  // Access check, then the page handlers, then templ's answer from the package.
  bool OnRequest(httpsock& client, uint32_t address, uint16_t port, const char* path,
                 char* cookie, varlist* variables) override;

  // Whether the request may be answered. May leave or write in |cookie| (at most MaxCookie
  // characters) the cookie the answer sets. This version empties it and admits everything.
  virtual bool OnCheckAccess(uint32_t address, const char* path, char* cookie);

  // The answer to a refused request; its result is OnRequest's. This version answers nothing, so
  // the server answers 404.
  virtual bool OnAccessDenied(httpsock& client, uint32_t address, uint16_t port,
                              const char* path, char* cookie, varlist* variables);

  // Put a row at the head of its list (so it is tried first). |name| is not copied.
  void AddPageHandler(const char* name, PageHandlerFunction handler);
  void AddIncludeHandler(const char* name, unsigned int prefix_length,
                         IncludeHandlerFunction handler);

 protected:
  std::unique_ptr<pagehandler> PageHandlers;
  std::unique_ptr<includehandler> IncludeHandlers;
};

class appsrv : public srv {
 public:
  static constexpr int kLineSize = 2048;     // a head line, and a body must be shorter
  static constexpr int kMaxVariables = 128;  // the form table keeps one pair fewer
  static constexpr int kMaxUrl = 128;
  static constexpr int kMaxCookie = 80;

  appsrv(archive::FileArchiveReader& reader, const char* root, uint16_t port);
  ~appsrv() override;
};

}  // namespace kelvane::http
