// platform/process_win.cpp -- the Windows twin of the process services. The termination
// "signals" are the console's control events: Ctrl+C, Ctrl+Break, and the console window being
// closed (or the user logging off, the system shutting down).
#include "platform/process.h"

#include <windows.h>

#include <csignal>
#include <cstdlib>
#include <mutex>

#ifndef SIGBREAK
#define SIGBREAK 21
#endif

namespace kelvane::platform {
namespace {

// Set by the console's handler thread, taken by WaitForTerminationSignal. Never destroyed:
// the handler may run while the process ends.
HANDLE g_termination = nullptr;
volatile LONG g_signal = 0;

// How long the handler keeps a closing console from ending the process, so that the waiter can
// stop the services in order; Windows ends the process after about five seconds regardless.
constexpr DWORD kCloseGraceMs = 4000;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  int number;
  switch (event) {
    case CTRL_C_EVENT:
      number = SIGINT;
      break;
    case CTRL_BREAK_EVENT:
      number = SIGBREAK;
      break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      number = SIGTERM;
      break;
    default:
      return FALSE;
  }
  ::InterlockedCompareExchange(&g_signal, number, 0);
  ::SetEvent(g_termination);
  // Returning from a close event ends the process at once: give the waiter its grace first.
  if (number == SIGTERM) ::Sleep(kCloseGraceMs);
  return TRUE;
}

}  // namespace

std::optional<std::string> OwnExecutablePath() {
  char path[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return std::nullopt;  // none, or cut short
  return std::string(path, n);
}

std::string_view PathSeparators() { return "\\/"; }

std::optional<std::string> GetEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> TemporaryFolder() {
  char path[MAX_PATH + 1] = {};
  const DWORD n = ::GetTempPathA(sizeof path, path);
  if (n == 0 || n >= sizeof path) return std::nullopt;
  const DWORD attributes = ::GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return std::nullopt;
  }
  std::string folder(path, n);
  if (folder.back() != '\\' && folder.back() != '/') folder.push_back('\\');
  return folder;
}

// Windows has no per-process descriptor limit below the handles the system can give.
bool RaiseDescriptorLimit() { return true; }

// Windows has no privileged ports.
bool MayBindPort(uint16_t /*port*/) { return true; }

bool BlockTerminationSignals() {
  static std::once_flag once;
  static bool installed = false;
  std::call_once(once, [] {
    g_termination = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    installed = g_termination != nullptr && ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
  });
  return installed;
}

int WaitForTerminationSignal() {
  if (g_termination == nullptr) return -1;
  if (::WaitForSingleObject(g_termination, INFINITE) != WAIT_OBJECT_0) return -1;
  return static_cast<int>(g_signal);
}

}  // namespace kelvane::platform
