// app/package_check_thread.cpp -- the package check's thread.
#include "app/package_check_thread.h"

#include <system_error>

#include "app/front_end.h"

namespace kelvane::app {

PackageCheckThread::~PackageCheckThread() { Stop(); }

bool PackageCheckThread::Start(archive::FileArchiveReader& reader,
                               archive::PackageCheckOptions options, FrontEnd& front_end) {
  if (thread_.joinable()) return false;
  options_ = std::move(options);
  stop_.store(false);
  try {
    thread_ = std::thread([this, &reader, &front_end] {
      const archive::PackageCheckResult result = archive::CheckPackage(
          reader, options_, [&front_end](std::string_view line) { front_end.ShowPackageCheck(line); },
          stop_);
      std::lock_guard<std::mutex> hold(mutex_);
      result_ = result;
      finished_.notify_all();
    });
  } catch (const std::system_error&) {
    // No thread: the services serve as they would before the check reached an entry.
    return false;
  }
  return true;
}

void PackageCheckThread::Stop() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
}

std::optional<archive::PackageCheckResult> PackageCheckThread::WaitFinished(
    std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> hold(mutex_);
  finished_.wait_for(hold, bound, [this] { return result_.has_value(); });
  return result_;
}

}  // namespace kelvane::app
