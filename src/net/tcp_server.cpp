// net/tcp_server.cpp -- listening, the listener thread, connection threads and stopping.
#include "net/tcp_server.h"

#include <system_error>

#include "trace/trace.h"

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
  platform::UniqueSocket s = platform::NewStreamSocket();
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
  if (listener_.joinable()) listener_.join();  // a listener whose listening socket failed
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
  bool pausing;
  {
    std::lock_guard<std::mutex> hold(listener_mutex_);
    stop_request_.store(true);
    pausing = listener_pausing_;
  }
  pause_cv_.notify_all();
  // A listener blocked in accept needs a client to return. (One that pauses after a failed
  // accept does not: the wake-up would only stay queued for the next Start. With descriptors
  // exhausted the wake-up may fail, but then so does the accept, and the listener pauses.)
  if (!pausing) WakeListener(port_, platform::kLoopback);

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
    platform::AcceptError error;
    record->socket = platform::Accept(listening_socket_.get(), &record->peer, &error);
    if (stop_request_.load()) {
      if (record->socket.valid()) platform::ShutdownBoth(record->socket.get());
      break;
    }
    if (!record->socket.valid()) {
      if (error.failure != platform::AcceptFailure::kTransient) {
        KELVANE_TRACE("TcpServer: accept failed for good (%s): the listener ends\n",
                      error.reason.c_str());
        break;
      }
      // What ran out is not back at once: clients wait in the backlog meanwhile.
      KELVANE_TRACE("TcpServer: accept failed (%s): accepting again in %d ms\n",
                    error.reason.c_str(), kAcceptPauseMs);
      if (PauseListener()) break;
      continue;
    }
    // The replies of a conversation go out a send each; Nagle's algorithm would hold each one
    // back until the client acknowledged the previous, which delayed acknowledgements stall.
    platform::SetNoDelay(record->socket.get());
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
    const Admission admission = Admit();
    if (admission == Admission::kRefuseAtOnce) {
      RefuseAtOnce(*record, std::move(connection));
      continue;
    }
    const bool refusal = admission == Admission::kRefuse;
    record->too_many = refusal;
    try {
      std::thread(&TcpServer::ServeConnection, this, std::move(record), std::move(connection))
          .detach();
    } catch (const std::system_error&) {
      // The record and the connection went with the thread's state, which closed the client's
      // socket; if they did not move, shut the client out here.
      if (record && record->socket.valid()) platform::ShutdownBoth(record->socket.get());
      ConnectionThreadEnded(refusal);
    }
  }
  running_.store(false);
  stop_request_.store(false);
  std::lock_guard<std::mutex> hold(listener_mutex_);
  listener_done_ = true;
  listener_cv_.notify_all();
}

bool TcpServer::PauseListener() {
  std::unique_lock<std::mutex> hold(listener_mutex_);
  listener_pausing_ = true;
  const bool stopped = pause_cv_.wait_for(hold, std::chrono::milliseconds(kAcceptPauseMs),
                                          [this] { return stop_request_.load(); });
  listener_pausing_ = false;
  return stopped;
}

TcpServer::Admission TcpServer::Admit() {
  std::lock_guard<std::mutex> hold(threads_mutex_);
  if (serving_threads_ < MAX_CONNECTIONS) {
    ++serving_threads_;
    return Admission::kServe;
  }
  if (refusing_threads_ < MAX_WAITING_REFUSALS) {
    ++refusing_threads_;
    return Admission::kRefuse;
  }
  return Admission::kRefuseAtOnce;
}

void TcpServer::RefuseAtOnce(AcceptRecord& record, std::unique_ptr<TcpConnection> connection) {
  TcpConnection* raw = connection.get();
  raw->Attach(record.socket.get(), record.peer, record.listening_socket, this);
  raw->SetSendTimeout(kSendTimeoutMs);
  raw->SetRefusalWait(0);
  try {
    raw->RefuseClient();
  } catch (...) {
  }
  try {
    ReleaseConnection(std::move(connection));
  } catch (...) {
  }
  platform::ShutdownBoth(record.socket.get());
}

void TcpServer::ServeConnection(std::unique_ptr<AcceptRecord> record,
                                std::unique_ptr<TcpConnection> connection) {
  TcpConnection* raw = connection.get();
  const bool refusal = record->too_many;
  raw->Attach(record->socket.get(), record->peer, record->listening_socket, this);
  Register(raw, std::this_thread::get_id(), record->socket.get(), refusal);
  raw->SetSendTimeout(kSendTimeoutMs);
  try {
    if (refusal) {
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
  ConnectionThreadEnded(refusal);
}

void TcpServer::ConnectionThreadEnded(bool refusal) {
  std::lock_guard<std::mutex> hold(threads_mutex_);
  --(refusal ? refusing_threads_ : serving_threads_);
  threads_cv_.notify_all();
}

bool TcpServer::WaitForConnections(std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> hold(threads_mutex_);
  return threads_cv_.wait_for(
      hold, bound, [this] { return serving_threads_ == 0 && refusing_threads_ == 0; });
}

int TcpServer::Register(TcpConnection* connection, std::thread::id thread_id,
                        platform::SocketHandle socket,
                        bool refusal) {
  std::lock_guard<std::mutex> hold(lock_);
  connections_.push_front({connection, thread_id, socket, refusal});
  if (!refusal) ++served_registered_;
  count_.store(served_registered_, std::memory_order_relaxed);
  return 1;
}

int TcpServer::Unregister(std::thread::id thread_id) {
  std::lock_guard<std::mutex> hold(lock_);
  for (auto it = connections_.begin(); it != connections_.end(); ++it) {
    if (it->thread_id == thread_id) {
      if (!it->refusal) --served_registered_;
      connections_.erase(it);
      break;
    }
  }
  count_.store(served_registered_, std::memory_order_relaxed);
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
  served_registered_ = 0;
  count_.store(0, std::memory_order_relaxed);
  return told;
}

}  // namespace kelvane::net
