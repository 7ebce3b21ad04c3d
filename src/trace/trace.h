// trace/trace.h -- the process-wide diagnostic trace file.
//
// Off unless the environment variable ARC2 names a file at static initialisation, or start-up
// opens one for "-log". Every statement of the core is the pair TraceWhere (module, line) and
// TracePrintf (message ending in "\n"), written together through KELVANE_TRACE. Any thread may
// trace; a statement's prefix and message reach the file as one write, flushed at once, with
// every "\n" written as CR LF. Failures to open or to write are ignored.
#pragma once

#include <cstdarg>

namespace kelvane::trace {

// Opens |file_name| for appending. False, and nothing changes, when a trace file is already
// open; otherwise whether the open succeeded.
bool TraceOpenFile(const char* file_name);

// Remembers the prefix "%s(%d): " for this thread's next TracePrintf, the source path cut at
// its last '/' or '\' (separator kept). Always true; does nothing while no file is open.
bool TraceWhere(const char* source_path, int line);

// Writes this thread's pending prefix, if any, and the formatted message.
void TracePrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void TraceVPrintf(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// Whether a trace file is open.
bool TraceIsOpen();

// Closes the trace file (the exit handler does this). Later statements write nothing until a
// file is opened again.
void TraceClose();

}  // namespace kelvane::trace

// One trace statement of the calling module.
#define KELVANE_TRACE(...)                                      \
  do {                                                          \
    if (::kelvane::trace::TraceIsOpen()) {                      \
      ::kelvane::trace::TraceWhere(__FILE__, __LINE__);         \
      ::kelvane::trace::TracePrintf(__VA_ARGS__);               \
    }                                                           \
  } while (0)
