// app/win32/window_probe.cpp -- window_probe.exe: finds kelvane.exe's main window from another
// process, as the GUI tests and the screenshot script need it, and prints what its controls show
// or closes it.
//
//   window_probe.exe show  [--caption PREFIX] [--wait SECONDS]
//   window_probe.exe close [--caption PREFIX] [--wait SECONDS] [--exit-button]
//   window_probe.exe list
//
// The main window is a visible top-level dialog with a child 1000 of the class CUH_Control (the
// log view); --caption narrows that to a caption that begins with PREFIX. show and close wait for
// it up to --wait seconds (default 30). show prints one JSON object: the caption, the window's
// rectangle on the screen, and each child control's id, class, visibility and text. The log
// view answers WM_GETTEXT with its own window text, not with its lines; no message of the
// control hands out the lines. close posts WM_CLOSE (the close box), or with --exit-button
// clicks Exit, then waits until the window has gone. list prints every visible top-level window
// (message boxes too) without waiting.
//
// Exit status: 0 on success, 1 when no window showed (or, for close, did not go) in time, 2 for
// a wrong command line.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kLogViewId = 1000;
constexpr int kExitButtonId = 1002;
constexpr const char* kLogViewClass = "CUH_Control";
constexpr const char* kDialogClass = "#32770";
constexpr DWORD kPollMilliseconds = 100;
// A message to another process's window may wait for that window's thread at most this long.
constexpr UINT kSendTimeoutMilliseconds = 5000;

struct Options {
  std::string command;
  std::string caption_prefix;
  double wait_seconds = 30;
  bool exit_button = false;
};

std::string ClassName(HWND window) {
  char name[256] = {};
  const int length = GetClassNameA(window, name, sizeof name);
  return std::string(name, static_cast<size_t>(length > 0 ? length : 0));
}

// The text WM_GETTEXT gives, asked with a time-out so that a hung window cannot hold the probe.
std::string Text(HWND window) {
  DWORD_PTR length = 0;
  if (SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG,
                          kSendTimeoutMilliseconds, &length) == 0) {
    return {};
  }
  std::string text(static_cast<size_t>(length) + 1, '\0');
  DWORD_PTR copied = 0;
  if (SendMessageTimeoutA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                          SMTO_ABORTIFHUNG, kSendTimeoutMilliseconds, &copied) == 0) {
    return {};
  }
  text.resize(static_cast<size_t>(copied) < text.size() ? static_cast<size_t>(copied) : 0);
  return text;
}

// |text| as a JSON string; bytes outside ASCII are taken as Latin-1.
std::string Json(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte >= 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

bool IsMainWindow(HWND window, const Options& options) {
  if (!IsWindowVisible(window) || ClassName(window) != kDialogClass) return false;
  HWND log_view = GetDlgItem(window, kLogViewId);
  if (log_view == nullptr || ClassName(log_view) != kLogViewClass) return false;
  return Text(window).compare(0, options.caption_prefix.size(), options.caption_prefix) == 0;
}

struct Search {
  const Options* options;
  std::vector<HWND> found;
  bool visible_only_main;
};

BOOL CALLBACK Collect(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<Search*>(parameter);
  if (search->visible_only_main ? IsMainWindow(window, *search->options)
                                : IsWindowVisible(window) != FALSE) {
    search->found.push_back(window);
  }
  return TRUE;
}

std::vector<HWND> TopLevelWindows(const Options& options, bool main_only) {
  Search search{&options, {}, main_only};
  EnumWindows(Collect, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Polls for the main window until |options.wait_seconds| have passed; null when none showed.
HWND WaitForMainWindow(const Options& options) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(options.wait_seconds * 1000);
  for (;;) {
    const std::vector<HWND> found = TopLevelWindows(options, true);
    if (!found.empty()) return found.front();
    if (GetTickCount64() >= deadline) return nullptr;
    Sleep(kPollMilliseconds);
  }
}

struct ControlWalk {
  HWND dialog;
  bool first;
};

BOOL CALLBACK PrintControl(HWND control, LPARAM parameter) {
  auto* walk = reinterpret_cast<ControlWalk*>(parameter);
  // Only the dialog's own controls: EnumChildWindows walks grandchildren too.
  if (GetParent(control) != walk->dialog) return TRUE;
  std::printf("%s{\"id\": %d, \"class\": %s, \"visible\": %s, \"text\": %s}",
              walk->first ? "" : ", ", GetDlgCtrlID(control), Json(ClassName(control)).c_str(),
              IsWindowVisible(control) ? "true" : "false", Json(Text(control)).c_str());
  walk->first = false;
  return TRUE;
}

void PrintWindow(HWND window) {
  RECT rect = {};
  GetWindowRect(window, &rect);
  RECT client = {};
  GetClientRect(window, &client);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  std::printf(
      "{\"window\": \"0x%llx\", \"process\": %lu, \"class\": %s, \"caption\": %s, "
      "\"rect\": [%ld, %ld, %ld, %ld], \"client\": [%ld, %ld], \"controls\": [",
      static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)),
      static_cast<unsigned long>(process), Json(ClassName(window)).c_str(),
      Json(Text(window)).c_str(), rect.left, rect.top, rect.right, rect.bottom, client.right,
      client.bottom);
  ControlWalk walk{window, true};
  EnumChildWindows(window, PrintControl, reinterpret_cast<LPARAM>(&walk));
  std::printf("]}\n");
  std::fflush(stdout);
}

int Show(const Options& options) {
  HWND window = WaitForMainWindow(options);
  if (window == nullptr) {
    std::fprintf(stderr, "window_probe: no main window within %g s\n", options.wait_seconds);
    return 1;
  }
  PrintWindow(window);
  return 0;
}

int Close(const Options& options) {
  HWND window = WaitForMainWindow(options);
  if (window == nullptr) {
    std::fprintf(stderr, "window_probe: no main window within %g s\n", options.wait_seconds);
    return 1;
  }
  // Posted, not sent: the window's thread may be in a message box's loop for a while. Exit is
  // pressed by the notification its click sends the dialog; BM_CLICK itself needs the dialog
  // to be the active window, which under Xvfb without a window manager it need not be.
  const bool posted =
      options.exit_button
          ? PostMessageA(window, WM_COMMAND, MAKEWPARAM(kExitButtonId, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(window, kExitButtonId))) != 0
          : PostMessageA(window, WM_CLOSE, 0, 0) != 0;
  if (!posted) {
    std::fprintf(stderr, "window_probe: the message could not be posted (%lu)\n", GetLastError());
    return 1;
  }
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(options.wait_seconds * 1000);
  while (IsWindow(window) && IsWindowVisible(window)) {
    if (GetTickCount64() >= deadline) {
      std::fprintf(stderr, "window_probe: the window stayed open for %g s\n", options.wait_seconds);
      return 1;
    }
    Sleep(kPollMilliseconds);
  }
  return 0;
}

int List(const Options& options) {
  for (HWND window : TopLevelWindows(options, false)) PrintWindow(window);
  return 0;
}

int Usage() {
  std::fputs(
      "usage: window_probe.exe show|close|list [--caption PREFIX] [--wait SECONDS] "
      "[--exit-button]\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2) return Usage();
  Options options;
  options.command = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--caption" && i + 1 < argc) {
      options.caption_prefix = argv[++i];
    } else if (argument == "--wait" && i + 1 < argc) {
      char* end = nullptr;
      options.wait_seconds = std::strtod(argv[++i], &end);
      if (end == argv[i] || *end != '\0' || options.wait_seconds < 0) return Usage();
    } else if (argument == "--exit-button") {
      options.exit_button = true;
    } else {
      return Usage();
    }
  }
  if (options.command == "show") return Show(options);
  if (options.command == "close") return Close(options);
  if (options.command == "list") return List(options);
  return Usage();
}
