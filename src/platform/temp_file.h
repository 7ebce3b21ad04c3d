// platform/temp_file.h -- private scratch files without a name, and what a folder can still
// hold. The package check keeps inflated entries in such a file for the life of the process.
//
// An unnamed file has no name in its folder from the start (or loses it at once), so nothing
// is left behind when the process ends, however it ends. All functions may be called from any
// thread; reads and writes of a scratch file name their offsets, so threads may share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/unique_fd.h"

namespace kelvane::platform {

// A new empty file open for reading and writing in |folder|, which no other process can open
// by name. Linux: O_TMPFILE, or, where the file system has none, a file made by mkstemp and
// unlinked at once. Windows: a uniquely named file opened with FILE_FLAG_DELETE_ON_CLOSE and
// FILE_ATTRIBUTE_TEMPORARY, which the system deletes when its last handle closes (a process
// ended by force included); it shares reading, writing and deletion. Invalid on failure.
UniqueFd CreateUnnamedTempFile(const std::string& folder);

// Whether a scratch file has no name even while it is open (Linux); false where it keeps its
// name until its last handle closes (Windows).
bool ScratchFilesAreNameless();

// The bytes an unprivileged process may still write to the file system that holds |folder|;
// nullopt when that cannot be learnt.
std::optional<uint64_t> FreeSpace(const std::string& folder);

// Writes every byte of |data| at |offset| without using the descriptor's own offset (Windows:
// the handle's pointer moves; nothing that shares a scratch file relies on it). False after a
// failed write (a full disk included); what was written before stays written.
bool WriteAllAt(int fd, const void* data, size_t size, int64_t offset);

// Cuts the file (or extends it with zeros) to |size| bytes; false on failure.
bool TruncateFile(int fd, int64_t size);

}  // namespace kelvane::platform
