// app/main.cpp -- the kelvane executable: the process-wide objects and the start-up sequence.
//
// The window front end comes later; until then the program always runs headless, which it
// would also do with KELVANE_HEADLESS=1 or without a display.
#include <string>
#include <vector>

#include "app/headless_front_end.h"
#include "app/qt_settings.h"
#include "app/server_app.h"
#include "archive/FileArchiveReader.h"
#include "ftp/ftp_s.h"
#include "logview/log_view.h"
#include "platform/process.h"

int main(int argc, char* argv[]) {
  using namespace kelvane;

  // The trace was set up during static initialisation (ARC2); the other four process-wide
  // objects follow in their order and go in the reverse one when main returns.
  app::ServerApp server_app;
  archive::FileArchiveReader reader;
  ftp::FtpDaemon daemon(reader);
  logview::LogView log_view;

  app::HeadlessFrontEnd front_end(app::HeadlessIo::FromProcess());

  app::StartupEnvironment environment;
  environment.arguments.assign(argv, argv + argc);
  environment.executable_path = platform::OwnExecutablePath;
  environment.open_settings = app::OpenQtSettings;

  return server_app.Run(environment, reader, daemon, log_view, front_end);
}
