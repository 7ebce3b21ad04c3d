// http/templ_request.h -- what templ's loop hands to an answer thread (Request) and the buffers
// each answer thread keeps for the requests it answers. Internal to http/.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "http/templ.h"

namespace kelvane::http {

// Room the path buffer keeps after the longest path: '/', "index.htm" and the terminator.
inline constexpr int kIndexRoom = 11;

// A request whose head and body have come; owned by the queue, then by the answer thread.
struct templ::Request {
  std::unique_ptr<httpsock> client;
  platform::Ipv4Endpoint peer;
  RequestKind kind = RequestKind::kMalformed;
  std::string target;  // as sent, after "GET /" and the like
  std::string cookie;
  std::string body;    // what came of the announced body
};

// One answer thread's buffers, reused for every request it answers. The hooks get pointers into
// them, so no two requests ever share one.
struct templ::AnswerBuffers {
  AnswerBuffers(int path_size, int cookie_size, int line_size, int pair_count)
      : path(static_cast<size_t>(path_size)),
        cookie(static_cast<size_t>(cookie_size)),
        line(static_cast<size_t>(line_size)),
        pairs(static_cast<size_t>(pair_count)),
        variables{pair_count, 0, pairs.data()} {}

  std::vector<char> path;    // the root, the request path, room for "/index.htm"
  std::vector<char> cookie;  // the request's cookie, then the cookie to set
  std::vector<char> line;    // the body
  std::vector<varpair> pairs;
  varlist variables;
};

}  // namespace kelvane::http
