// http/mimetab.h -- the base of the HTTP server classes: the MIME table that decides which
// entries are served (and which are expanded for includes), and the server's trace sink.
//
// The table is filled before Run (templ's construction adds the standard rows) and only read
// afterwards, by the server's threads. The texts of a row are not copied: they must outlive the
// table (string literals do).
#pragma once

#include <cstdarg>
#include <memory>

namespace kelvane::http {

// Where the server's trace lines go: a vprintf-style writer. The application points it at the
// diagnostic trace's kelvane::trace::TraceVPrintf, so the lines carry no source prefix.
using TraceSinkFunction = void (*)(const char* format, va_list args);

// One row of the MIME table.
struct mimeentry {
  const char* Extension;  // without a leading '.', compared without regard to ASCII case
  const char* MimeType;   // what follows "Content-type: "
  bool Includes;          // expanded for includes, and answered with an expiry line
  std::unique_ptr<mimeentry> next;
};

class mimetab {
 public:
  mimetab() = default;
  virtual ~mimetab();
  mimetab(const mimetab&) = delete;
  mimetab& operator=(const mimetab&) = delete;

  // Puts a row at the head of the table, so it takes precedence over an earlier row of the same
  // extension. One leading '.' of |extension| is skipped.
  void AddMimeType(const char* extension, const char* type, bool includes);

  // The row for the extension of |path| (the text after its last '.', wherever that '.' stands),
  // or nullptr when the path has no '.' or the extension is not in the table.
  const mimeentry* FindMimeType(const char* path) const;

  // Null: the server traces nothing. Set by the owner before Run; called on the server's threads,
  // several at once, so the sink must take lines from many threads.
  TraceSinkFunction TraceSink = nullptr;

 protected:
  // One line through TraceSink, when one is set.
  void Trace(const char* format, ...) const __attribute__((format(printf, 2, 3)));

  std::unique_ptr<mimeentry> MimeList;
};

// Compares two texts without regard to ASCII letter case; other bytes must be equal.
bool EqualNoCase(const char* a, const char* b);
// Whether |text| begins with |prefix|, without regard to ASCII letter case.
bool StartsWithNoCase(const char* text, const char* prefix);

}  // namespace kelvane::http
