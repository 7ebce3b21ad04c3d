// tools/package_inspect.cpp -- bounds-checked reading of trailers and records, and the
// end-to-end check of one entry's data.
#include "tools/package_inspect.h"

#include <zlib.h>

#include <algorithm>
#include <memory>

#include "platform/file_io.h"
#include "tools/tool_files.h"

namespace kelvane::pack {
namespace {

using archive::kEntryInfoSize;
using archive::kRecordHeadSize;
using archive::kTrailerSize;

constexpr size_t kChunkSize = 64 * 1024;

// Reads exactly |size| bytes at |offset|; false on an error or an early end of file.
bool ReadExactAt(int fd, void* buffer, size_t size, uint64_t offset) {
  return platform::ReadFullAt(fd, buffer, size, static_cast<int64_t>(offset)) ==
         static_cast<long>(size);
}

std::string Num(uint64_t value) { return std::to_string(value); }

}  // namespace

PackageDirectory ReadPackageDirectory(int fd) {
  PackageDirectory dir;
  const int64_t length = platform::FileSize(fd);
  if (length < 0) {
    dir.fault = "cannot determine the file's size: " + LastErrorText();
    return dir;
  }
  dir.file_length = static_cast<uint64_t>(length);
  if (dir.file_length < kTrailerSize) {
    dir.fault = "the file is shorter than a package trailer";
    return dir;
  }
  uint8_t trailer_bytes[kTrailerSize];
  const long got = platform::ReadFullAt(fd, trailer_bytes, kTrailerSize,
                                        static_cast<int64_t>(dir.file_length - kTrailerSize));
  if (got != static_cast<long>(kTrailerSize)) {
    dir.fault = got < 0 ? "cannot read the trailer: " + LastErrorText()
                        : std::string("the file became shorter while it was read");
    return dir;
  }
  dir.trailer = archive::DecodeTrailer(trailer_bytes);
  if (dir.trailer.magic != archive::ARCHIVE_MAGIC) {
    dir.fault = "no package trailer at the end of the file (truncated, or not a package)";
    return dir;
  }
  dir.has_magic = true;
  if (!archive::IsValidTrailer(dir.trailer)) {
    dir.fault = "the trailer's check does not match its contents";
    return dir;
  }
  dir.has_trailer = true;

  const uint64_t directory_end = dir.file_length - kTrailerSize;
  const uint64_t directory_offset = dir.trailer.directory_offset;
  dir.records_end = directory_offset;
  if (directory_offset > directory_end) {
    dir.fault = "the directory offset " + Num(directory_offset) + " lies beyond the trailer";
    return dir;
  }
  // The smallest record is its length field and its information; a count that cannot fit is
  // refused before anything is reserved for it.
  constexpr uint64_t kSmallestRecord = kRecordHeadSize + kEntryInfoSize;
  if (dir.trailer.entry_count > (directory_end - directory_offset) / kSmallestRecord) {
    dir.fault = "the trailer announces " + Num(dir.trailer.entry_count) +
                " entries, more than the directory's " + Num(directory_end - directory_offset) +
                " bytes can hold";
    return dir;
  }
  dir.records.reserve(dir.trailer.entry_count);

  uint64_t position = directory_offset;
  std::string buffer;
  for (uint32_t index = 0; index < dir.trailer.entry_count; ++index) {
    const std::string where = "record " + Num(index + 1) + " at offset " + Num(position);
    uint8_t head[kRecordHeadSize];
    if (directory_end - position < kRecordHeadSize ||
        !ReadExactAt(fd, head, kRecordHeadSize, position)) {
      dir.fault = where + " does not fit before the trailer";
      return dir;
    }
    const uint16_t name_length = archive::LoadU16(head);
    if (name_length > archive::kMaxNameLength) {
      dir.fault = where + " has a name of " + Num(name_length) + " bytes (at most " +
                  Num(archive::kMaxNameLength) + " are allowed)";
      return dir;
    }
    const uint64_t body = name_length + kEntryInfoSize;
    if (directory_end - position - kRecordHeadSize < body) {
      dir.fault = where + " does not fit before the trailer";
      return dir;
    }
    buffer.resize(body);
    if (!ReadExactAt(fd, buffer.data(), body, position + kRecordHeadSize)) {
      dir.fault = "cannot read " + where;
      return dir;
    }
    PackageRecord record;
    record.position = position;
    record.name.assign(buffer.data(), name_length);
    record.info =
        archive::DecodeEntryInfo(reinterpret_cast<const uint8_t*>(buffer.data()) + name_length);
    dir.records.push_back(std::move(record));
    position += kRecordHeadSize + body;
    dir.records_end = position;
  }
  return dir;
}

std::optional<uint64_t> FindImageEnd(const PackageDirectory& directory) {
  if (!directory.has_trailer) return directory.file_length;
  if (!directory.fault.empty()) return std::nullopt;
  uint64_t end = directory.trailer.directory_offset;
  for (const PackageRecord& record : directory.records) {
    end = std::min<uint64_t>(end, record.info.data_offset);
  }
  return end;
}

std::string CheckEntryData(int fd, const archive::ArchiveEntryInfo& info,
                           const ProgressFn& progress, const ContentFn& content) {
  const auto input = std::make_unique<uint8_t[]>(kChunkSize);
  uint64_t offset = info.data_offset;
  uint64_t remaining = info.stored_size;

  if (!info.compressed()) {
    if (info.stored_size != info.unpacked_size) {
      return "stored without compression, but its stored size " + Num(info.stored_size) +
             " differs from its unpacked size " + Num(info.unpacked_size);
    }
    while (remaining > 0) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(remaining, kChunkSize));
      if (!ReadExactAt(fd, input.get(), n, offset)) return "cannot read the data";
      offset += n;
      remaining -= n;
      if (content) content(input.get(), n);
      if (progress) progress(n);
    }
    return {};
  }

  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return "cannot start zlib";
  const std::unique_ptr<z_stream, int (*)(z_stream*)> guard(&zs, inflateEnd);
  const auto output = std::make_unique<uint8_t[]>(kChunkSize);
  uint64_t unpacked = 0;
  while (true) {
    if (zs.avail_in == 0 && remaining > 0) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(remaining, kChunkSize));
      if (!ReadExactAt(fd, input.get(), n, offset)) return "cannot read the data";
      offset += n;
      remaining -= n;
      zs.next_in = input.get();
      zs.avail_in = static_cast<uInt>(n);
      if (progress) progress(n);
    }
    zs.next_out = output.get();
    zs.avail_out = static_cast<uInt>(kChunkSize);
    const int ret = inflate(&zs, Z_NO_FLUSH);
    const size_t produced = kChunkSize - zs.avail_out;
    unpacked += produced;
    if (unpacked > info.unpacked_size) {
      return "unpacks to more than the " + Num(info.unpacked_size) + " bytes the record says";
    }
    if (content && produced > 0) content(output.get(), produced);
    if (ret == Z_STREAM_END) break;
    if (ret == Z_BUF_ERROR) {
      // No progress was possible: every stored byte went in and the stream has not ended.
      return "the compressed data ends early (after " + Num(unpacked) + " of " +
             Num(info.unpacked_size) + " bytes)";
    }
    if (ret != Z_OK) {
      return std::string("the compressed data is damaged (") + (zs.msg ? zs.msg : "zlib error") +
             ") after " + Num(unpacked) + " bytes";
    }
  }
  const uint64_t unused = remaining + zs.avail_in;
  if (unused > 0) {
    return "the compressed stream ends " + Num(unused) + " bytes before the stored size " +
           Num(info.stored_size);
  }
  if (unpacked != info.unpacked_size) {
    return "unpacks to " + Num(unpacked) + " bytes, but the record says " +
           Num(info.unpacked_size);
  }
  return {};
}

}  // namespace kelvane::pack
