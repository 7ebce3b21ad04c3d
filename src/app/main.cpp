// app/main.cpp -- the kelvane executable: the process-wide objects and the start-up sequence.
//
// The program runs in a window (the Qt front end) when a display is named, and headless, on the
// terminal, with KELVANE_HEADLESS=1 or without a display. The QApplication exists only for the
// window and is made before the front end that uses it. --version and --help print their text
// and end the program before any of that.
#include <QApplication>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/app_texts.h"
#include "app/gui/qt_front_end.h"
#include "app/headless_front_end.h"
#include "app/qt_settings.h"
#include "app/server_app.h"
#include "app/startup_rules.h"
#include "app/usage.h"
#include "archive/FileArchiveReader.h"
#include "ftp/ftp_s.h"
#include "logview/log_view.h"
#include "platform/process.h"

int main(int argc, char* argv[]) {
  using namespace kelvane;

  if (const auto status = app::AnswerInfoOption(
          std::vector<std::string>(argv, argv + argc), platform::OwnExecutablePath().value_or(argc > 0 ? argv[0] : ""),
          KELVANE_VERSION, app::UsagePlatform::kLinux)) {
    return *status;
  }

  // The trace was set up during static initialisation (ARC2); the other four process-wide
  // objects follow in their order and go in the reverse one when main returns.
  app::ServerApp server_app;
  archive::FileArchiveReader reader;
  ftp::FtpDaemon daemon(reader);
  logview::LogView log_view;

  app::StartupEnvironment environment;
  environment.arguments.assign(argv, argv + argc);
  environment.executable_path = platform::OwnExecutablePath;
  environment.open_settings = app::OpenQtSettings;
  environment.raise_descriptor_limit = platform::RaiseDescriptorLimit;
  environment.record_transfers =
      !platform::GetEnvironment(app::texts::kBenchNoTransferRecordVariable).has_value();

  if (app::WantsHeadless(platform::GetEnvironment(app::texts::kHeadlessVariable),
                         platform::GetEnvironment("DISPLAY"),
                         platform::GetEnvironment("WAYLAND_DISPLAY"))) {
    app::HeadlessFrontEnd front_end(app::HeadlessIo::FromProcess());
    return server_app.Run(environment, reader, daemon, log_view, front_end);
  }

  gui::QtFrontEnd::TakeTerminationSignals();
  QApplication application(argc, argv);
  // Every message box's caption: the settings' application name, from the executable's name.
  const std::optional<std::string> executable = platform::OwnExecutablePath();
  const std::string application_name =
      app::ApplicationName(executable.value_or(argc > 0 ? argv[0] : ""));
  gui::QtFrontEnd front_end(QString::fromStdString(application_name));
  return server_app.Run(environment, reader, daemon, log_view, front_end);
}
