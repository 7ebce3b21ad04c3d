// trace/trace.cpp -- the diagnostic trace file, its static start from ARC2 and its exit handler.
#include "trace/trace.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace kelvane::trace {
namespace {

std::mutex g_mutex;               // guards g_file and every write to it
std::FILE* g_file = nullptr;
std::atomic<bool> g_open{false};  // lets a statement test for an open file without the lock

// The prefix of this thread's statement in progress, empty when there is none.
thread_local std::string t_prefix;

void CloseAtExit() { TraceClose(); }

// Reads ARC2 before start-up runs and registers the exit handler.
struct StaticStart {
  StaticStart() {
    if (const char* name = std::getenv("ARC2")) TraceOpenFile(name);
    std::atexit(CloseAtExit);
  }
};
const StaticStart g_static_start;

// Appends |text| to |out| with every "\n" written as CR LF, as a text file on disk shows it.
void AppendWithCrLf(std::string& out, const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\n') out.push_back('\r');
    out.push_back(text[i]);
  }
}

}  // namespace

bool TraceOpenFile(const char* file_name) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_file != nullptr) return false;
  g_file = std::fopen(file_name, "ab");
  g_open.store(g_file != nullptr, std::memory_order_release);
  return g_file != nullptr;
}

bool TraceWhere(const char* source_path, int line) {
  if (!TraceIsOpen()) return true;
  const char* name = source_path;
  for (const char* p = source_path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') name = p;
  }
  char prefix[512];
  const int n = std::snprintf(prefix, sizeof prefix, "%s(%d): ", name, line);
  if (n > 0) t_prefix.assign(prefix, std::min(static_cast<size_t>(n), sizeof prefix - 1));
  return true;
}

void TraceVPrintf(const char* format, va_list args) {
  if (!TraceIsOpen()) {
    t_prefix.clear();
    return;
  }
  char stack_buffer[1024];
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(stack_buffer, sizeof stack_buffer, format, copy);
  va_end(copy);
  if (n < 0) {
    t_prefix.clear();
    return;
  }
  std::string message;
  const char* text = stack_buffer;
  if (static_cast<size_t>(n) >= sizeof stack_buffer) {
    message.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(message.data(), message.size(), format, args);
    text = message.data();
  }

  std::string line;
  line.reserve(t_prefix.size() + static_cast<size_t>(n) + 8);
  AppendWithCrLf(line, t_prefix.data(), t_prefix.size());
  AppendWithCrLf(line, text, static_cast<size_t>(n));
  t_prefix.clear();

  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_file == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), g_file);
  std::fflush(g_file);
}

void TracePrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  TraceVPrintf(format, args);
  va_end(args);
}

bool TraceIsOpen() { return g_open.load(std::memory_order_acquire); }

void TraceClose() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_file != nullptr) std::fclose(g_file);
  g_file = nullptr;
  g_open.store(false, std::memory_order_release);
}

}  // namespace kelvane::trace
