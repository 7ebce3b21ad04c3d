// http/mimetab.cpp -- the MIME table, the trace sink and the case-blind text comparisons of the
// HTTP service.
#include "http/mimetab.h"

#include <cstring>

namespace kelvane::http {
namespace {

char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool EqualNoCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (FoldCase(*a) != FoldCase(*b)) return false;
  }
  return *a == *b;
}

bool StartsWithNoCase(const char* text, const char* prefix) {
  for (; *prefix != '\0'; ++text, ++prefix) {
    if (*text == '\0' || FoldCase(*text) != FoldCase(*prefix)) return false;
  }
  return true;
}

mimetab::~mimetab() {
  // Unlinks row by row so that a long table cannot exhaust the stack in nested destructors.
  while (MimeList) MimeList = std::move(MimeList->next);
}

void mimetab::AddMimeType(const char* extension, const char* type, bool includes) {
  if (*extension == '.') ++extension;
  auto row = std::make_unique<mimeentry>();
  row->Extension = extension;
  row->MimeType = type;
  row->Includes = includes;
  row->next = std::move(MimeList);
  MimeList = std::move(row);
}

const mimeentry* mimetab::FindMimeType(const char* path) const {
  const char* dot = std::strrchr(path, '.');
  if (dot == nullptr) return nullptr;
  for (const mimeentry* row = MimeList.get(); row != nullptr; row = row->next.get()) {
    if (EqualNoCase(row->Extension, dot + 1)) return row;
  }
  return nullptr;
}

void mimetab::Trace(const char* format, ...) const {
  if (TraceSink == nullptr) return;
  va_list args;
  va_start(args, format);
  TraceSink(format, args);
  va_end(args);
}

}  // namespace kelvane::http
