// archive/archive_format.h -- the package layout: trailer, directory records, entry information.
//
// A package is the executable image, then each entry's data, then the directory records back to
// back, then the 16-byte trailer as the last bytes of the file. Integers are little-endian and
// unsigned; offsets are absolute from the start of the whole file and stay below 2^31. Records
// carry the entry's path with '\' as the only separator. This header decodes and encodes the
// fixed parts; the reader (FileArchiveReader) and the package builder both use it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvane::archive {

inline constexpr uint32_t ARCHIVE_MAGIC = 201;
inline constexpr uint32_t ATTR_READONLY = 0x1;
inline constexpr uint32_t ATTR_ARCHIVE = 0x20;
inline constexpr uint32_t ATTR_COMPRESSED = 0x800;

inline constexpr size_t kTrailerSize = 16;
inline constexpr size_t kEntryInfoSize = 40;
inline constexpr size_t kRecordHeadSize = 2;  // the u16 name length before the name
inline constexpr size_t kMaxNameLength = 259;  // a name of 260 bytes or more is invalid
inline constexpr size_t kPathBufferSize = 260; // one path component and its terminator

// Every offset and the file length stay below this: positioning takes a signed 32-bit distance.
inline constexpr uint64_t kMaxOffset = 0x80000000u;

// FILETIME: 100-nanosecond intervals since 1601-01-01 00:00 UTC.
inline constexpr int64_t kFileTimeUnixEpoch = 116444736000000000;  // 1970-01-01 as a FILETIME

// Converts a FILETIME to nanoseconds since 1970-01-01 UTC, and back (clamped at 0).
int64_t FileTimeToUnixNanos(uint64_t file_time);
uint64_t UnixNanosToFileTime(int64_t unix_ns);

// The 40-byte information block of one entry, kept in memory as stored.
struct ArchiveEntryInfo {
  uint64_t creation_time = 0;     // FILETIME
  uint64_t last_access_time = 0;  // FILETIME
  uint64_t last_write_time = 0;   // FILETIME
  uint32_t attributes = 0;        // Windows attribute bits; ATTR_COMPRESSED marks zlib data
  uint32_t unpacked_size = 0;     // length of the content
  uint32_t stored_size = 0;       // length of the data in the file
  uint32_t data_offset = 0;       // absolute offset of the data

  bool compressed() const { return (attributes & ATTR_COMPRESSED) != 0; }
  bool operator==(const ArchiveEntryInfo&) const = default;
};

struct ArchiveTrailer {
  uint32_t magic = ARCHIVE_MAGIC;
  uint32_t directory_offset = 0;
  uint32_t entry_count = 0;
  uint32_t check = 0;  // Adler-32 of the first 12 bytes as stored

  bool operator==(const ArchiveTrailer&) const = default;
};

// The check a trailer must carry: Adler-32, starting from 1, over its first 12 bytes.
uint32_t TrailerCheck(uint32_t magic, uint32_t directory_offset, uint32_t entry_count);

// Decodes 16 stored bytes. Does not validate; see IsValidTrailer.
ArchiveTrailer DecodeTrailer(const uint8_t* bytes);

// Magic 201 and a matching check.
bool IsValidTrailer(const ArchiveTrailer& trailer);

// Encodes a valid trailer (magic 201, check computed) for the given directory.
std::array<uint8_t, kTrailerSize> EncodeTrailer(uint32_t directory_offset, uint32_t entry_count);

ArchiveEntryInfo DecodeEntryInfo(const uint8_t* bytes);
std::array<uint8_t, kEntryInfoSize> EncodeEntryInfo(const ArchiveEntryInfo& info);

// One directory record: u16 name length, the name, the 40-byte information. Does not check the
// name's length; callers refuse names longer than kMaxNameLength.
std::string EncodeRecord(std::string_view name, const ArchiveEntryInfo& info);

// Little-endian helpers.
inline uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t LoadU64(const uint8_t* p) {
  return static_cast<uint64_t>(LoadU32(p)) | (static_cast<uint64_t>(LoadU32(p + 4)) << 32);
}
inline void StoreU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void StoreU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void StoreU64(uint8_t* p, uint64_t v) {
  StoreU32(p, static_cast<uint32_t>(v));
  StoreU32(p + 4, static_cast<uint32_t>(v >> 32));
}

}  // namespace kelvane::archive
