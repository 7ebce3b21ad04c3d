// platform/terminal_win.cpp -- the Windows twin of terminal line input (C runtime descriptors,
// the console's input mode).
#include "platform/terminal.h"

#include <windows.h>
#include <io.h>


namespace kelvane::platform {
namespace {

// The console input whose echo is off and the mode to give back, for the control handler.
// Written before the handler is installed and after it is removed.
HANDLE g_echo_handle = INVALID_HANDLE_VALUE;
DWORD g_saved_mode = 0;

// Runs on the system's thread for a console event while a line is typed without echo: gives
// the echo back and lets the next handler (the process's own, or the default) decide.
BOOL WINAPI RestoreEchoOnEvent(DWORD) {
  ::SetConsoleMode(g_echo_handle, g_saved_mode);
  return FALSE;
}

}  // namespace

bool IsTerminal(int fd) { return ::_isatty(fd) != 0; }

bool ReadLine(int fd, std::string* line) {
  line->clear();
  bool any = false;
  for (;;) {
    char c;
    const int n = ::_read(fd, &c, 1);
    if (n < 0) return false;
    if (n == 0) return any;
    any = true;
    if (c == '\n') break;
    line->push_back(c);
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

bool ReadLineNoEcho(int fd, std::string* line) {
  const HANDLE input = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  DWORD saved = 0;
  if (input == INVALID_HANDLE_VALUE || !::GetConsoleMode(input, &saved)) return ReadLine(fd, line);

  g_echo_handle = input;
  g_saved_mode = saved;
  const bool handler = ::SetConsoleCtrlHandler(RestoreEchoOnEvent, TRUE) != 0;
  ::SetConsoleMode(input, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  const bool read = ReadLine(fd, line);
  ::SetConsoleMode(input, saved);
  if (handler) ::SetConsoleCtrlHandler(RestoreEchoOnEvent, FALSE);
  g_echo_handle = INVALID_HANDLE_VALUE;

  // Without echo the Enter is not shown either; the Linux twin moves to the next line (ECHONL).
  const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD output_mode = 0;
  if (output != INVALID_HANDLE_VALUE && output != nullptr && ::GetConsoleMode(output, &output_mode)) {
    DWORD written = 0;
    ::WriteConsoleA(output, "\r\n", 2, &written, nullptr);
  }
  return read;
}

}  // namespace kelvane::platform
