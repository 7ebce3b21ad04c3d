// app/app_fakes.h -- a scripted front end and an in-memory settings store for the application's
// unit tests, and helpers for ports and packages.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/front_end.h"
#include "app/settings.h"
#include "logview/log_view.h"
#include "platform/socket.h"
#include "support/fixture_package.h"

namespace kelvane::app::test {

// Settings in a map of "section/key" to text; counts the flushes.
class MapSettings : public SettingsStore {
 public:
  std::map<std::string, std::string> values;
  int flushes = 0;

  void Set(const std::string& key, const std::string& text) { values["Parameters/" + key] = text; }
  std::optional<std::string> ReadText(std::string_view section, std::string_view key) override {
    const auto it = values.find(std::string(section) + "/" + std::string(key));
    if (it == values.end()) return std::nullopt;
    return it->second;
  }
  void WriteInteger(std::string_view section, std::string_view key, int32_t value) override {
    values[std::string(section) + "/" + std::string(key)] = std::to_string(value);
  }
  bool Flush() override {
    ++flushes;
    return true;
  }
};

// Answers from scripts and records what was shown.
class FakeFrontEnd : public FrontEnd, public logview::LogObserver {
 public:
  // Scripts.
  bool answer_yes = false;
  std::optional<std::pair<uint32_t, uint32_t>> ports_answer;  // nullopt: cancel
  std::deque<std::optional<std::string>> passwords;           // nullopt: cancel
  std::function<void(MainWindowCommands&)> on_run;

  // Records.
  std::vector<std::string> questions;
  std::vector<std::pair<uint32_t, uint32_t>> ports_shown;
  std::vector<std::string> field_at_showing;  // the field's text when each prompt opened
  std::optional<std::string> caption;
  std::optional<ReadMeMode> mode;
  std::vector<std::string> opened;
  bool services_started = false;

  std::vector<std::string> Messages() {
    std::lock_guard<std::mutex> hold(mutex_);
    return messages_;
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> hold(mutex_);
    return lines_;
  }
  std::vector<std::string> Statuses() {
    std::lock_guard<std::mutex> hold(mutex_);
    return statuses_;
  }
  std::vector<std::string> PackageChecks() {
    std::lock_guard<std::mutex> hold(mutex_);
    return package_checks_;
  }

  void ShowMessage(std::string_view text) override {
    std::lock_guard<std::mutex> hold(mutex_);
    messages_.emplace_back(text);
  }
  void ShowStatus(std::string_view text) override {
    std::lock_guard<std::mutex> hold(mutex_);
    statuses_.emplace_back(text);
  }
  void ShowPackageCheck(std::string_view line) override {
    std::lock_guard<std::mutex> hold(mutex_);
    package_checks_.emplace_back(line);
  }
  bool AskYesNo(std::string_view text) override {
    questions.emplace_back(text);
    return answer_yes;
  }
  bool EditPorts(uint32_t* ftp, uint32_t* http) override {
    ports_shown.emplace_back(*ftp, *http);
    if (!ports_answer) return false;
    std::tie(*ftp, *http) = *ports_answer;
    return true;
  }
  bool AskPassword(int /*showing*/, std::string* typed) override {
    field_at_showing.push_back(*typed);
    if (passwords.empty() || !passwords.front()) return false;
    *typed = *passwords.front();
    passwords.pop_front();
    return true;
  }
  bool PortsDialogRequested() override { return false; }
  void SetCaption(std::string_view text) override { caption = std::string(text); }
  void SetReadMeMode(ReadMeMode m) override { mode = m; }
  void OpenDocument(const std::string& address) override { opened.push_back(address); }
  void AttachLog(logview::LogView& log_view) override { log_view.AddObserver(this); }
  void DetachLog(logview::LogView& log_view) override { log_view.RemoveObserver(this); }
  void BeforeServicesStart() override { services_started = true; }
  void Run(MainWindowCommands& window) override {
    if (on_run) on_run(window);
  }
  void OnLineAdded(std::string_view text) override {
    std::lock_guard<std::mutex> hold(mutex_);
    lines_.emplace_back(text);
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> messages_;
  std::vector<std::string> lines_;
  std::vector<std::string> statuses_;
  std::vector<std::string> package_checks_;
};

// A socket listening on 127.0.0.1 at |port| (0: any free port), which keeps the port taken.
struct HeldPort {
  platform::UniqueSocket socket;
  uint16_t port = 0;
  explicit HeldPort(uint16_t wanted = 0) : socket(platform::NewStreamSocket()) {
    if (socket.valid() && platform::Bind(socket.get(), {platform::kLoopback, wanted}) &&
        platform::Listen(socket.get(), 1)) {
      port = platform::LocalPort(socket.get());
    }
  }
};

// A port that was free a moment ago.
inline uint16_t FreePort() { return HeldPort().port; }

// Writes a package of |files| (name, content) to |dir| and returns its path.
inline std::string WritePackage(const kelvane::test::TempDir& dir,
                                const std::vector<std::pair<std::string, std::string>>& files) {
  kelvane::test::PackageBuilder builder(std::string(4096, 'x'));
  for (const auto& [name, content] : files) builder.AddFile(name, content);
  return dir.Write("package.bin", builder.Build());
}

}  // namespace kelvane::app::test
