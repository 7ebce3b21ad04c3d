// http/HTTPFile1.h -- archfile, the HTTP server's file handle over the package: at most one open
// entry at a time, looked up from the package root.
//
// Its lines go to the diagnostic trace with this module's source prefix (not through the
// server's sink). An archfile is used by one thread at a time; the server makes one per answer.
#pragma once

#include <cstddef>
#include <memory>

#include "archive/FileArchiveReader.h"

namespace kelvane::http {

class archfile {
 public:
  // |reader| is not owned and must outlive the handle; its directory gives the cursor.
  explicit archfile(archive::FileArchiveReader& reader);
  ~archfile();
  archfile(const archfile&) = delete;
  archfile& operator=(const archfile&) = delete;

  // Opens the entry at |path| ('/' or '\' separated; a leading separator starts at the root,
  // every other path starts at the cursor, which stays at the root). Closes the entry open
  // before. False when the path is too long, names nothing, names a directory, names the
  // package's password entry, or names an entry the package check found damaged.
  bool Open(const char* path);

  // Up to |size| bytes of the open entry's content; 0 at its end, on a failure, or when no entry
  // is open. failed() tells a damaged entry from its end.
  size_t Read(void* buffer, size_t size);
  bool failed() const;

  // Releases the open entry, if any.
  void Close();

  bool is_open() const { return stream_ != nullptr; }
  const archive::ArchiveCursor& cursor() const { return cursor_; }

  // Copies |path| into |out| (kPathBufferSize bytes) with every '/' turned into '\'. False, and
  // |out| unusable, when the path does not fit.
  static bool ToArchivePath(const char* path, char* out);

 private:
  archive::FileArchiveReader& reader_;
  archive::ArchiveCursor cursor_;
  std::unique_ptr<archive::ArchiveFileStream> stream_;
};

}  // namespace kelvane::http
