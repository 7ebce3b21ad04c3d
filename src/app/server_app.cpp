// app/server_app.cpp -- the start-up sequence and the orderly end of the services.
#include "app/server_app.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "app/app_texts.h"
#include "app/main_window.h"
#include "app/startup_rules.h"
#include "trace/trace.h"

namespace kelvane::app {
namespace {

// After Stop and StopAll the sessions end as soon as their sockets are shut; this bounds the
// wait for the last of them.
constexpr std::chrono::milliseconds kConnectionsEndBound{10000};

}  // namespace

int ServerApp::Run(const StartupEnvironment& environment, archive::FileArchiveReader& reader,
                   ftp::FtpDaemon& daemon, logview::LogView& log_view, FrontEnd& front_end) {
  const std::optional<std::string> executable = environment.executable_path();
  if (!executable || executable->empty()) {
    front_end.ShowMessage(texts::kNoArchiveName);
    return kExitNoArchiveName;
  }
  archive_name_ = *executable;
  application_name_ = ApplicationName(archive_name_);

  if (CommandLineWantsTrace(JoinCommandLine(environment.arguments))) {
    trace::TraceOpenFile(TraceFileName(archive_name_).c_str());
  }
  if (environment.raise_descriptor_limit && !environment.raise_descriptor_limit()) {
    KELVANE_TRACE("%s", texts::kDescriptorLimitTrace);
  }

  if (!reader.Open(archive_name_)) {
    front_end.ShowMessage(texts::kArchiveNotOpened);
    return kExitArchiveNotOpened;
  }

  const std::unique_ptr<SettingsStore> store = environment.open_settings(application_name_);
  if (front_end.PortsDialogRequested()) {
    AppSettings settings(*store);
    uint32_t ftp_port = settings.FtpPort();
    uint32_t http_port = settings.HttpPort();
    if (front_end.EditPorts(&ftp_port, &http_port)) settings.WritePorts(ftp_port, http_port);
  }

  OpenTransferFile(AppSettings(*store).LogFile(), front_end);
  front_end.AttachTransfers(transfers_);
  if (environment.record_transfers) daemon.SetTransferObserver(&transfers_);

  int status = kExitNormal;
  bool ran = false;
  MainWindow window(reader, daemon, log_view, *store, front_end);
  switch (window.Initialise()) {
    case MainWindow::InitResult::kRunning:
      front_end.Run(window);
      window.Exit();
      ran = true;
      break;
    case MainWindow::InitResult::kPasswordRefused:
      status = kExitPasswordRefused;
      break;
    case MainWindow::InitResult::kFtpPortError:
      status = kExitFtpPortError;
      break;
  }

  // Every service thread ends before the reader, the log view and the trace it uses; the
  // front end keeps showing the log until the last session has said goodbye.
  window.StopHttpService();
  window.StopPackageCheck();
  daemon.StopAndWait();
  if (!daemon.WaitForConnections(kConnectionsEndBound)) {
    std::fflush(nullptr);
    trace::TraceClose();
    std::_Exit(status);
  }
  daemon.SetLogSink(nullptr);
  daemon.SetTransferObserver(nullptr);
  if (ran) front_end.TransfersEnded(transfers_.Totals());
  window.DetachLog();
  return status;
}

void ServerApp::OpenTransferFile(const std::string& log_file, FrontEnd& front_end) {
  // The log file's own rule: a name it would refuse gets no transfer file either.
  if (log_file.empty() || log_file.size() > logview::DatedLogFile::kMaxNameLength) return;
  transfer_file_ = std::make_unique<TransferFile>(
      log_file, logview::TodayLocal, [&front_end](const std::string& path, int error_number) {
        front_end.ShowStatus(LogFileFailedText(path, error_number));
      });
  transfers_.AddFinishedListener(
      [file = transfer_file_.get()](const ftp::TransferRow& row) { file->Write(row); });
}

}  // namespace kelvane::app
