// app/headless_front_end.cpp -- the terminal and the standard streams as the front end.
#include "app/headless_front_end.h"

#include "app/app_texts.h"
#include "app/device_addresses.h"
#include "app/startup_rules.h"
#include "app/transfer_report.h"
#include "platform/process.h"
#include "platform/terminal.h"

namespace kelvane::app {
namespace {

std::string_view WithoutLineEnds(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

bool ReadInputLine(int fd, std::string* line) { return platform::ReadLine(fd, line); }

}  // namespace

HeadlessIo HeadlessIo::FromProcess() {
  HeadlessIo io;
  io.interactive = platform::IsTerminal(io.input_fd);
  io.password = platform::GetEnvironment(texts::kPasswordVariable);
  const int fd = io.input_fd;
  io.read_secret = [fd](std::string* line) { return platform::ReadLineNoEcho(fd, line); };
  io.block_signals = platform::BlockTerminationSignals;
  io.wait_for_signal = platform::WaitForTerminationSignal;
  io.interfaces = platform::ListIpv4Interfaces;
  return io;
}

HeadlessFrontEnd::HeadlessFrontEnd(HeadlessIo io) : io_(std::move(io)) {
  if (!io_.read_secret) {
    const int fd = io_.input_fd;
    io_.read_secret = [fd](std::string* line) { return ReadInputLine(fd, line); };
  }
}

HeadlessFrontEnd::~HeadlessFrontEnd() {
  if (attached_ != nullptr) DetachLog(*attached_);
}

void HeadlessFrontEnd::ErrorLine(std::string_view text) {
  std::lock_guard<std::mutex> hold(err_mutex_);
  std::fwrite(text.data(), 1, text.size(), io_.err);
  std::fputc('\n', io_.err);
  std::fflush(io_.err);
}

void HeadlessFrontEnd::Prompt(std::string_view text) {
  std::lock_guard<std::mutex> hold(err_mutex_);
  std::fwrite(text.data(), 1, text.size(), io_.err);
  std::fflush(io_.err);
}

void HeadlessFrontEnd::ShowMessage(std::string_view text) { ErrorLine(text); }

void HeadlessFrontEnd::ShowStatus(std::string_view text) { ErrorLine(text); }

void HeadlessFrontEnd::ShowPackageCheck(std::string_view line) { ErrorLine(line); }

bool HeadlessFrontEnd::AskYesNo(std::string_view text) {
  ErrorLine(text);
  if (!io_.interactive) return false;
  Prompt(texts::kYesNoPrompt);
  std::string answer;
  if (!ReadInputLine(io_.input_fd, &answer)) return false;
  return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

bool HeadlessFrontEnd::AskPortField(const char* label, uint32_t* value) {
  for (;;) {
    Prompt(Format("%s [%u] ", label, *value));
    std::string line;
    if (!ReadInputLine(io_.input_fd, &line)) return false;
    // An empty answer keeps the value the field was filled with.
    if (line.find_first_not_of(" \t") == std::string::npos) line = std::to_string(*value);
    uint32_t checked = 0;
    const std::string message = CheckPortField(line, &checked);
    if (message.empty()) {
      *value = checked;
      return true;
    }
    ErrorLine(message);
  }
}

bool HeadlessFrontEnd::EditPorts(uint32_t* ftp_port, uint32_t* http_port) {
  if (!io_.interactive) return false;
  uint32_t ftp = *ftp_port;
  uint32_t http = *http_port;
  if (!AskPortField(texts::kFtpPortLabel, &ftp)) return false;
  if (!AskPortField(texts::kHttpPortLabel, &http)) return false;
  *ftp_port = ftp;
  *http_port = http;
  return true;
}

bool HeadlessFrontEnd::AskPassword(int showing, std::string* typed) {
  if (!io_.interactive) {
    if (showing != 1) return false;
    if (!io_.password) {
      ErrorLine(texts::kPasswordRequired);
      return false;
    }
    *typed = *io_.password;
    return true;
  }
  if (showing == 1) ErrorLine(texts::kPasswordPrompt);
  Prompt(texts::kPasswordLabel);
  std::string line;
  if (!io_.read_secret(&line)) return false;
  *typed = line;
  return true;
}

void HeadlessFrontEnd::SetCaption(std::string_view text) {
  ErrorLine(std::string(texts::kCaptionLabel) + std::string(WithoutLineEnds(text)));
}

void HeadlessFrontEnd::OpenDocument(const std::string& address) {
  ErrorLine(std::string(texts::kReadMeLabel) + address);
}

void HeadlessFrontEnd::AttachLog(logview::LogView& log_view) {
  if (attached_ == &log_view) return;
  if (attached_ != nullptr) DetachLog(*attached_);
  log_view.AddObserver(this);
  attached_ = &log_view;
}

void HeadlessFrontEnd::DetachLog(logview::LogView& log_view) {
  if (attached_ != &log_view) return;
  log_view.RemoveObserver(this);
  attached_ = nullptr;
}

void HeadlessFrontEnd::OnLineAdded(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), io_.out);
  std::fputc('\n', io_.out);
  std::fflush(io_.out);
}

void HeadlessFrontEnd::BeforeServicesStart() {
  if (io_.block_signals) io_.block_signals();
}

void HeadlessFrontEnd::AttachTransfers(ftp::TransferRecord& record) {
  record.AddFinishedListener([this](const ftp::TransferRow& row) { ErrorLine(TransferLine(row)); });
}

void HeadlessFrontEnd::TransfersEnded(const ftp::TransferTotals& totals) {
  ErrorLine(TransferTotalsLine(totals));
}

void HeadlessFrontEnd::Run(MainWindowCommands& window) {
  uint16_t http_port = 0;
  switch (window.read_me_mode()) {
    case ReadMeMode::Html:
      // The addresses name the port the service really listens on, once it does.
      http_port = window.WaitHttpListening(kHttpReadyBound);
      if (http_port != 0) window.ReadMe();
      break;
    case ReadMeMode::Pdf:
      window.ReadMe();
      break;
    case ReadMeMode::None:
      break;
  }
  if (io_.interfaces) {
    for (const std::string& line :
         AddressLines(AddressesToShow(io_.interfaces()), window.ftp_port(), http_port)) {
      ErrorLine(line);
    }
  }
  ErrorLine(texts::kRunningNotice);
  if (io_.wait_for_signal) io_.wait_for_signal();
}

}  // namespace kelvane::app
