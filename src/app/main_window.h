// app/main_window.h -- MainWindow: what the main window does, without the window itself. Its
// initialisation brings the services up; Exit stops the FTP service; the read-me command opens
// the package's read-me. A front end (the Qt window, or the headless terminal) shows it.
//
// Window's thread, except that the HTTP thread it starts advances HttpPort and may show its
// message through the front end. Destroying it stops the HTTP thread and waits for it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/front_end.h"
#include "app/http_server_thread.h"
#include "app/package_check_thread.h"
#include "app/settings.h"
#include "archive/FileArchiveReader.h"
#include "ftp/ftp_s.h"
#include "logview/log_view.h"

namespace kelvane::app {

class MainWindow : public MainWindowCommands, private logview::LogObserver {
 public:
  enum class InitResult {
    kRunning,          // every service started; the window runs
    kPasswordRefused,  // the window closes with result 1; nothing was started
    kFtpPortError,     // the window closes with result 1 after the port error dialogue
  };

  // None of the objects is owned; all must outlive the window.
  MainWindow(archive::FileArchiveReader& reader, ftp::FtpDaemon& daemon, logview::LogView& log_view,
             SettingsStore& settings, FrontEnd& front_end);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // The initialisation: log view, command and idle time-outs, ports, password, Listen, log
  // sink, log file, caption, status lines, Start, read-me and HTTP thread, in that order.
  InitResult Initialise();

  // Exit (and the close box): Stop, then StopAll of the FTP service.
  void Exit();

  // Ends the HTTP thread and waits for it; at exit, before the objects it uses go away.
  void StopHttpService() { http_thread_.Stop(); }
  // Ends the package check and waits for it; at exit, before the reader closes.
  void StopPackageCheck() { package_check_.Stop(); }
  // Waits up to |bound| for the package check that Initialise started; its result, or nullopt.
  std::optional<archive::PackageCheckResult> WaitPackageCheck(std::chrono::milliseconds bound) {
    return package_check_.WaitFinished(bound);
  }

  // Stops showing the log (the destructor does it too): at exit, once no session adds lines.
  void DetachLog();

  void ReadMe() override;
  ReadMeMode read_me_mode() const override { return read_me_mode_; }
  uint16_t WaitHttpListening(std::chrono::milliseconds bound) override;
  uint16_t ftp_port() const override { return ftp_port_; }

  // The HTTP port in use, as the HTTP thread last advanced it.
  uint16_t http_port() const { return http_port_.load(); }

  // Where the PDF read-me and the package check's scratch file go; the system's temporary
  // folder unless a test says otherwise.
  void SetTemporaryFolder(std::function<std::optional<std::string>()> folder) {
    temporary_folder_ = std::move(folder);
  }
  // Whether the process may bind a port, for the cause of a refused FTP port; the system's
  // answer (platform::MayBindPort) unless a test says otherwise.
  void SetPortPrivilege(std::function<bool(uint16_t)> may_bind) { may_bind_ = std::move(may_bind); }
  // Called by the package check before each entry (see PackageCheckOptions::before_entry), so
  // that a test can hold the check; before Initialise.
  void SetPackageCheckHook(std::function<void(std::string_view)> before_entry) {
    before_entry_ = std::move(before_entry);
  }

 private:
  // The log file that does not open, told by the log view on the thread that added the line.
  void OnLineAdded(std::string_view /*text*/) override {}
  void OnLogFileFailed(std::string_view path, int error_number) override;

  void PortErrorDialogue(uint16_t ftp_port);
  void ChooseReadMe(const archive::ArchiveCursor& root);
  void StartPackageCheck();

  archive::FileArchiveReader& reader_;
  ftp::FtpDaemon& daemon_;
  logview::LogView& log_view_;
  AppSettings settings_;
  FrontEnd& front_end_;

  ReadMeMode read_me_mode_ = ReadMeMode::None;
  // Shared with the HTTP thread, which advances it while ports cannot be opened.
  std::atomic<uint16_t> http_port_{0};
  uint16_t ftp_port_ = 0;  // set by Initialise
  std::function<std::optional<std::string>()> temporary_folder_;
  std::function<bool(uint16_t)> may_bind_;
  std::function<void(std::string_view)> before_entry_;
  bool log_attached_ = false;
  bool following_log_ = false;  // registered for the log file's failures
  // Last: destroyed first, so the threads end before the fields they read.
  PackageCheckThread package_check_;
  HttpServerThread http_thread_;
};

}  // namespace kelvane::app
