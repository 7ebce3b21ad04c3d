// app/win32/window_probe.cpp -- window_probe.exe: finds kelvane.exe's main window from another
// process, as the GUI tests and the screenshot script need it, and prints what its controls show
// or closes it.
//
//   window_probe.exe show   [--caption PREFIX] [--wait SECONDS]
//   window_probe.exe close  [--caption PREFIX] [--wait SECONDS] [--exit-button]
//   window_probe.exe list
//   window_probe.exe scroll [--caption PREFIX] [--wait SECONDS] ACTION...
//
// The main window is a visible top-level dialog with a child 1000 of the class CUH_Control (the
// log view); --caption narrows that to a caption that begins with PREFIX. show and close wait for
// it up to --wait seconds (default 30). show prints one JSON object: the caption, the window's
// rectangle on the screen, and each child control's id, class, visibility and text. The log
// view answers WM_GETTEXT with its own window text, not with its lines; no message of the
// control hands out the lines. close posts WM_CLOSE (the close box), or with --exit-button
// clicks Exit, then waits until the window has gone. list prints every visible top-level window
// (message boxes too) without waiting. For a ListView child (the transfer panel) show adds its
// row count ("items").
//
// scroll drives the log view and prints, first as it is and then after each ACTION, one JSON
// line with both of its scroll bars as GetScrollInfo tells them (range, page, position). An
// ACTION is a message sent to the log view and handled before the probe reads the bars:
// vscroll=CODE and hscroll=CODE (WM_VSCROLL, WM_HSCROLL with an SB_ code; thumb=POS sends
// SB_THUMBPOSITION at POS), wheel=DELTA (WM_MOUSEWHEEL), key=VK (WM_KEYDOWN then WM_KEYUP), or a
// real mouse click (SendInput) on the vertical bar: click=up or click=down on its arrows,
// click=above or click=below in the trough next to the up or down arrow, click=log in the
// lines (which gives the log view the focus), or press=VK, a key pressed and released on the
// keyboard (SendInput, to the control that has the focus). A click on the bar and a key are
// waited for (bounded) until the vertical bar moves. Where GetScrollInfo cannot read another process's bars (Wine)
// the log view itself is asked (its kScrollInfoMessage).
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
constexpr const char* kListViewClass = "SysListView32";
constexpr UINT kListViewItemCount = 0x1004;  // LVM_GETITEMCOUNT, without commctrl.h
constexpr DWORD kPollMilliseconds = 100;
// How long a real click may take to move the bar.
constexpr ULONGLONG kClickBoundMilliseconds = 5000;
// A message to another process's window may wait for that window's thread at most this long.
constexpr UINT kSendTimeoutMilliseconds = 5000;

struct Options {
  std::string command;
  std::vector<std::string> actions;
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
  const std::string class_name = ClassName(control);
  std::string items;
  DWORD_PTR count = 0;
  if (class_name == kListViewClass &&
      SendMessageTimeoutA(control, kListViewItemCount, 0, 0, SMTO_ABORTIFHUNG,
                          kSendTimeoutMilliseconds, &count) != 0) {
    items = ", \"items\": " + std::to_string(count);
  }
  std::printf("%s{\"id\": %d, \"class\": %s, \"visible\": %s, \"text\": %s%s}",
              walk->first ? "" : ", ", GetDlgCtrlID(control), Json(class_name).c_str(),
              IsWindowVisible(control) ? "true" : "false", Json(Text(control)).c_str(),
              items.c_str());
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

// One field of a bar of the log view: GetScrollInfo where it reads another process's bars, the
// log view's own answer where it does not (Wine). -1 when neither tells.
constexpr UINT kScrollInfoMessage = WM_USER + 137;

long BarField(HWND log_view, int bar, UINT field) {
  SCROLLINFO info = {};
  info.cbSize = sizeof(info);
  info.fMask = SIF_ALL;
  if (GetScrollInfo(log_view, bar, &info)) {
    if (field == SIF_POS) return info.nPos;
    if (field == SIF_RANGE) return info.nMax;
    return static_cast<long>(info.nPage);
  }
  DWORD_PTR answer = 0;
  if (SendMessageTimeoutA(log_view, kScrollInfoMessage, static_cast<WPARAM>(bar), field,
                          SMTO_ABORTIFHUNG, kSendTimeoutMilliseconds, &answer) == 0) {
    return -1;
  }
  return static_cast<long>(static_cast<LRESULT>(answer));
}

std::string BarJson(HWND log_view, int bar) {
  char text[160];
  std::snprintf(text, sizeof text, "{\"max\": %ld, \"page\": %ld, \"pos\": %ld}",
                BarField(log_view, bar, SIF_RANGE), BarField(log_view, bar, SIF_PAGE),
                BarField(log_view, bar, SIF_POS));
  return text;
}

void PrintBars(HWND log_view, const std::string& action) {
  std::printf("{\"action\": %s, \"vertical\": %s, \"horizontal\": %s}\n", Json(action).c_str(),
              BarJson(log_view, SB_VERT).c_str(), BarJson(log_view, SB_HORZ).c_str());
  std::fflush(stdout);
}

bool Send(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  DWORD_PTR result = 0;
  return SendMessageTimeoutA(window, message, wparam, lparam, SMTO_ABORTIFHUNG,
                             kSendTimeoutMilliseconds, &result) != 0;
}

// A left click at |point| on the screen, as the mouse makes it.
bool Click(POINT point) {
  if (!SetCursorPos(point.x, point.y)) return false;
  INPUT inputs[2] = {};
  inputs[0].type = inputs[1].type = INPUT_MOUSE;
  inputs[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  return SendInput(2, inputs, sizeof(INPUT)) == 2;
}

// Where on the screen a click on the vertical bar of the log view (which has no border) lands
// for |part|: the middle of the up or down arrow, or the trough next to either arrow.
bool BarPoint(HWND log_view, const std::string& part, POINT* point) {
  RECT r = {};
  if (!GetWindowRect(log_view, &r)) return false;
  const int arrow = GetSystemMetrics(SM_CYVSCROLL);
  const auto style = static_cast<DWORD>(GetWindowLongPtrA(log_view, GWL_STYLE));
  const int bottom = r.bottom - ((style & WS_HSCROLL) != 0 ? GetSystemMetrics(SM_CYHSCROLL) : 0);
  point->x = r.right - GetSystemMetrics(SM_CXVSCROLL) / 2 - 1;
  if (part == "log") {  // the middle of the lines, to give the log view the focus
    point->x = (r.left + r.right) / 2;
    point->y = (r.top + r.bottom) / 2;
  } else if (part == "up") {
    point->y = r.top + arrow / 2;
  } else if (part == "down") {
    point->y = bottom - arrow / 2 - 1;
  } else if (part == "above") {
    point->y = r.top + arrow + 2;
  } else if (part == "below") {
    point->y = bottom - arrow - 3;
  } else {
    return false;
  }
  return true;
}

// Runs one ACTION on |log_view|; false when it is not one or could not be done.
bool Act(HWND log_view, const std::string& action) {
  const size_t equals = action.find('=');
  if (equals == std::string::npos) return false;
  const std::string name = action.substr(0, equals);
  const std::string value = action.substr(equals + 1);
  char* end = nullptr;
  const long number = std::strtol(value.c_str(), &end, 10);
  const bool numeric = !value.empty() && *end == '\0';
  if (name == "click" || name == "press") {
    const long before = BarField(log_view, SB_VERT, SIF_POS);
    if (name == "click") {
      POINT point = {};
      if (!BarPoint(log_view, value, &point) || !Click(point)) return false;
      if (value == "log") return true;  // nothing moves
    } else {
      INPUT inputs[2] = {};
      inputs[0].type = inputs[1].type = INPUT_KEYBOARD;
      inputs[0].ki.wVk = inputs[1].ki.wVk = static_cast<WORD>(number);
      inputs[1].ki.dwFlags = KEYEVENTF_KEYUP;
      if (!numeric || SendInput(2, inputs, sizeof(INPUT)) != 2) return false;
    }
    const ULONGLONG deadline = GetTickCount64() + kClickBoundMilliseconds;
    while (BarField(log_view, SB_VERT, SIF_POS) == before && GetTickCount64() < deadline) {
      Sleep(kPollMilliseconds / 4);
    }
    return true;
  }
  if (!numeric) return false;
  if (name == "vscroll") return Send(log_view, WM_VSCROLL, MAKEWPARAM(number, 0), 0);
  if (name == "hscroll") return Send(log_view, WM_HSCROLL, MAKEWPARAM(number, 0), 0);
  if (name == "thumb") {
    return Send(log_view, WM_VSCROLL, MAKEWPARAM(SB_THUMBPOSITION, number), 0);
  }
  if (name == "wheel") {
    return Send(log_view, WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<short>(number)), 0);
  }
  if (name == "key") {
    return Send(log_view, WM_KEYDOWN, static_cast<WPARAM>(number), 1) &&
           Send(log_view, WM_KEYUP, static_cast<WPARAM>(number), 1 | (3u << 30));
  }
  return false;
}

int ScrollLog(const Options& options) {
  HWND window = WaitForMainWindow(options);
  if (window == nullptr) {
    std::fprintf(stderr, "window_probe: no main window within %g s\n", options.wait_seconds);
    return 1;
  }
  HWND log_view = GetDlgItem(window, kLogViewId);
  PrintBars(log_view, "");
  for (const std::string& action : options.actions) {
    if (!Act(log_view, action)) {
      std::fprintf(stderr, "window_probe: %s could not be done\n", action.c_str());
      return action.find('=') == std::string::npos ? 2 : 1;
    }
    PrintBars(log_view, action);
  }
  return 0;
}

int Usage() {
  std::fputs(
      "usage: window_probe.exe show|close|list|scroll [--caption PREFIX] [--wait SECONDS] "
      "[--exit-button] [ACTION...]\n",
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
    } else if (options.command == "scroll" && argument.find('=') != std::string_view::npos) {
      options.actions.emplace_back(argument);
    } else {
      return Usage();
    }
  }
  if (options.command == "show") return Show(options);
  if (options.command == "close") return Close(options);
  if (options.command == "list") return List(options);
  if (options.command == "scroll") return ScrollLog(options);
  return Usage();
}
