// archive/archive_streams.h -- the byte sources that deliver an entry's content.
//
// Read (buffer, size) copies at most |size| bytes and returns the count; 0 means the end of the
// data or a failure, and failed() tells the two apart afterwards: a read error, stored data that
// ends before its stored size, or a damaged or truncated zlib stream all set it, and once set
// every later Read returns 0. A source belongs to one thread at a time.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "archive/archive_format.h"

namespace kelvane::archive {

// A run of bytes in an open file.
struct FileExtent {
  int fd;
  uint64_t offset;
  uint32_t size;
};

// What the package check has found out about an entry when its stream is made (see
// entry_health.h): that it is damaged, or where its inflated content lies in a scratch file.
struct EntryCondition {
  bool damaged = false;
  std::optional<FileExtent> unpacked_copy;
};

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual size_t Read(void* buffer, size_t size) = 0;
  bool failed() const { return failed_; }

 protected:
  void SetFailed() { failed_ = true; }

 private:
  bool failed_ = false;
};

// Inflates a zlib stream (header, deflate data, Adler-32) pulled from an upstream source through
// an input buffer of its own.
class InflateSource : public ByteSource {
 public:
  static constexpr size_t kDefaultBufferSize = 4096;
  // What an entry stream pulls per read: fewer, larger inflate calls nearly reach zlib's own
  // speed, where 4 KiB blocks cost about a sixth of it.
  static constexpr size_t kStreamBufferSize = 64 * 1024;

  // |upstream| is not owned; with none, Read returns 0.
  explicit InflateSource(ByteSource* upstream, size_t buffer_size = kDefaultBufferSize);
  ~InflateSource() override;
  InflateSource(const InflateSource&) = delete;
  InflateSource& operator=(const InflateSource&) = delete;

  void SetUpstream(ByteSource* upstream) { upstream_ = upstream; }
  size_t Read(void* buffer, size_t size) override;

  // Once failed(): the zlib result that failed it (Z_DATA_ERROR for damaged data or a wrong
  // Adler-32, Z_BUF_ERROR for a stream that ends early, Z_MEM_ERROR for no memory), or Z_OK
  // when the upstream failed first; zlib's text for it (nullptr when it gave none).
  int fault_code() const { return fault_code_; }
  const char* fault_text() const { return fault_text_; }

 private:
  ByteSource* upstream_;
  std::unique_ptr<uint8_t[]> input_;
  size_t input_size_;
  z_stream zs_{};
  bool zs_ready_ = false;      // inflateInit succeeded
  bool end_of_input_ = false;  // the upstream has returned 0
  bool finished_ = false;      // the stream's end was reached
  int fault_code_ = Z_OK;
  const char* fault_text_ = nullptr;
};

// Reads an entry's |limit| stored bytes from |start| on, each read at its own offset, so that
// no other user of the shared descriptor can move it; the caller keeps the reader's lock while
// this reads.
class EntryReader : public ByteSource {
 public:
  EntryReader(int fd, uint64_t start, uint32_t limit) : fd_(fd), start_(start), limit_(limit) {}
  size_t Read(void* buffer, size_t size) override;

 private:
  int fd_;
  uint64_t start_;
  uint32_t limit_;
  uint32_t consumed_ = 0;
};

// One caller's stream over one entry, made by FileArchiveReader::OpenFile. Its own Read is the
// positioned read of the stored bytes (under the reader's lock); callers read the content through
// ActiveSource(), which inflates a compressed entry. Valid only while the reader stays open.
//
// |condition| comes from the package check: a stream over an entry found damaged delivers
// nothing and is failed from the start; one over a compressed entry whose inflated copy is
// ready reads that copy as a stored entry's bytes are read (without the reader's lock: the
// scratch file is written once, before the copy is offered), and StoredBytes offers it.
class ArchiveFileStream : public ByteSource {
 public:
  ArchiveFileStream(int fd, const ArchiveEntryInfo& info, std::mutex* lock,
                    const EntryCondition& condition = {});
  ArchiveFileStream(const ArchiveFileStream&) = delete;
  ArchiveFileStream& operator=(const ArchiveFileStream&) = delete;

  size_t Read(void* buffer, size_t size) override;

  // The source that delivers the entry's content.
  ByteSource* ActiveSource() { return active_; }

  // Where the entry's content lies as plain bytes, for senders that copy them to a socket
  // inside the kernel: a stored entry's bytes in the shared file, or a compressed entry's
  // inflated copy in the scratch file. Every read of either descriptor is at an explicit
  // offset, so this needs no lock. Empty for a compressed entry without a copy, for an entry
  // found damaged, once reading has begun, or when a stored entry's bytes reach past what a
  // 32-bit position can address.
  using StoredExtent = FileExtent;
  std::optional<StoredExtent> StoredBytes() const;
  const ArchiveEntryInfo& info() const { return info_; }

  // Whether the package check had found the entry damaged when the stream was made.
  bool known_damaged() const { return known_damaged_; }
  // Whether the content comes from the inflated copy rather than the package.
  bool reads_copy() const { return reads_copy_; }
  // The inflater of a compressed entry read from the package, for the cause of its failure.
  const InflateSource& inflater() const { return inflate_; }

 private:
  int fd_;                 // shared with the reader (or the scratch file's), not owned
  ArchiveEntryInfo info_;
  uint32_t limit_;         // stored size
  uint32_t consumed_ = 0;  // stored bytes delivered so far
  uint64_t position_;      // absolute offset of the next stored byte
  std::mutex* lock_;       // the reader's lock, not owned
  bool known_damaged_ = false;
  bool reads_copy_ = false;
  InflateSource inflate_;
  ByteSource* active_;
};

}  // namespace kelvane::archive
