// http/http_texts.h -- the fixed texts of the HTTP service's wire protocol: what it looks for in
// a request and every piece of the answers it writes. Internal to http/.
#pragma once

namespace kelvane::http::texts {

// Request head.
inline constexpr const char* kGetPrefix = "GET /";
inline constexpr const char* kPostPrefix = "POST /";
inline constexpr const char* kHeadPrefix = "HEAD /";
inline constexpr const char* kCookiePrefix = "Cookie: ";
inline constexpr const char* kLengthPrefix = "Content-Length: ";
// What a path naming a directory is completed with.
inline constexpr const char* kIndexPage = "index.htm";

// Answer header pieces.
inline constexpr const char* kOkStatus = "HTTP/1.0 200 ok\r\n";
inline constexpr const char* kTypeLineStart = "Content-type: ";
inline constexpr const char* kHtmlType = "text/html";
inline constexpr const char* kCookieLineStart = "Set-Cookie: ";
inline constexpr const char* kCookieLineEnd = ";\r\n";
inline constexpr const char* kExpiresLineStart = "Expires: ";
inline constexpr const char* kLineEnd = "\r\n";

// The answers the server gives by itself.
inline constexpr const char* kNotFoundStatus = "HTTP/1.0 404 File not found\r\n";
inline constexpr const char* kNotFoundPageStart = "<HTML><BODY>File '";
inline constexpr const char* kNotFoundPageEnd = "' not found!<P></BODY></HTML>";
inline constexpr const char* kNotImplementedStatus = "HTTP/1.0 501 Not Implemented\r\n";
inline constexpr const char* kNotImplementedPage =
    "<HTML><BODY>Method not implemented!<P></BODY></HTML>";
inline constexpr const char* kBadRequestStatus = "HTTP/1.0 400 Bad Request\r\n";
inline constexpr const char* kBadRequestPage = "<HTML><BODY>Bad request!<P></BODY></HTML>";
// A directory asked for without its final '/': the location line, then a page with the link.
inline constexpr const char* kMovedStatus = "HTTP/1.0 301 Moved Permanently\r\n";
inline constexpr const char* kLocationLineStart = "Location: ";
inline constexpr const char* kMovedPageStart = "<HTML><BODY>Moved to <A HREF=\"";
inline constexpr const char* kMovedPageMiddle = "\">";
inline constexpr const char* kMovedPageEnd = "</A><P></BODY></HTML>";

// Includes in pages.
inline constexpr const char* kUnknownIncludeStart = "[?";
inline constexpr const char* kUnknownIncludeEnd = "?]";
inline constexpr const char* kSyntaxError = "[syntax_error]";
inline constexpr const char* kNullInclude = "[?Null include?]";
inline constexpr const char* kVersionInclude = "HTTPSrvVersion";
inline constexpr const char* kVersionText = "1.0.1";

}  // namespace kelvane::http::texts
