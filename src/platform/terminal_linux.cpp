// platform/terminal_linux.cpp -- the Linux twin of terminal line input (POSIX termios).
#include "platform/terminal.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace kelvane::platform {
namespace {

// The terminal state to restore if a signal ends the process while echo is off. Written only
// while no handler is installed, read by the handler.
int g_echo_fd = -1;
termios g_saved_termios{};

constexpr int kRestoredSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void RestoreTerminalAndDie(int signal_number) {
  ::tcsetattr(g_echo_fd, TCSANOW, &g_saved_termios);  // async-signal-safe
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

}  // namespace

bool IsTerminal(int fd) { return ::isatty(fd) == 1; }

bool ReadLine(int fd, std::string* line) {
  line->clear();
  bool any = false;
  for (;;) {
    char c;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
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
  termios saved{};
  if (::tcgetattr(fd, &saved) != 0) return ReadLine(fd, line);

  g_echo_fd = fd;
  g_saved_termios = saved;
  struct sigaction restore {};
  restore.sa_handler = RestoreTerminalAndDie;
  sigemptyset(&restore.sa_mask);
  constexpr size_t kCount = sizeof kRestoredSignals / sizeof kRestoredSignals[0];
  struct sigaction previous[kCount];
  bool replaced[kCount] = {};
  for (size_t i = 0; i < kCount; ++i) {
    // A signal the process ignores stays ignored: it must not start ending the process here.
    if (::sigaction(kRestoredSignals[i], nullptr, &previous[i]) == 0 &&
        previous[i].sa_handler != SIG_IGN) {
      replaced[i] = ::sigaction(kRestoredSignals[i], &restore, nullptr) == 0;
    }
  }

  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;  // the Enter still moves the cursor to the next line
  ::tcsetattr(fd, TCSAFLUSH, &quiet);
  const bool read = ReadLine(fd, line);
  ::tcsetattr(fd, TCSANOW, &saved);

  for (size_t i = 0; i < kCount; ++i) {
    if (replaced[i]) ::sigaction(kRestoredSignals[i], &previous[i], nullptr);
  }
  g_echo_fd = -1;
  return read;
}

}  // namespace kelvane::platform
