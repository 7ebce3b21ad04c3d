// tools/server_image.cpp -- the ELF and PE layout checks and the marker search behind
// CheckServerImage.
#include "tools/server_image.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string_view>

#include "app/server_marker.h"
#include "archive/archive_format.h"
#include "platform/file_io.h"
#include "tools/tool_files.h"

namespace kelvane::pack {
namespace {

constexpr size_t kChunkSize = 64 * 1024;

// The fields of the ELF64 header, program headers and section headers the check reads.
constexpr size_t kElfHeaderSize = 64;
constexpr uint8_t kElfClass64 = 2;
constexpr uint8_t kElfLittleEndian = 1;
constexpr uint16_t kElfTypeExecutable = 2;
constexpr uint16_t kElfTypeShared = 3;  // position-independent executables
constexpr size_t kProgramHeaderSize = 56;
constexpr size_t kSectionHeaderSize = 64;
constexpr uint32_t kSectionNoBits = 8;  // .bss and the like: no bytes in the file
constexpr uint16_t kSectionCountInFirst = 0;  // with a table, the count is in section 0

// The fields of the PE32+ headers the check reads: the DOS header's pointer to the PE
// signature, the COFF header after it, the optional header, the section table and, where they
// exist, the COFF symbol and string tables and the certificate table (signed executables),
// which all lie in the file after the sections.
constexpr size_t kDosHeaderSize = 64;
constexpr size_t kPeOffsetAt = 0x3C;
constexpr size_t kPeHeadersSize = 24;  // "PE\0\0" and the COFF header
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint16_t kImageExecutable = 0x0002;  // COFF characteristics: a runnable image...
constexpr uint16_t kImageDll = 0x2000;         // ...that is not a library
constexpr size_t kOptionalHeaderFixed = 112;  // PE32+ fields before the data directories
constexpr size_t kDataDirectorySize = 8;
constexpr uint32_t kCertificateDirectory = 4;
constexpr size_t kPeSectionSize = 40;
constexpr size_t kSymbolSize = 18;

constexpr char kNotElf[] = "it is not a 64-bit little-endian ELF executable";
constexpr char kHeadersOutside[] = "its ELF headers point outside the file";
constexpr char kNotPe[] = "it is not a PE32+ x86-64 executable";
constexpr char kPeHeadersOutside[] = "its PE headers point outside the file";
constexpr char kNeither[] =
    "it is not a 64-bit little-endian ELF executable nor a PE32+ x86-64 executable";

// The tool holds the marker inverted, so that kelvane-pack itself (or any file holding the
// tool) does not pass for a server.
constexpr auto kInvertedMarker = [] {
  std::array<char, app::kServerMarker.size()> inverted{};
  for (size_t i = 0; i < inverted.size(); ++i) {
    inverted[i] = static_cast<char>(~app::kServerMarker[i]);
  }
  return inverted;
}();

std::string Marker() {
  std::string marker(kInvertedMarker.begin(), kInvertedMarker.end());
  for (char& c : marker) c = static_cast<char>(~c);
  return marker;
}

// Reads |size| bytes at |offset|, which must lie inside the first |limit| bytes (else
// |*error| becomes |outside|).
bool ReadInside(int fd, uint64_t limit, uint64_t offset, void* buffer, size_t size,
                std::string* error, const char* outside = kHeadersOutside) {
  if (offset > limit || limit - offset < size) {
    *error = outside;
    return false;
  }
  const long got = platform::ReadFullAt(fd, buffer, size, static_cast<int64_t>(offset));
  if (got < 0) {
    *error = "cannot read it: " + LastErrorText();
    return false;
  }
  if (static_cast<size_t>(got) != size) {
    *error = "it became shorter while it was read";
    return false;
  }
  return true;
}

// |offset| + |count| * |entry_size|, or nullopt when that passes |limit|.
std::optional<uint64_t> TableEnd(uint64_t offset, uint64_t count, uint64_t entry_size,
                                 uint64_t limit) {
  if (offset > limit || (entry_size != 0 && count > (limit - offset) / entry_size)) {
    return std::nullopt;
  }
  return offset + count * entry_size;
}

}  // namespace

std::optional<uint64_t> ElfContentEnd(int fd, uint64_t size, std::string* error) {
  uint8_t header[kElfHeaderSize];
  if (size < kElfHeaderSize) {
    *error = kNotElf;
    return std::nullopt;
  }
  if (!ReadInside(fd, size, 0, header, sizeof header, error)) return std::nullopt;
  const uint16_t type = archive::LoadU16(header + 16);
  if (std::memcmp(header, "\x7f" "ELF", 4) != 0 || header[4] != kElfClass64 ||
      header[5] != kElfLittleEndian || (type != kElfTypeExecutable && type != kElfTypeShared)) {
    *error = kNotElf;
    return std::nullopt;
  }
  const uint64_t program_offset = archive::LoadU64(header + 32);
  const uint64_t section_offset = archive::LoadU64(header + 40);
  const uint16_t program_entry = archive::LoadU16(header + 54);
  const uint16_t program_count = archive::LoadU16(header + 56);
  const uint16_t section_entry = archive::LoadU16(header + 58);
  uint64_t section_count = archive::LoadU16(header + 60);
  if ((program_count > 0 && program_entry < kProgramHeaderSize) ||
      (section_offset != 0 && section_entry < kSectionHeaderSize)) {
    *error = kNotElf;
    return std::nullopt;
  }

  uint64_t end = kElfHeaderSize;
  uint8_t entry[kSectionHeaderSize];
  if (section_offset != 0 && section_count == kSectionCountInFirst) {
    // More sections than the header's field can count: section 0's size holds the count.
    if (!ReadInside(fd, size, section_offset, entry, kSectionHeaderSize, error)) {
      return std::nullopt;
    }
    section_count = archive::LoadU64(entry + 32);
  }
  const auto program_end = TableEnd(program_offset, program_count, program_entry, size);
  const auto section_end = TableEnd(section_offset, section_count, section_entry, size);
  if (!program_end || !section_end) {
    *error = kHeadersOutside;
    return std::nullopt;
  }
  end = std::max({end, *program_end, *section_end});

  // Each piece's end is checked against |size| before it counts, so no sum can wrap.
  auto extend = [&](uint64_t offset, uint64_t length) {
    if (offset > size || length > size - offset) {
      *error = kHeadersOutside;
      return false;
    }
    end = std::max(end, offset + length);
    return true;
  };
  for (uint64_t i = 0; i < program_count; ++i) {
    if (!ReadInside(fd, size, program_offset + i * program_entry, entry, kProgramHeaderSize,
                    error) ||
        !extend(archive::LoadU64(entry + 8), archive::LoadU64(entry + 32))) {
      return std::nullopt;
    }
  }
  for (uint64_t i = 0; i < section_count; ++i) {
    if (!ReadInside(fd, size, section_offset + i * section_entry, entry, kSectionHeaderSize,
                    error)) {
      return std::nullopt;
    }
    if (archive::LoadU32(entry + 4) == kSectionNoBits) continue;
    if (!extend(archive::LoadU64(entry + 24), archive::LoadU64(entry + 32))) return std::nullopt;
  }
  return end;
}

std::optional<uint64_t> PeContentEnd(int fd, uint64_t size, std::string* error) {
  uint8_t dos[kDosHeaderSize];
  if (size < kDosHeaderSize) {
    *error = kNotPe;
    return std::nullopt;
  }
  if (!ReadInside(fd, size, 0, dos, sizeof dos, error, kPeHeadersOutside)) return std::nullopt;
  if (std::memcmp(dos, "MZ", 2) != 0) {
    *error = kNotPe;
    return std::nullopt;
  }
  const uint64_t pe_offset = archive::LoadU32(dos + kPeOffsetAt);
  uint8_t pe[kPeHeadersSize];
  if (!ReadInside(fd, size, pe_offset, pe, sizeof pe, error, kPeHeadersOutside)) {
    return std::nullopt;
  }
  const uint16_t section_count = archive::LoadU16(pe + 6);
  const uint64_t symbol_offset = archive::LoadU32(pe + 12);
  const uint64_t symbol_count = archive::LoadU32(pe + 16);
  const uint16_t optional_size = archive::LoadU16(pe + 20);
  const uint16_t characteristics = archive::LoadU16(pe + 22);
  if (std::memcmp(pe, "PE\0\0", 4) != 0 || archive::LoadU16(pe + 4) != kMachineAmd64 ||
      optional_size < kOptionalHeaderFixed || (characteristics & kImageExecutable) == 0 ||
      (characteristics & kImageDll) != 0) {
    *error = kNotPe;
    return std::nullopt;
  }
  // The fixed part and, when present, the certificate table's entry.
  constexpr size_t kOptionalRead =
      kOptionalHeaderFixed + (kCertificateDirectory + 1) * kDataDirectorySize;
  uint8_t optional[kOptionalRead] = {};
  const uint64_t optional_offset = pe_offset + kPeHeadersSize;
  if (!ReadInside(fd, size, optional_offset, optional,
                  std::min<size_t>(optional_size, kOptionalRead), error, kPeHeadersOutside)) {
    return std::nullopt;
  }
  if (archive::LoadU16(optional) != kPe32PlusMagic) {
    *error = kNotPe;
    return std::nullopt;
  }

  uint64_t end = 0;
  // Each piece's end is checked against |size| before it counts, so no sum can wrap.
  auto extend = [&](uint64_t offset, uint64_t length) {
    if (offset > size || length > size - offset) {
      *error = kPeHeadersOutside;
      return false;
    }
    end = std::max(end, offset + length);
    return true;
  };
  const uint64_t table_offset = optional_offset + optional_size;
  const auto table_end = TableEnd(table_offset, section_count, kPeSectionSize, size);
  if (!table_end || !extend(0, *table_end) || !extend(0, archive::LoadU32(optional + 60))) {
    *error = kPeHeadersOutside;
    return std::nullopt;
  }
  uint8_t section[kPeSectionSize];
  for (uint64_t i = 0; i < section_count; ++i) {
    if (!ReadInside(fd, size, table_offset + i * kPeSectionSize, section, sizeof section, error,
                    kPeHeadersOutside)) {
      return std::nullopt;
    }
    const uint64_t raw_size = archive::LoadU32(section + 16);
    if (raw_size != 0 && !extend(archive::LoadU32(section + 20), raw_size)) return std::nullopt;
  }
  if (symbol_offset != 0) {
    // The string table follows the symbols and opens with its own length, those four bytes
    // included.
    const auto symbols_end = TableEnd(symbol_offset, symbol_count, kSymbolSize, size);
    uint8_t strings[4];
    if (!symbols_end ||
        !ReadInside(fd, size, *symbols_end, strings, sizeof strings, error, kPeHeadersOutside)) {
      *error = kPeHeadersOutside;
      return std::nullopt;
    }
    const uint64_t strings_size = std::max<uint64_t>(archive::LoadU32(strings), sizeof strings);
    if (!extend(*symbols_end, strings_size)) return std::nullopt;
  }
  const uint64_t directories = archive::LoadU32(optional + kOptionalHeaderFixed - 4);
  if (directories > kCertificateDirectory && optional_size >= kOptionalRead) {
    // The one directory entry that holds a file offset rather than an address in memory.
    const uint8_t* certificates =
        optional + kOptionalHeaderFixed + kCertificateDirectory * kDataDirectorySize;
    const uint64_t certificates_size = archive::LoadU32(certificates + 4);
    if (certificates_size != 0 && !extend(archive::LoadU32(certificates), certificates_size)) {
      return std::nullopt;
    }
  }
  return end;
}

std::optional<bool> HoldsServerMarker(int fd, uint64_t size, std::string* error) {
  const std::string marker = Marker();
  // Each read keeps the last marker.size() - 1 bytes of the one before, so that a marker
  // split between two reads is still found.
  const size_t keep = marker.size() - 1;
  const auto buffer = std::make_unique<char[]>(keep + kChunkSize);
  size_t held = 0;
  uint64_t offset = 0;
  while (offset < size) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(size - offset, kChunkSize));
    const long got =
        platform::ReadFullAt(fd, buffer.get() + held, want, static_cast<int64_t>(offset));
    if (got < 0) {
      *error = "cannot read it: " + LastErrorText();
      return std::nullopt;
    }
    if (static_cast<size_t>(got) != want) {
      *error = "it became shorter while it was read";
      return std::nullopt;
    }
    held += want;
    offset += want;
    if (std::string_view(buffer.get(), held).find(marker) != std::string_view::npos) return true;
    if (held > keep) {
      std::memmove(buffer.get(), buffer.get() + held - keep, keep);
      held = keep;
    }
  }
  return false;
}

std::string CheckServerImage(int fd, uint64_t image_end) {
  std::string error;
  char magic[4] = {};
  const long got = platform::ReadFullAt(fd, magic, std::min<uint64_t>(image_end, sizeof magic), 0);
  if (got < 0) return "cannot read it: " + LastErrorText();
  const bool pe = std::memcmp(magic, "MZ", 2) == 0;
  if (!pe && std::memcmp(magic, "\x7f" "ELF", 4) != 0) return kNeither;
  const auto content_end =
      pe ? PeContentEnd(fd, image_end, &error) : ElfContentEnd(fd, image_end, &error);
  if (!content_end) return error;
  if (*content_end < image_end) {
    return std::to_string(image_end - *content_end) + " bytes follow its " +
           (pe ? "PE" : "ELF") +
           " content (a package without a sound trailer, or other data appended to it)";
  }
  const auto marked = HoldsServerMarker(fd, image_end, &error);
  if (!marked) return error;
  if (!*marked) return "it does not hold the marker every kelvane executable carries";
  return {};
}

}  // namespace kelvane::pack
