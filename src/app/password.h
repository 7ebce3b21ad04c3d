// app/password.h -- the package password and the fixed reads of the package's own entries.
//
// Window's thread, during the main window's initialisation, before any service thread exists.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "archive/FileArchiveReader.h"
#include "archive/archive_directory.h"

namespace kelvane::app {

class FrontEnd;

// How much of the password and version entries is read.
inline constexpr size_t kEntryTextLimit = 511;
// How often the password prompt is shown at most.
inline constexpr int kPasswordShowings = 3;

// The first |limit| bytes (fewer when shorter) of the entry |path| names from |cursor|, cut at
// the first NUL as a terminated text; nullopt when the entry does not open. A read failure
// ends the text where it happened.
std::optional<std::string> ReadEntryText(archive::FileArchiveReader& reader,
                                         const archive::ArchiveCursor& cursor,
                                         std::string_view path, size_t limit = kEntryTextLimit);

// The password an entry's text asks for: the text without one line end (CR LF or LF) at its
// end, which text editors add and no prompt can type.
std::string ExpectedPassword(std::string_view entry_text);

// Whether |typed| (up to its first NUL) equals |expected|, A to Z equal to a to z, nothing
// else ignored.
bool PasswordMatches(std::string_view expected, std::string_view typed);

// The password step: accepted (true) when the package has no password entry, or when the
// prompt gets the password within three showings, with "Invalid password!" after each wrong
// one. Refused (false) after the third wrong entry or on cancel.
bool CheckPackagePassword(archive::FileArchiveReader& reader, const archive::ArchiveCursor& root,
                          FrontEnd& front_end);

}  // namespace kelvane::app
