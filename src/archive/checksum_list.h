// archive/checksum_list.h -- the package's SHA256SUMS entry: one line per entry in the form
// `sha256sum -c` reads ("<64 lowercase hex>  <name>\n", '/' between components, a name holding
// '\', LF or CR escaped as sha256sum escapes it and the line then opened with '\'). The writer
// in kelvane-pack makes it; kelvane-pack verify and the server read it back.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/sha256.h"

namespace kelvane::archive {

// The entry's name, at the root of the package.
inline constexpr char kChecksumsEntryName[] = "SHA256SUMS";

// Whether the package name |name| ('\' between components, one leading '\' ignored) is the
// checksum entry: "SHA256SUMS" at the root, in any letter case, as the reader finds it.
bool IsChecksumsEntryName(std::string_view name);

// Whether |name| is the password entry at the root (see kPasswordEntryPath), which the
// checksum list leaves out: its checksum would give the password away to anyone who reads
// the list.
bool IsPasswordEntryName(std::string_view name);

// The name a line carries for the package name |name|: the leading '\' dropped, '\' turned
// into '/'. The names the lines carry are compared with these, byte for byte.
std::string ChecksumName(std::string_view name);

// One line for |checksum_name| (as ChecksumName gives it) with its LF.
std::string FormatChecksumLine(std::string_view checksum_name, const util::Sha256::Digest& digest);

struct ChecksumLine {
  size_t line_number = 0;  // from 1
  std::string name;        // unescaped, '/' between components
  util::Sha256::Digest digest{};
};

struct ChecksumList {
  std::vector<ChecksumLine> lines;  // the well-formed lines, in file order
  std::vector<std::string> faults;  // one text per line that is not (or an empty list)
};

// Reads a checksum list as sha256sum -c would: "<hex>  name" or "<hex> *name", hex in either
// case, the '\' opening and escapes; LF line ends, a final line without one, and a CR before
// the LF (a list edited on Windows) accepted. Empty lines are skipped.
ChecksumList ParseChecksumList(std::string_view text);

}  // namespace kelvane::archive
