// archive/archive_format.cpp -- encoding and decoding of the trailer and directory records.
#include "archive/archive_format.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>

namespace kelvane::archive {

int64_t FileTimeToUnixNanos(uint64_t file_time) {
  // Nanoseconds since 1970 fit in 64 bits only from 1677 to 2262; times outside are clamped.
  constexpr int64_t kMaxTicks = INT64_MAX / 100;
  const int64_t ticks = file_time > static_cast<uint64_t>(INT64_MAX)
                            ? kMaxTicks
                            : static_cast<int64_t>(file_time) - kFileTimeUnixEpoch;
  return std::clamp(ticks, -kMaxTicks, kMaxTicks) * 100;
}

uint64_t UnixNanosToFileTime(int64_t unix_ns) {
  const int64_t ticks = unix_ns / 100 + kFileTimeUnixEpoch;
  return ticks < 0 ? 0 : static_cast<uint64_t>(ticks);
}

uint32_t TrailerCheck(uint32_t magic, uint32_t directory_offset, uint32_t entry_count) {
  uint8_t bytes[12];
  StoreU32(bytes, magic);
  StoreU32(bytes + 4, directory_offset);
  StoreU32(bytes + 8, entry_count);
  return static_cast<uint32_t>(adler32(1, bytes, sizeof bytes));
}

ArchiveTrailer DecodeTrailer(const uint8_t* bytes) {
  ArchiveTrailer t;
  t.magic = LoadU32(bytes);
  t.directory_offset = LoadU32(bytes + 4);
  t.entry_count = LoadU32(bytes + 8);
  t.check = LoadU32(bytes + 12);
  return t;
}

bool IsValidTrailer(const ArchiveTrailer& trailer) {
  return trailer.magic == ARCHIVE_MAGIC &&
         trailer.check == TrailerCheck(trailer.magic, trailer.directory_offset, trailer.entry_count);
}

std::array<uint8_t, kTrailerSize> EncodeTrailer(uint32_t directory_offset, uint32_t entry_count) {
  std::array<uint8_t, kTrailerSize> bytes{};
  StoreU32(bytes.data(), ARCHIVE_MAGIC);
  StoreU32(bytes.data() + 4, directory_offset);
  StoreU32(bytes.data() + 8, entry_count);
  StoreU32(bytes.data() + 12, TrailerCheck(ARCHIVE_MAGIC, directory_offset, entry_count));
  return bytes;
}

ArchiveEntryInfo DecodeEntryInfo(const uint8_t* bytes) {
  ArchiveEntryInfo info;
  info.creation_time = LoadU64(bytes);
  info.last_access_time = LoadU64(bytes + 8);
  info.last_write_time = LoadU64(bytes + 16);
  info.attributes = LoadU32(bytes + 24);
  info.unpacked_size = LoadU32(bytes + 28);
  info.stored_size = LoadU32(bytes + 32);
  info.data_offset = LoadU32(bytes + 36);
  return info;
}

std::array<uint8_t, kEntryInfoSize> EncodeEntryInfo(const ArchiveEntryInfo& info) {
  std::array<uint8_t, kEntryInfoSize> bytes{};
  StoreU64(bytes.data(), info.creation_time);
  StoreU64(bytes.data() + 8, info.last_access_time);
  StoreU64(bytes.data() + 16, info.last_write_time);
  StoreU32(bytes.data() + 24, info.attributes);
  StoreU32(bytes.data() + 28, info.unpacked_size);
  StoreU32(bytes.data() + 32, info.stored_size);
  StoreU32(bytes.data() + 36, info.data_offset);
  return bytes;
}

std::string EncodeRecord(std::string_view name, const ArchiveEntryInfo& info) {
  std::string record(kRecordHeadSize + name.size() + kEntryInfoSize, '\0');
  auto* p = reinterpret_cast<uint8_t*>(record.data());
  StoreU16(p, static_cast<uint16_t>(name.size()));
  record.replace(kRecordHeadSize, name.size(), name);
  const auto info_bytes = EncodeEntryInfo(info);
  record.replace(kRecordHeadSize + name.size(), kEntryInfoSize,
                 reinterpret_cast<const char*>(info_bytes.data()), info_bytes.size());
  return record;
}

}  // namespace kelvane::archive
