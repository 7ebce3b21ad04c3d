// archive/FileArchiveReader.cpp -- opening the package, loading its directory, handing out
// entry streams and extracting entries; every trace line of the archive comes from here.
#include "archive/FileArchiveReader.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "trace/trace.h"
#include "platform/file_io.h"

namespace kelvane::archive {
namespace {

// Sequential reads of the directory through a buffer of its own, so that loading a large
// directory costs a few large reads rather than three small ones per record. Never reads outside
// the file; a request that the file cannot satisfy in full fails.
class DirectoryScanner {
 public:
  DirectoryScanner(int fd, int64_t start, int64_t file_size)
      : fd_(fd), next_(start), file_size_(file_size), buffer_(kBufferSize) {}

  // Copies exactly |size| bytes into |out|; false when the file ends first or a read fails.
  bool Take(void* out, size_t size) {
    auto* dest = static_cast<uint8_t*>(out);
    while (size > 0) {
      if (begin_ == end_ && !Refill()) return false;
      const size_t n = std::min(size, end_ - begin_);
      std::memcpy(dest, buffer_.data() + begin_, n);
      begin_ += n;
      dest += n;
      size -= n;
    }
    return true;
  }

 private:
  static constexpr size_t kBufferSize = 64 * 1024;

  bool Refill() {
    if (next_ >= file_size_) return false;
    const size_t want = static_cast<size_t>(std::min<int64_t>(kBufferSize, file_size_ - next_));
    const long got = platform::ReadFullAt(fd_, buffer_.data(), want, next_);
    if (got <= 0) return false;
    begin_ = 0;
    end_ = static_cast<size_t>(got);
    next_ += got;
    return true;
  }

  int fd_;
  int64_t next_;  // file offset of the byte after the buffered ones
  int64_t file_size_;
  std::vector<uint8_t> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
};

}  // namespace

ArchiveReaderBase::~ArchiveReaderBase() { Close(); }

bool ArchiveReaderBase::Open(const std::string& path) {
  Close();
  platform::UniqueFd fd = platform::OpenReadOnly(path);
  if (!fd.valid()) {
    KELVANE_TRACE("Open: Unable to open archive '%s'\n", path.c_str());
    return false;
  }
  file_ = std::move(fd);
  return LoadDirectory();
}

void ArchiveReaderBase::Close() {
  if (!file_.valid()) return;
  file_.Reset();
  health_.Clear();  // keyed by the tree's records: before the tree goes
  directory_.Clear();
}

bool ArchiveReaderBase::LoadDirectory() {
  const int fd = file_.get();
  const int64_t file_size = platform::FileSize(fd);
  if (file_size < static_cast<int64_t>(kTrailerSize)) return false;

  uint8_t trailer_bytes[kTrailerSize];
  if (platform::ReadFullAt(fd, trailer_bytes, kTrailerSize, file_size - kTrailerSize) !=
      static_cast<long>(kTrailerSize)) {
    return false;
  }
  const ArchiveTrailer trailer = DecodeTrailer(trailer_bytes);
  if (!IsValidTrailer(trailer)) return false;

  // A directory offset that a signed 32-bit distance cannot reach reads nothing, like one past
  // the end of the file.
  const int64_t start =
      trailer.directory_offset >= kMaxOffset ? file_size : trailer.directory_offset;
  DirectoryScanner scanner(fd, start, file_size);
  ArchiveCursor cursor(directory_);
  char name[kPathBufferSize];
  uint8_t head[kRecordHeadSize];
  uint8_t info[kEntryInfoSize];
  for (uint32_t i = 0; i < trailer.entry_count; ++i) {
    if (!scanner.Take(head, sizeof head)) return false;
    const uint16_t name_length = LoadU16(head);
    if (name_length > kMaxNameLength) return false;
    if (!scanner.Take(name, name_length)) return false;
    name[name_length] = '\0';
    if (!scanner.Take(info, sizeof info)) return false;
    if (!cursor.Insert(std::string_view(name, name_length), DecodeEntryInfo(info))) return false;
  }
  return true;
}

bool ArchiveReaderBase::SetPos(const ArchiveEntryInfo& info) {
  // Positioning takes a signed 32-bit distance from the start: an offset of 2^31 or more is
  // negative and cannot be reached.
  const auto distance = static_cast<int32_t>(info.data_offset);
  const int64_t reached = distance < 0 ? -1 : platform::SeekTo(file_.get(), distance);
  const bool ok = distance >= 0 && reached == distance;
  KELVANE_TRACE("SetPos(%d->%d) %s\n", distance, static_cast<int>(reached), ok ? "OK" : "FAILED");
  return ok;
}

FileArchiveReader::~FileArchiveReader() { Close(); }

std::unique_ptr<ArchiveFileStream> FileArchiveReader::OpenFile(const ArchiveCursor& cursor,
                                                               std::string_view path) {
  std::lock_guard<std::mutex> hold(lock_);
  const std::string path_text(path);
  const ArchiveNode* node = cursor.Find(path);
  if (node == nullptr) {
    KELVANE_TRACE("OpenFile: Entry '%s' not found!\n", path_text.c_str());
    return nullptr;
  }
  if (node->is_directory()) {
    KELVANE_TRACE("OpenFile: Entry '%s' is a directory!\n", path_text.c_str());
    return nullptr;
  }
  const ArchiveEntryInfo& info = *node->info();
  if (!SetPos(info)) {
    KELVANE_TRACE("OpenFile: SetPos failed!\n");
    return nullptr;
  }
  KELVANE_TRACE("OpenFile: %s\n", info.compressed() ? "COMPRESSED" : "UNCOMPRESSED");
  return std::unique_ptr<ArchiveFileStream>(
      new (std::nothrow) ArchiveFileStream(file_.get(), info, &lock_, health_.Condition(&info)));
}

std::unique_ptr<ArchiveFileStream> FileArchiveReader::OpenPackageBytes(
    const ArchiveEntryInfo& info) {
  return std::unique_ptr<ArchiveFileStream>(new (std::nothrow)
                                                ArchiveFileStream(file_.get(), info, &lock_));
}

bool FileArchiveReader::Copy(std::string_view entry_path, const std::string& destination) {
  const std::string entry(entry_path);
  KELVANE_TRACE("Copy: '%s' -> '%s'!\n", entry.c_str(), destination.c_str());

  const ArchiveNode* node = ArchiveCursor(directory_).Find(entry);
  if (node == nullptr) {
    KELVANE_TRACE("E: Copy: File not found '%s'!\n", entry.c_str());
    return false;
  }
  if (node->info() == nullptr) {
    KELVANE_TRACE("E: Copy: FileInfo is null for '%s'!\n", entry.c_str());
    return false;
  }
  const ArchiveEntryInfo& info = *node->info();

  // Held from the positioning until the copy loop ends, as every read of the shared descriptor
  // by a stream is.
  std::unique_lock<std::mutex> hold(lock_);
  if (!SetPos(info)) {
    KELVANE_TRACE("E: Copy: SetPos failed!\n");
    return false;
  }
  bool is_regular = false;
  platform::UniqueFd out = platform::CreateForWriting(destination, &is_regular);
  if (!out.valid()) {
    KELVANE_TRACE("Copy: Unable to open destination file '%s'!\n", destination.c_str());
    return false;
  }

  EntryReader stored(file_.get(), info.data_offset, info.stored_size);
  InflateSource inflated(&stored);
  ByteSource& source = info.compressed() ? static_cast<ByteSource&>(inflated) : stored;
  std::vector<uint8_t> buffer(4096);
  bool write_failed = false;
  for (;;) {
    const size_t got = source.Read(buffer.data(), buffer.size());
    if (got == 0) break;
    if (!platform::WriteAll(out.get(), buffer.data(), got)) {
      write_failed = true;
      break;
    }
  }
  hold.unlock();

  if (write_failed || source.failed()) {
    if (write_failed) {
      KELVANE_TRACE("E: Copy: Unable to write destination file '%s'!\n", destination.c_str());
    } else {
      KELVANE_TRACE("E: Copy: Entry '%s' is damaged or ends early!\n", entry.c_str());
    }
    out.Reset();
    // Only a file that this call created or replaced goes; never a device or a pipe.
    if (is_regular) platform::RemoveFile(destination);
    return false;
  }

  // Linux keeps no creation time; last access and last write are applied. Of the attribute
  // bits only read-only has a counterpart: a file without write permission.
  platform::SetFileTimes(out.get(), FileTimeToUnixNanos(info.last_access_time),
                         FileTimeToUnixNanos(info.last_write_time));
  if ((info.attributes & ATTR_READONLY) != 0) platform::MakeReadOnly(out.get());
  out.Reset();
  KELVANE_TRACE("Copy: '%s' OK!\n", destination.c_str());
  return true;
}

}  // namespace kelvane::archive
