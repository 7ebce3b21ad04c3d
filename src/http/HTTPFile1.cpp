// http/HTTPFile1.cpp -- the HTTP server's file handle; every diagnostic-trace line of the HTTP
// service comes from here (the server's other lines go through its own sink).
#include "http/HTTPFile1.h"

#include <cstring>

#include "trace/trace.h"

namespace kelvane::http {

archfile::archfile(archive::FileArchiveReader& reader)
    : reader_(reader), cursor_(reader.directory()) {}

archfile::~archfile() { Close(); }

bool archfile::ToArchivePath(const char* path, char* out) {
  const size_t length = std::strlen(path);
  if (length >= archive::kPathBufferSize) return false;
  for (size_t i = 0; i <= length; ++i) out[i] = path[i] == '/' ? '\\' : path[i];
  return true;
}

bool archfile::Open(const char* path) {
  KELVANE_TRACE("Open('%s')\n", path);
  Close();
  char converted[archive::kPathBufferSize];
  if (!ToArchivePath(path, converted)) {
    KELVANE_TRACE("Open: path too long\n");
    return false;
  }
  KELVANE_TRACE("Open: Cnv('%s')\n", converted);
  // The password entry is never served: it fails as a missing name does, whatever the spelling.
  const archive::ArchiveNode* node = cursor_.Find(converted);
  if (node != nullptr && !archive::IsPasswordEntry(*node)) {
    stream_ = reader_.OpenFile(cursor_, converted);
    // An entry the package check found damaged is answered as absent: nothing of it is sent.
    if (stream_ && stream_->known_damaged()) stream_.reset();
  }
  KELVANE_TRACE("Open: OpenFile(%s) %s\n", converted, stream_ ? "OK" : "FAILED");
  return stream_ != nullptr;
}

size_t archfile::Read(void* buffer, size_t size) {
  if (!stream_) return 0;
  return stream_->ActiveSource()->Read(buffer, size);
}

bool archfile::failed() const { return stream_ && stream_->ActiveSource()->failed(); }

void archfile::Close() { stream_.reset(); }

}  // namespace kelvane::http
