// app/http_server_thread.h -- HttpServerThread: the thread that runs the HTTP service on the
// package's pages, moving to the next port while one cannot be opened.
//
// The window's thread starts it (Start), may ask whether it listens (WaitListening) and stops it
// at exit (Stop, which waits for the thread). The thread is the only writer of the shared port
// after Start; the window reads it for the read-me address.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "archive/FileArchiveReader.h"
#include "http/srv.h"

namespace kelvane::app {

class FrontEnd;

class HttpServerThread {
 public:
  // How many ports are tried, from the configured one upwards.
  static constexpr int kPortAttempts = 20;

  HttpServerThread() = default;
  ~HttpServerThread();  // Stop
  HttpServerThread(const HttpServerThread&) = delete;
  HttpServerThread& operator=(const HttpServerThread&) = delete;

  // Starts the thread: up to 20 times it makes an appsrv on |*port| (empty root, trace sink the
  // diagnostic trace) and runs it; a port that cannot be opened advances |*port| by one (16-bit,
  // wrapping) and counts as a failed attempt. When at least one attempt failed and no Stop came,
  // the thread shows "Unable to run HTTP server on port %d!" with the last port tried, followed,
  // when every attempt failed, by the range of ports tried. |reader|,
  // |port| and |front_end| must outlive the thread. False when the thread could not start or
  // was started before.
  bool Start(archive::FileArchiveReader& reader, std::atomic<uint16_t>* port, FrontEnd& front_end);

  // The request limits every appsrv made gets: the time from a connection to its whole request
  // head, and the slowest rate a body may come at, in bytes per second (0: no bound for either).
  // By default the server's own (10 s, 500 bytes per second). Before Start.
  void SetRequestLimits(std::chrono::milliseconds head_timeout, int minimum_body_rate);

  // Ends the service and waits for the thread. Idempotent.
  void Stop();

  // Waits up to |bound| for the service to listen; its port, or 0 when it did not listen in
  // time, gave up, or was stopped.
  uint16_t WaitListening(std::chrono::milliseconds bound);

 private:
  void Body(archive::FileArchiveReader& reader, std::atomic<uint16_t>* port, FrontEnd& front_end);

  std::chrono::milliseconds head_timeout_{http::templ::kDefaultHeadTimeoutMs};
  int minimum_body_rate_ = http::templ::kDefaultMinimumBodyRate;
  std::thread thread_;
  std::mutex mutex_;  // guards the fields below
  std::condition_variable changed_;
  std::shared_ptr<http::appsrv> server_;  // the attempt under way, or null
  uint64_t generation_ = 0;               // counts the attempts begun
  bool stop_requested_ = false;
  bool finished_ = false;
};

}  // namespace kelvane::app
