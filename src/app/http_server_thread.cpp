// app/http_server_thread.cpp -- the HTTP service's thread and its port attempts.
#include "app/http_server_thread.h"

#include <algorithm>
#include <string>
#include <system_error>

#include "app/app_texts.h"
#include "app/front_end.h"
#include "app/startup_rules.h"
#include "trace/trace.h"

namespace kelvane::app {

HttpServerThread::~HttpServerThread() { Stop(); }

bool HttpServerThread::Start(archive::FileArchiveReader& reader, std::atomic<uint16_t>* port,
                             FrontEnd& front_end) {
  if (thread_.joinable()) return false;
  try {
    thread_ =
        std::thread(&HttpServerThread::Body, this, std::ref(reader), port, std::ref(front_end));
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> hold(mutex_);
    finished_ = true;
    return false;
  }
  return true;
}

void HttpServerThread::SetRequestLimits(std::chrono::milliseconds head_timeout,
                                        int minimum_body_rate) {
  head_timeout_ = head_timeout;
  minimum_body_rate_ = minimum_body_rate;
}

void HttpServerThread::Body(archive::FileArchiveReader& reader, std::atomic<uint16_t>* port,
                            FrontEnd& front_end) {
  int failed_attempts = 0;
  const uint16_t first_port = port->load();
  uint16_t last_port = first_port;
  bool stopped = false;
  for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
    last_port = port->load();
    auto server = std::make_shared<http::appsrv>(reader, "", last_port);
    server->TraceSink = trace::TraceVPrintf;
    server->SetHeadTimeout(head_timeout_);
    server->SetMinimumBodyRate(minimum_body_rate_);
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (stop_requested_) {
        stopped = true;
        break;
      }
      server_ = server;
      ++generation_;
    }
    changed_.notify_all();
    const bool ran = server->Run();
    {
      std::lock_guard<std::mutex> hold(mutex_);
      server_.reset();
      stopped = stop_requested_;
    }
    changed_.notify_all();
    if (ran) break;
    port->store(static_cast<uint16_t>(last_port + 1));
    ++failed_attempts;
    if (stopped) break;
  }
  {
    std::lock_guard<std::mutex> hold(mutex_);
    finished_ = true;
  }
  changed_.notify_all();
  // A service ended by Stop at exit has nothing to report.
  if (failed_attempts > 0 && !stopped) {
    std::string message = Format(texts::kHttpRunFailedFormat, last_port);
    if (failed_attempts == kPortAttempts) {
      message += ' ';
      message += Format(texts::kHttpPortsTakenFormat, first_port, last_port);
    }
    front_end.ShowMessage(message);
  }
}

void HttpServerThread::Stop() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stop_requested_ = true;
    // Lasting: an attempt that has not begun to listen yet returns from Run at once.
    if (server_) server_->Stop();
  }
  changed_.notify_all();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

uint16_t HttpServerThread::WaitListening(std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  uint64_t waited_generation = 0;
  for (;;) {
    std::shared_ptr<http::appsrv> server;
    {
      std::unique_lock<std::mutex> hold(mutex_);
      // Wait for an attempt not yet looked at, or for the end.
      const bool ready = changed_.wait_until(hold, deadline, [&] {
        return finished_ || stop_requested_ ||
               (server_ != nullptr && generation_ != waited_generation);
      });
      if (!ready || finished_ || stop_requested_) return 0;
      server = server_;
      waited_generation = generation_;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return 0;
    const uint16_t listening = server->WaitListening(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
    if (listening != 0) return listening;
  }
}

}  // namespace kelvane::app
