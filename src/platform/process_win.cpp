// platform/process_win.cpp -- the Windows twin of the process services. The termination
// "signals" are the console's control events, turned into the numbers the Linux twin returns.
#include "platform/process.h"

#include <windows.h>

#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>

namespace kelvane::platform {
namespace {

// How long the handler of a close, log-off or shut-down event holds the process: the system
// ends it as soon as the handler returns (for a close, 5 s after the event at the latest), and
// the waiter needs the time to end the program in order. The handler's thread ends with the
// process when the program exits first.
constexpr DWORD kCloseGraceMs = 4500;

// The event the console's handler thread recorded for WaitForTerminationSignal; 0 for none.
std::mutex g_event_lock;
std::condition_variable g_event_arrived;
int g_event = 0;

int SignalNumberOf(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
      return SIGINT;
    case CTRL_BREAK_EVENT:
      return SIGBREAK;
    default:  // CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT
      return SIGTERM;
  }
}

// Runs on a thread the system starts for each console event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  {
    std::lock_guard<std::mutex> hold(g_event_lock);
    if (g_event == 0) g_event = SignalNumberOf(event);
  }
  g_event_arrived.notify_all();
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) ::Sleep(kCloseGraceMs);
  return TRUE;  // handled: the process is not ended here, the waiter ends it
}

bool IsDirectory(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

// Paths of MAX_PATH characters or more are reported as missing: the ANSI call cuts them.
std::optional<std::string> OwnExecutablePath() {
  char path[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::nullopt;
  return std::string(path, n);
}

std::optional<std::string> GetEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

// GetTempPath's folder (%TMP%, %TEMP%, %USERPROFILE% or the Windows folder), ending in '\'.
std::optional<std::string> TemporaryFolder() {
  char path[MAX_PATH + 1] = {};
  const DWORD n = ::GetTempPathA(sizeof path, path);
  if (n == 0 || n >= sizeof path) return std::nullopt;
  std::string folder(path, n);
  if (!IsDirectory(folder)) return std::nullopt;
  if (folder.back() != '\\' && folder.back() != '/') folder.push_back('\\');
  return folder;
}

// Windows has no soft limit of sockets or handles to raise.
bool RaiseDescriptorLimit() { return true; }

// Windows has no privileged ports.
bool MayBindPort(uint16_t) { return true; }

// Installs the console handler; a process without a console gets no events, and waits for ever.
bool BlockTerminationSignals() { return ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0; }

int WaitForTerminationSignal() {
  std::unique_lock<std::mutex> hold(g_event_lock);
  g_event_arrived.wait(hold, [] { return g_event != 0; });
  const int event = g_event;
  g_event = 0;
  return event;
}

}  // namespace kelvane::platform
