// archive/archive_streams.cpp -- positional reads of stored bytes and on-the-fly inflation.
#include "archive/archive_streams.h"

#include <algorithm>
#include <limits>
#include <new>

#include "platform/file_io.h"

namespace kelvane::archive {

InflateSource::InflateSource(ByteSource* upstream, size_t buffer_size)
    : upstream_(upstream),
      input_(new (std::nothrow) uint8_t[buffer_size]),
      input_size_(buffer_size) {
  zs_.next_in = input_.get();
  zs_.avail_in = 0;
  // Without its buffer or its zlib state the source fails on its first Read.
  zs_ready_ = input_ != nullptr && inflateInit(&zs_) == Z_OK;
}

InflateSource::~InflateSource() {
  if (zs_ready_) inflateEnd(&zs_);
}

size_t InflateSource::Read(void* buffer, size_t size) {
  if (upstream_ == nullptr || failed() || finished_ || size == 0) return 0;
  if (!zs_ready_) {
    fault_code_ = Z_MEM_ERROR;
    SetFailed();
    return 0;
  }
  // zlib counts in 32-bit units; a larger request is served in part.
  const uInt room = static_cast<uInt>(std::min<size_t>(size, std::numeric_limits<uInt>::max()));
  zs_.next_out = static_cast<Bytef*>(buffer);
  zs_.avail_out = room;
  for (;;) {
    if (!end_of_input_ && zs_.avail_in == 0) {
      const size_t got = upstream_->Read(input_.get(), input_size_);
      if (got == 0) {
        end_of_input_ = true;
        if (upstream_->failed()) {
          SetFailed();  // fault_code_ stays Z_OK: the stored bytes failed, not zlib
          return 0;
        }
      }
      zs_.next_in = input_.get();
      zs_.avail_in = static_cast<uInt>(got);
    }
    const int result = inflate(&zs_, end_of_input_ ? Z_FINISH : Z_NO_FLUSH);
    if (result == Z_OK) {
      if (zs_.avail_out > 0) continue;
      return room;
    }
    if (result == Z_STREAM_END) {
      finished_ = true;
      return room - zs_.avail_out;
    }
    // A data error, a checksum mismatch, a stream that ends early, or no memory. What was
    // inflated during this call is not reported: the content is not to be trusted.
    fault_code_ = result;
    fault_text_ = zs_.msg;
    SetFailed();
    return 0;
  }
}

size_t EntryReader::Read(void* buffer, size_t size) {
  if (failed() || consumed_ >= limit_) return 0;
  const size_t wanted = std::min<size_t>(size, limit_ - consumed_);
  if (wanted == 0) return 0;
  const long got = platform::ReadFullAt(fd_, buffer, wanted, static_cast<int64_t>(start_ + consumed_));
  if (got <= 0) {
    // A read error, or the file ends before the entry's stored size.
    SetFailed();
    return 0;
  }
  consumed_ += static_cast<uint32_t>(got);
  return static_cast<size_t>(got);
}

ArchiveFileStream::ArchiveFileStream(int fd, const ArchiveEntryInfo& info, std::mutex* lock,
                                     const EntryCondition& condition)
    : fd_(fd),
      info_(info),
      limit_(info.stored_size),
      position_(info.data_offset),
      lock_(lock),
      // A stream that never inflates needs no input buffer.
      inflate_(nullptr, info.compressed() && !condition.damaged && !condition.unpacked_copy
                            ? InflateSource::kStreamBufferSize
                            : 1),
      active_(this) {
  if (condition.damaged) {
    known_damaged_ = true;
    SetFailed();
  } else if (condition.unpacked_copy) {
    reads_copy_ = true;
    fd_ = condition.unpacked_copy->fd;
    position_ = condition.unpacked_copy->offset;
    limit_ = condition.unpacked_copy->size;
  } else if (info.compressed()) {
    inflate_.SetUpstream(this);
    active_ = &inflate_;
  }
}

std::optional<ArchiveFileStream::StoredExtent> ArchiveFileStream::StoredBytes() const {
  if ((info_.compressed() && !reads_copy_) || consumed_ != 0 || failed()) return std::nullopt;
  if (!reads_copy_ && position_ + limit_ > kMaxOffset) return std::nullopt;
  return StoredExtent{fd_, position_, limit_};
}

size_t ArchiveFileStream::Read(void* buffer, size_t size) {
  if (failed()) return 0;
  size = std::min<size_t>(size, limit_ - consumed_);
  if (size == 0) return 0;
  long got;
  if (reads_copy_) {
    got = platform::ReadFullAt(fd_, buffer, size, static_cast<int64_t>(position_));
  } else {
    std::lock_guard<std::mutex> hold(*lock_);
    // Positions take a signed 32-bit distance: anything from 2^31 on cannot be reached. The
    // read names its offset rather than moving the shared descriptor first: a stored entry's
    // bytes may be going out to a socket meanwhile, read at their own offsets without the lock.
    if (position_ >= kMaxOffset) {
      SetFailed();
      return 0;
    }
    got = platform::ReadFullAt(fd_, buffer, size, static_cast<int64_t>(position_));
  }
  if (got <= 0) {
    // A read error, or the file ends before the entry's stored size.
    SetFailed();
    return 0;
  }
  consumed_ += static_cast<uint32_t>(got);
  position_ += static_cast<uint64_t>(got);
  return static_cast<size_t>(got);
}

}  // namespace kelvane::archive
