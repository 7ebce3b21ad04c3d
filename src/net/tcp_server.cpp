// net/tcp_server.cpp -- listening, the listener thread, connection threads and stopping.
#include "net/tcp_server.h"

#include <system_error>

namespace kelvane::net {
namespace {

// Room for the whole limit arriving at once: with a short queue Linux answers a burst with SYN
// cookies and may drop handshakes, leaving clients waiting for a greeting that never comes.
constexpr int kBacklog = 64;
// How long a destroyed server lets its connections end on their own before telling them to.
constexpr std::chrono::milliseconds kDestroyGrace{2000};
constexpr std::chrono::milliseconds kDestroyBound{10000};

// Connects to the listener so that its blocked accept returns. 0 done; 1 no socket; 2 connect
// failed.
int WakeListener(uint16_t port, uint32_t address) {
  platform::UniqueFd s = platform::NewStreamSocket();
  if (!s.valid()) return 1;
  if (!platform::Connect(s.get(), {address, port})) return 2;
  platform::ShutdownBoth(s.get());
  return 0;
}

}  // namespace

TcpServer::TcpServer() { platform::IgnoreBrokenPipe(); }

TcpServer::~TcpServer() {
  StopAndWait();
  if (listening_socket_.valid()) platform::ShutdownBoth(listening_socket_.get());
}

void TcpServer::StopAndWait() {
  Stop();
  if (listener_.joinable()) listener_.join();
  if (!WaitForConnections(kDestroyGrace)) {
    // Connection threads still use this object: make them end before it goes.
    StopAll();
    WaitForConnections(kDestroyBound);
  }
}

int TcpServer::Listen(uint16_t port) {
  listening_socket_ = platform::NewStreamSocket();
  if (!listening_socket_.valid()) return 2;
  // Without it the port stays refused while old connections linger after a restart; on Linux
  // it does not let two listeners share a port.
  platform::SetReuseAddress(listening_socket_.get());
  if (!platform::Bind(listening_socket_.get(), {platform::kAnyAddress, port})) return 3;
  if (!platform::Listen(listening_socket_.get(), kBacklog)) return 4;
  port_ = port != 0 ? port : platform::LocalPort(listening_socket_.get());
  return 0;
}

int TcpServer::Start() {
  if (running_.load()) return 1;
  if (listener_.joinable()) listener_.join();  // a listener that ended on a failed accept
  stop_request_.store(false);
  {
    std::lock_guard<std::mutex> hold(listener_mutex_);
    listener_done_ = false;
  }
  try {
    listener_ = std::thread(&TcpServer::ListenerLoop, this);
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> hold(listener_mutex_);
    listener_done_ = true;
    return 1;
  }
  running_.store(true);
  return 0;
}

int TcpServer::Stop() {
  if (!running_.load()) return 0;
  running_.store(false);
  stop_request_.store(true);
  WakeListener(port_, platform::kLoopback);

  bool ended;
  {
    std::unique_lock<std::mutex> hold(listener_mutex_);
    ended = listener_cv_.wait_for(hold, std::chrono::milliseconds(kStopWaitMs),
                                  [this] { return listener_done_; });
  }
  if (!ended) {
    // A thread cannot be killed safely: shutting the listening socket down makes accept fail.
    platform::ShutdownBoth(listening_socket_.get());
  }
  if (listener_.joinable()) listener_.join();
  return ended ? 0 : 1;
}

void TcpServer::ListenerLoop() {
  for (;;) {
    auto record = std::make_unique<AcceptRecord>();
    record->socket = platform::Accept(listening_socket_.get(), &record->peer);
    if (stop_request_.load()) {
      if (record->socket.valid()) platform::ShutdownBoth(record->socket.get());
      break;
    }
    if (!record->socket.valid()) break;
    record->listening_socket = listening_socket_.get();
    record->server = this;

    std::unique_ptr<TcpConnection> connection;
    try {
      connection = CreateConnection();
    } catch (...) {
      connection.reset();
    }
    if (!connection) {
      platform::ShutdownBoth(record->socket.get());
      continue;
    }
    {
      std::lock_guard<std::mutex> hold(threads_mutex_);
      record->too_many = live_threads_ >= MAX_CONNECTIONS;
      ++live_threads_;
    }
    try {
      std::thread(&TcpServer::ServeConnection, this, std::move(record), std::move(connection))
          .detach();
    } catch (const std::system_error&) {
      // The record and the connection went with the thread's state, which closed the client's
      // socket; if they did not move, shut the client out here.
      if (record && record->socket.valid()) platform::ShutdownBoth(record->socket.get());
      ConnectionThreadEnded();
    }
  }
  running_.store(false);
  stop_request_.store(false);
  std::lock_guard<std::mutex> hold(listener_mutex_);
  listener_done_ = true;
  listener_cv_.notify_all();
}

void TcpServer::ServeConnection(std::unique_ptr<AcceptRecord> record,
                                std::unique_ptr<TcpConnection> connection) {
  TcpConnection* raw = connection.get();
  raw->Attach(record->socket.get(), record->peer, record->listening_socket, this);
  Register(raw, std::this_thread::get_id(), record->socket.get());
  raw->SetSendTimeout(kSendTimeoutMs);
  try {
    if (record->too_many) {
      raw->RefuseClient();
    } else {
      raw->ServeClient();
    }
  } catch (...) {
    // Whatever escapes the conversation ends this connection only.
  }
  try {
    Unregister(std::this_thread::get_id());
  } catch (...) {
  }
  try {
    ReleaseConnection(std::move(connection));
  } catch (...) {
  }
  platform::ShutdownBoth(record->socket.get());
  record.reset();
  ConnectionThreadEnded();
}

void TcpServer::ConnectionThreadEnded() {
  std::lock_guard<std::mutex> hold(threads_mutex_);
  --live_threads_;
  threads_cv_.notify_all();
}

bool TcpServer::WaitForConnections(std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> hold(threads_mutex_);
  return threads_cv_.wait_for(hold, bound, [this] { return live_threads_ == 0; });
}

int TcpServer::Register(TcpConnection* connection, std::thread::id thread_id, int socket) {
  std::lock_guard<std::mutex> hold(lock_);
  connections_.push_front({connection, thread_id, socket});
  count_.store(static_cast<int>(connections_.size()), std::memory_order_relaxed);
  return 1;
}

int TcpServer::Unregister(std::thread::id thread_id) {
  std::lock_guard<std::mutex> hold(lock_);
  for (auto it = connections_.begin(); it != connections_.end(); ++it) {
    if (it->thread_id == thread_id) {
      connections_.erase(it);
      break;
    }
  }
  count_.store(static_cast<int>(connections_.size()), std::memory_order_relaxed);
  return 1;
}

int TcpServer::StopAll() {
  std::lock_guard<std::mutex> hold(lock_);
  int told = 0;
  for (ConnectionNode& node : connections_) {
    node.connection->Shutdown();
    ++told;
  }
  connections_.clear();
  count_.store(0, std::memory_order_relaxed);
  return told;
}

}  // namespace kelvane::net
