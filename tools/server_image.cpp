// tools/server_image.cpp -- the ELF layout check and the marker search behind CheckServerImage.
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

constexpr char kNotElf[] = "it is not a 64-bit little-endian ELF executable";
constexpr char kHeadersOutside[] = "its ELF headers point outside the file";

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

// Reads |size| bytes at |offset|, which must lie inside the first |limit| bytes.
bool ReadInside(int fd, uint64_t limit, uint64_t offset, void* buffer, size_t size,
                std::string* error) {
  if (offset > limit || limit - offset < size) {
    *error = kHeadersOutside;
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
  const auto elf_end = ElfContentEnd(fd, image_end, &error);
  if (!elf_end) return error;
  if (*elf_end < image_end) {
    return std::to_string(image_end - *elf_end) +
           " bytes follow its ELF content (a package without a sound trailer, or other data "
           "appended to it)";
  }
  const auto marked = HoldsServerMarker(fd, image_end, &error);
  if (!marked) return error;
  if (!*marked) return "it does not hold the marker every kelvane executable carries";
  return {};
}

}  // namespace kelvane::pack
