// app/main_window.cpp -- the main window's initialisation, its port error dialogue, Exit and
// the read-me command.
#include "app/main_window.h"

#include "app/app_texts.h"
#include "app/password.h"
#include "app/read_me.h"
#include "app/startup_rules.h"
#include "platform/process.h"

namespace kelvane::app {

MainWindow::MainWindow(archive::FileArchiveReader& reader, ftp::FtpDaemon& daemon,
                       logview::LogView& log_view, SettingsStore& settings, FrontEnd& front_end)
    : reader_(reader),
      daemon_(daemon),
      log_view_(log_view),
      settings_(settings),
      front_end_(front_end),
      temporary_folder_(platform::TemporaryFolder),
      may_bind_(platform::MayBindPort) {}

MainWindow::~MainWindow() {
  http_thread_.Stop();
  package_check_.Stop();
  DetachLog();
}

void MainWindow::DetachLog() {
  if (following_log_) log_view_.RemoveObserver(this);
  following_log_ = false;
  if (log_attached_) front_end_.DetachLog(log_view_);
  log_attached_ = false;
}

void MainWindow::OnLogFileFailed(std::string_view path, int error_number) {
  front_end_.ShowStatus(LogFileFailedText(path, error_number));
}

MainWindow::InitResult MainWindow::Initialise() {
  front_end_.SetLogLines(static_cast<size_t>(settings_.LogLines()));
  front_end_.AttachLog(log_view_);
  log_attached_ = true;
  daemon_.SetCommandTimeout(0);
  daemon_.SetIdleTimeout(settings_.IdleTimeout());
  daemon_.SetMode(settings_.FtpMode());
  daemon_.SetPassivePorts(settings_.PassivePorts());
  daemon_.SetPassiveAddress(settings_.PassiveAddress());

  const uint16_t ftp_port = PortFromSetting(settings_.FtpPort());
  http_port_.store(PortFromSetting(settings_.HttpPort()));

  const archive::ArchiveCursor root(reader_.directory());
  if (!CheckPackagePassword(reader_, root, front_end_)) return InitResult::kPasswordRefused;

  if (daemon_.Listen(ftp_port) != 0) {
    PortErrorDialogue(ftp_port);
    return InitResult::kFtpPortError;
  }
  ftp_port_ = ftp_port;
  daemon_.SetLogSink(&log_view_);

  const std::string log_file = settings_.LogFile();
  if (!log_file.empty() && log_view_.SetLogFileName(log_file) == 0) {
    log_view_.AddObserver(this);
    following_log_ = true;
    log_view_.EnableLogFile();
  }

  // Without a version entry the window keeps its default caption; the call says which it is
  // to a front end that has no caption of its own.
  const std::optional<std::string> version = ReadEntryText(reader_, root, texts::kVersionEntry);
  front_end_.SetCaption(version ? std::string_view(*version) : texts::kDefaultCaption);

  log_view_.AddLine(texts::kProductLine, true);
  log_view_.AddLine(texts::kCopyrightLine, true);
  log_view_.AddLine(Format(texts::kFtpReadyFormat, ftp_port), true);

  front_end_.BeforeServicesStart();
  // Not looked at: a listener thread that fails to start leaves the port open but unserved.
  daemon_.Start();
  ChooseReadMe(root);
  StartPackageCheck();
  return InitResult::kRunning;
}

void MainWindow::StartPackageCheck() {
  archive::PackageCheckOptions options;
  const int megabytes = settings_.UnpackCacheMB();
  if (megabytes > 0) {
    options.scratch_folder = temporary_folder_();
    options.copy_limit = static_cast<uint64_t>(megabytes) << 20;
  }
  options.before_entry = before_entry_;
  // Not looked at: without the thread every entry is served as before the check reaches it.
  package_check_.Start(reader_, std::move(options), front_end_);
}

void MainWindow::PortErrorDialogue(uint16_t ftp_port) {
  const std::string executable = platform::OwnExecutablePath().value_or(std::string());
  if (!front_end_.AskYesNo(FtpPortErrorText(ftp_port, may_bind_(ftp_port), executable))) return;
  uint32_t new_ftp = ftp_port;
  uint32_t new_http = http_port_.load();
  if (!front_end_.EditPorts(&new_ftp, &new_http)) return;
  settings_.WritePorts(new_ftp, new_http);
  front_end_.ShowMessage(texts::kRestartNeeded);
}

void MainWindow::ChooseReadMe(const archive::ArchiveCursor& root) {
  // Only presence counts: each stream is closed again at once.
  if (reader_.OpenFile(root, texts::kHtmlReadMeEntry) != nullptr) {
    http_thread_.SetRequestLimits(std::chrono::seconds(settings_.HttpHeadTimeout()),
                                  settings_.HttpMinBodyRate());
    http_thread_.Start(reader_, &http_port_, front_end_);
    read_me_mode_ = ReadMeMode::Html;
  } else if (reader_.OpenFile(root, texts::kPdfReadMeEntry) != nullptr) {
    read_me_mode_ = ReadMeMode::Pdf;
  } else {
    read_me_mode_ = ReadMeMode::None;
  }
  front_end_.SetReadMeMode(read_me_mode_);
}

void MainWindow::Exit() {
  daemon_.Stop();
  daemon_.StopAll();
}

void MainWindow::ReadMe() {
  const std::optional<std::string> folder =
      read_me_mode_ == ReadMeMode::Pdf ? temporary_folder_() : std::nullopt;
  OpenReadMe(read_me_mode_, http_port_.load(), reader_, folder, front_end_);
}

uint16_t MainWindow::WaitHttpListening(std::chrono::milliseconds bound) {
  if (read_me_mode_ != ReadMeMode::Html) return 0;
  return http_thread_.WaitListening(bound);
}

}  // namespace kelvane::app
