// platform/file_io.h -- the file services the core needs, on int descriptors: POSIX descriptors
// on Linux, C runtime descriptors over Win32 file handles (binary mode) on Windows.
// Every EINTR and short-transfer loop of the core lives in file_io_<platform>.cpp. All functions
// are safe to call from any thread; a descriptor's offset is shared, so callers that seek and
// then read hold their own lock around the pair.
//
// Windows: a positioned read (ReadFullAt) on the synchronous handles used here moves the shared
// offset while it reads; ReadFullAt puts it back afterwards, which is enough for a descriptor
// one thread uses, but not against another thread's seek-then-read. So the package's shared
// descriptor is read only with ReadFullAt (the directory, entry streams, Copy's entry reader,
// SendFileRange) and nothing relies on its offset; SeekTo there only checks that an entry's
// offset can be reached.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/unique_fd.h"

namespace kelvane::platform {

// Opens an existing file read-only. Invalid on failure. On Windows others may read, write and
// delete the file while it is open, as on Linux.
UniqueFd OpenReadOnly(const std::string& path);

// Creates |path| for writing, replacing an existing file (mode 0666 less the umask; on Windows
// the folder's default security).
// Invalid on failure. |*is_regular| tells whether the result is a regular file, so that a
// caller may remove what it created without ever removing a device or a pipe.
UniqueFd CreateForWriting(const std::string& path, bool* is_regular);

// Opens |path| for writing at its end, creating it when it does not exist (as CreateForWriting
// does); every write goes to the end of the file. Invalid on failure, with |*error_number| set
// to the errno value of the failure (on Windows the nearest one).
UniqueFd OpenForAppending(const std::string& path, int* error_number);

// Moves the descriptor's offset to |offset| bytes from the start; returns the new offset,
// or -1 when the move failed.
int64_t SeekTo(int fd, int64_t offset);

// Moves the descriptor's offset to |offset| bytes before the end (|offset| >= 0); returns
// the new offset or -1.
int64_t SeekFromEnd(int fd, int64_t offset);

// Size of the open file in bytes, or -1.
int64_t FileSize(int fd);

// Reads until |size| bytes arrived or the file ended. Returns the count read (smaller than
// |size| only at the end of the file), or -1 on an error.
long ReadFull(int fd, void* buffer, size_t size);

// Like ReadFull, at |offset| without moving the descriptor's offset.
long ReadFullAt(int fd, void* buffer, size_t size, int64_t offset);

// Writes every byte; false after a failed write (what was written before stays written).
bool WriteAll(int fd, const void* data, size_t size);

// Sets last access and last write times, each in nanoseconds since 1970-01-01 UTC.
bool SetFileTimes(int fd, int64_t access_ns, int64_t write_ns);

// Takes every write permission away from the open file (on Windows: the read-only attribute;
// the descriptor itself may still write).
bool MakeReadOnly(int fd);

// Closes a descriptor that the caller released from its owner; false when close reported an
// error (the descriptor is gone either way).
bool CloseFd(int fd);

// Removes |path|; false when it could not be removed. A read-only file is removed too (Windows
// takes its read-only attribute off first).
bool RemoveFile(const std::string& path);

}  // namespace kelvane::platform
