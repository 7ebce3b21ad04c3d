// net/test_servers.h -- servers and connections the network tests run on loopback.
//
// TestServer makes its connections through a factory the test gives. Connection objects report
// to a shared ConnectionLog, which outlives the server so that a test can look at it after the
// server is gone.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "net/tcp_connection.h"
#include "net/tcp_server.h"
#include "net_test_util.h"

namespace kelvane::net::nettest {

// What a TestServer does in its own destructor, before the base destructor runs.
enum class Teardown {
  // Stop, then wait for the connection threads, as the base class asks of derived servers: no
  // thread calls into the server while its derived part goes.
  kStopAndWait,
  // Stop only; connection threads that have not ended are left to the base destructor.
  kStopOnly,
  // Nothing: the base destructor does all of it.
  kBaseOnly,
};

class TestServer : public TcpServer {
 public:
  using Factory = std::function<std::unique_ptr<TcpConnection>()>;

  explicit TestServer(Factory factory, Teardown teardown = Teardown::kStopAndWait)
      : factory_(std::move(factory)), teardown_(teardown) {}
  ~TestServer() override {
    if (teardown_ == Teardown::kStopAndWait) StopAndWait();
    if (teardown_ == Teardown::kStopOnly) Stop();
  }

  std::unique_ptr<TcpConnection> CreateConnection() override { return factory_(); }

  // Listen on a port the system picks, then Start; false when either fails.
  bool ListenAndStart() { return Listen(0) == 0 && Start() == 0; }

 private:
  Factory factory_;
  Teardown teardown_;
};

// What the connections of one test did.
struct ConnectionLog {
  std::atomic<int> live{0};              // connection objects in existence
  std::atomic<int> served{0};            // ServeClient calls begun
  std::atomic<int> finished{0};          // ServeClient calls ended
  std::atomic<int> refusals_begun{0};    // RefuseClient calls begun, at once or waiting
  std::atomic<int> refusals_ended{0};    // RefuseClient calls ended
  std::atomic<int> refused_at_once{0};   // RefuseClient calls with refusal_wait_seconds() 0
  std::atomic<int> without_no_delay{0};  // conversations begun on a socket without TCP_NODELAY;
                                         // counted before served or refusals_begun

  std::mutex mutex;  // guards the fields below
  std::string peer_address;
  uint16_t peer_port = 0;
  platform::SocketHandle listening_socket = platform::kInvalidSocket;
  TcpServer* server = nullptr;
};

// Holds its client until the client closes or the connection is shut down: reads lines and
// answers nothing. Refusals are the default ones, counted.
class HeldConnection : public TcpConnection {
 public:
  explicit HeldConnection(std::shared_ptr<ConnectionLog> log) : log_(std::move(log)) {
    ++log_->live;
  }
  ~HeldConnection() override { --log_->live; }

  void ServeClient() override {
    if (!NoDelayOn(socket())) ++log_->without_no_delay;
    ++log_->served;
    {
      std::lock_guard<std::mutex> hold(log_->mutex);
      log_->peer_address = PeerAddress();
      log_->peer_port = peer().port;
      log_->listening_socket = listening_socket();
      log_->server = server();
    }
    char line[256];
    while (ReceiveLine(line, sizeof line) > 0) {
    }
    ++log_->finished;
  }

  void RefuseClient() override {
    if (!NoDelayOn(socket())) ++log_->without_no_delay;
    if (refusal_wait_seconds() == 0) ++log_->refused_at_once;
    ++log_->refusals_begun;
    TcpConnection::RefuseClient();
    ++log_->refusals_ended;
  }

 private:
  std::shared_ptr<ConnectionLog> log_;
};

inline TestServer::Factory HeldFactory(const std::shared_ptr<ConnectionLog>& log) {
  return [log]() -> std::unique_ptr<TcpConnection> {
    return std::make_unique<HeldConnection>(log);
  };
}

// Plain TcpConnection objects: the default conversation.
inline TestServer::Factory PlainFactory() {
  return []() { return std::make_unique<TcpConnection>(); };
}

}  // namespace kelvane::net::nettest
