// app/win32/main_win.cpp -- kelvane.exe: the process-wide objects and the start-up sequence on
// Windows.
//
// kelvane.exe is one console-subsystem program for both ways of running. With KELVANE_HEADLESS=1
// it runs without its window in the console it was started from: the log on standard output,
// messages on standard error, Ctrl+C, Ctrl+Break or closing the console end it as Exit does.
// Otherwise it shows its window and lets go of a console that was made for it alone (a
// double-click shows that console for an instant); started from a console it keeps sharing it.
// A windows-subsystem program would not flash, but could not take Ctrl+C in the console it was
// started from. --version and --help print their text and end the program before anything else.
#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/app_texts.h"
#include "app/headless_front_end.h"
#include "app/server_app.h"
#include "app/startup_rules.h"
#include "app/usage.h"
#include "app/win32/registry_settings.h"
#include "app/win32/win32_front_end.h"
#include "archive/FileArchiveReader.h"
#include "ftp/ftp_s.h"
#include "logview/log_view.h"
#include "platform/process.h"

namespace {

// Frees the console when no other process shares it: it was made for this process alone, by a
// double-click in Explorer, and would stand empty beside the window.
void ReleaseOwnConsole() {
  DWORD processes[2] = {};
  if (::GetConsoleProcessList(processes, 2) == 1) ::FreeConsole();
}

}  // namespace

int main(int argc, char* argv[]) {
  using namespace kelvane;

  const std::vector<std::string> arguments(argv, argv + argc);
  if (const auto status = app::AnswerInfoOption(
          arguments, platform::OwnExecutablePath().value_or(argc > 0 ? argv[0] : ""),
          KELVANE_VERSION, app::UsagePlatform::kWindows)) {
    return *status;
  }

  // The trace was set up during static initialisation (ARC2); the other four process-wide
  // objects follow in their order and go in the reverse one when main returns.
  app::ServerApp server_app;
  archive::FileArchiveReader reader;
  ftp::FtpDaemon daemon(reader);
  logview::LogView log_view;

  app::StartupEnvironment environment;
  // "-log" is looked for in the command line exactly as Windows hands it over.
  environment.arguments = {::GetCommandLineA()};
  environment.executable_path = platform::OwnExecutablePath;
  environment.open_settings = win32::OpenRegistrySettings;
  environment.raise_descriptor_limit = platform::RaiseDescriptorLimit;
  environment.record_transfers =
      !platform::GetEnvironment(app::texts::kBenchNoTransferRecordVariable).has_value();

  // The Windows desktop is always there: only the variable asks for the headless program.
  if (app::WantsHeadless(platform::GetEnvironment(app::texts::kHeadlessVariable),
                         std::string("desktop"), std::nullopt)) {
    app::HeadlessFrontEnd front_end(app::HeadlessIo::FromProcess());
    const int status = server_app.Run(environment, reader, daemon, log_view, front_end);
    std::fflush(nullptr);
    return status;
  }

  ReleaseOwnConsole();
  const std::optional<std::string> executable = platform::OwnExecutablePath();
  win32::Win32FrontEnd front_end(::GetModuleHandleA(nullptr),
                                 app::ApplicationName(executable.value_or(argc > 0 ? argv[0] : "")));
  return server_app.Run(environment, reader, daemon, log_view, front_end);
}
