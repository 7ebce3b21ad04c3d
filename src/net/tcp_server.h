// net/tcp_server.h -- a small multi-threaded TCP server: one listener thread, one thread per
// client, at most MAX_CONNECTIONS served at once, stopped by a wake-up connection.
//
// A service derives from TcpServer and provides CreateConnection, which the listener thread calls
// for each accepted client. The window's thread calls Listen, Start, Stop, StopAll and destroys
// the server; each connection thread runs one TcpConnection. The lock guards the connection list
// and count.
//
// A derived server's destructor must call StopAndWait() first: until the listener has ended it
// may still call CreateConnection, and connection objects may use the derived server's members
// until their threads end.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "net/tcp_connection.h"
#include "platform/socket.h"
#include "platform/unique_fd.h"

namespace kelvane::net {

class TcpServer;

// Made by the listener for each accepted client; owned by the connection thread.
struct AcceptRecord {
  platform::UniqueFd socket;
  int listening_socket = -1;
  platform::Ipv4Endpoint peer;
  bool too_many = false;  // the connection count was at the maximum when accepted
  TcpServer* server = nullptr;
};

// One registered connection.
struct ConnectionNode {
  TcpConnection* connection;
  std::thread::id thread_id;
  int socket;
};

class TcpServer {
 public:
  static constexpr int MAX_CONNECTIONS = 20;
  static constexpr int kStopWaitMs = 5000;
  static constexpr int kSendTimeoutMs = 30000;

  TcpServer();
  virtual ~TcpServer();
  TcpServer(const TcpServer&) = delete;
  TcpServer& operator=(const TcpServer&) = delete;

  // A new connection object for an accepted client, or nullptr (the client is then closed).
  // Called on the listener thread.
  virtual std::unique_ptr<TcpConnection> CreateConnection() = 0;
  // Disposes of what CreateConnection made, through its virtual destructor. Not virtual: it
  // runs on connection threads, which may still be ending while the server is destroyed.
  void ReleaseConnection(std::unique_ptr<TcpConnection> connection) { connection.reset(); }

  // Listens on |port| on every local address (port 0: one the system picks; port() tells).
  // 0 listening; 2 no socket; 3 bind failed; 4 listen failed. (1, a failed start of the
  // socket library, cannot happen here.)
  int Listen(uint16_t port);

  // Starts the listener thread: 0 started; 1 already running or the thread failed to start.
  int Start();

  // Ends the listener: 0 when it was not running or ended within 5000 ms of the wake-up
  // connection; 1 when it had to be forced out by shutting the listening socket down. The
  // listening socket stays open otherwise, so later clients queue unserved.
  int Stop();

  // Tells every registered connection to end (Shutdown) and empties the list without waiting.
  // Returns the number of connections told.
  int StopAll();

  // Waits up to |bound| for every connection thread to end; true when none is left.
  bool WaitForConnections(std::chrono::milliseconds bound);

  // Stop, then lets the connections end on their own for a short while, then tells the rest to
  // end and waits for them (bounded). Idempotent; the destructor calls it too.
  void StopAndWait();

  int ConnectionCount() const { return count_.load(std::memory_order_relaxed); }
  int Register(TcpConnection* connection, std::thread::id thread_id, int socket);
  int Unregister(std::thread::id thread_id);

  bool running() const { return running_.load(); }
  // The port last listened on; 0xFFFF before a successful Listen.
  uint16_t port() const { return port_; }

 private:
  void ListenerLoop();
  void ServeConnection(std::unique_ptr<AcceptRecord> record,
                       std::unique_ptr<TcpConnection> connection);
  void ConnectionThreadEnded();

  platform::UniqueFd listening_socket_;
  uint16_t port_ = 0xFFFF;

  std::thread listener_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stop_request_{false};
  std::mutex listener_mutex_;  // guards listener_done_
  std::condition_variable listener_cv_;
  bool listener_done_ = true;

  mutable std::mutex lock_;           // guards connections_ and the writes of count_
  std::list<ConnectionNode> connections_;  // newest first
  std::atomic<int> count_{0};

  std::mutex threads_mutex_;  // guards live_threads_
  std::condition_variable threads_cv_;
  // Connection threads started and not yet ended. It decides the limit: unlike the registered
  // count, it already includes clients whose threads have not registered yet.
  int live_threads_ = 0;
};

}  // namespace kelvane::net
