// platform/terminal_win.cpp -- the Windows twin of terminal line input: C runtime descriptors,
// and the console's echo mode for a password.
#include "platform/terminal.h"

#include <io.h>
#include <windows.h>

namespace kelvane::platform {

// _isatty is true for every character device, NUL among them: only a console counts here.
bool IsTerminal(int fd) {
  const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}

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
  const HANDLE console = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  DWORD saved = 0;
  if (console == INVALID_HANDLE_VALUE || !::GetConsoleMode(console, &saved)) {
    return ReadLine(fd, line);
  }
  // The console gives the mode back itself when the process ends, however it ends.
  ::SetConsoleMode(console, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  const bool read = ReadLine(fd, line);
  ::SetConsoleMode(console, saved);
  // The Enter was not echoed: move to the next line as the echo would have.
  DWORD written = 0;
  const HANDLE output = ::GetStdHandle(STD_ERROR_HANDLE);
  if (output != nullptr && output != INVALID_HANDLE_VALUE) {
    ::WriteFile(output, "\r\n", 2, &written, nullptr);
  }
  return read;
}

}  // namespace kelvane::platform
