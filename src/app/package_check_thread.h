// app/package_check_thread.h -- PackageCheckThread: the thread that runs the package check
// (archive/package_check.h) once the services have started, telling its lines to the front end.
//
// The window's thread starts it and stops it at exit (Stop, which waits for the thread) before
// the reader closes. The check's own thread calls FrontEnd::ShowPackageCheck.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "archive/FileArchiveReader.h"
#include "archive/package_check.h"

namespace kelvane::app {

class FrontEnd;

class PackageCheckThread {
 public:
  PackageCheckThread() = default;
  ~PackageCheckThread();  // Stop
  PackageCheckThread(const PackageCheckThread&) = delete;
  PackageCheckThread& operator=(const PackageCheckThread&) = delete;

  // Starts the check of |reader|'s package with |options|; its lines go to |front_end|. Both
  // must outlive the thread. False when the thread could not start or was started before.
  bool Start(archive::FileArchiveReader& reader, archive::PackageCheckOptions options,
             FrontEnd& front_end);

  // Ends the check at its next block and waits for the thread. Idempotent.
  void Stop();

  // Waits up to |bound| for the check to end; its result, or nullopt when it has not ended (or
  // never started).
  std::optional<archive::PackageCheckResult> WaitFinished(std::chrono::milliseconds bound);

 private:
  archive::PackageCheckOptions options_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;  // guards result_
  std::condition_variable finished_;
  std::optional<archive::PackageCheckResult> result_;
};

}  // namespace kelvane::app
