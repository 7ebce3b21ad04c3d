// app/server_app.h -- ServerApp: the start-up sequence, the main window's run, and the orderly
// end of the services before the process-wide objects go.
//
// The process-wide objects are made by main() in this order and destroyed in the reverse one:
// the diagnostic trace (static, trace/trace.cpp), ServerApp, the FileArchiveReader, the
// FtpDaemon, the LogView. Run is called once, on the process's first thread, which becomes the
// window's thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/front_end.h"
#include "app/settings.h"
#include "archive/FileArchiveReader.h"
#include "app/transfer_file.h"
#include "ftp/ftp_s.h"
#include "ftp/transfer_record.h"
#include "logview/log_view.h"

namespace kelvane::app {

// The process's exit status: 0 after a normal exit; otherwise the step that kept the program
// from serving.
enum ExitStatus : int {
  kExitNormal = 0,
  kExitNoArchiveName = 1,
  kExitArchiveNotOpened = 2,
  kExitPasswordRefused = 3,
  kExitFtpPortError = 4,
};

// What start-up takes from the process and the system, replaceable by tests.
struct StartupEnvironment {
  // The command line, the program's path (as invoked) first.
  std::vector<std::string> arguments;
  // The running executable's full path, the archive name; nullopt when unknown.
  std::function<std::optional<std::string>()> executable_path;
  // The settings store of an application name.
  std::function<std::unique_ptr<SettingsStore>(const std::string& application)> open_settings;
  // Raises the soft limit of open descriptors (platform::RaiseDescriptorLimit); false when it
  // could not. None: the limit is left alone.
  std::function<bool()> raise_descriptor_limit = nullptr;
  // False leaves the daemon without a transfer observer: no Transfer lines, panel rows or
  // transfer file. It exists for the benchmark that measures what the record costs a download
  // (texts::kBenchNoTransferRecordVariable); nothing a user sets turns it off.
  bool record_transfers = true;
};

class ServerApp {
 public:
  ServerApp() = default;
  ServerApp(const ServerApp&) = delete;
  ServerApp& operator=(const ServerApp&) = delete;

  // The start-up sequence, the main window until it closes, Exit, then the end of every service
  // thread. The descriptor limit is raised once the trace is open and before any service
  // starts; a failure is traced and start-up goes on. Returns the exit status. When a connection thread is still alive after the bounded
  // wait, the process ends here (std::_Exit with the status) rather than destroy objects it
  // uses.
  int Run(const StartupEnvironment& environment, archive::FileArchiveReader& reader,
          ftp::FtpDaemon& daemon, logview::LogView& log_view, FrontEnd& front_end);

  // Known once Run has obtained the archive name.
  const std::string& archive_name() const { return archive_name_; }
  const std::string& application_name() const { return application_name_; }
  // Every download of the run; the daemon reports to it while Run lasts.
  ftp::TransferRecord& transfers() { return transfers_; }

 private:
  // Writes the transfer file when the LogFile setting names a log file.
  void OpenTransferFile(const std::string& log_file, FrontEnd& front_end);

  ftp::TransferRecord transfers_;
  std::unique_ptr<TransferFile> transfer_file_;
  std::string archive_name_;
  std::string application_name_;
};

}  // namespace kelvane::app
