// net/tcp_server.h -- a small multi-threaded TCP server: one listener thread, one thread per
// client, at most MAX_CONNECTIONS served at once, stopped by a wake-up connection.
//
// A service derives from TcpServer and provides CreateConnection, which the listener thread calls
// for each accepted client. The window's thread calls Listen, Start, Stop, StopAll and destroys
// the server; each connection thread runs one TcpConnection. The lock guards the connection list
// and count.
//
// Admission: a client is served (ServeClient on its own thread) while fewer than MAX_CONNECTIONS
// sessions are; otherwise it is refused (RefuseClient). At most MAX_WAITING_REFUSALS refusals
// wait for their client at once, each on its own thread, and they do not count against the
// limit; beyond them a client is refused at once on the listener thread (RefuseClient with
// refusal_wait_seconds() 0: answered only if it already sent something) and closed.
//
// Every accepted socket gets TCP_NODELAY and the send time-out kSendTimeoutMs before its
// conversation starts. A failed accept that leaves the listening socket usable (descriptors or
// memory exhausted, ...) is traced and retried after kAcceptPauseMs, a pause that Stop cuts
// short; only Stop or a lost or shut-down listening socket ends the listener.
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

namespace kelvane::net {

class TcpServer;

// Made by the listener for each accepted client; owned by the connection thread.
struct AcceptRecord {
  platform::UniqueSocket socket;
  platform::SocketHandle listening_socket = platform::kInvalidSocket;
  platform::Ipv4Endpoint peer;
  bool too_many = false;  // MAX_CONNECTIONS were being served when accepted: a refusal
  TcpServer* server = nullptr;
};

// One registered connection.
struct ConnectionNode {
  TcpConnection* connection;
  std::thread::id thread_id;
  platform::SocketHandle socket;
  bool refusal = false;  // waiting to be refused: listed for StopAll, not counted
};

class TcpServer {
 public:
  // Sessions served at once.
  static constexpr int MAX_CONNECTIONS = 20;
  // Refusals that wait for their client at once, on threads of their own.
  static constexpr int MAX_WAITING_REFUSALS = 20;
  static constexpr int kStopWaitMs = 5000;
  static constexpr int kSendTimeoutMs = 30000;
  // The listener's pause after a transient accept failure.
  static constexpr int kAcceptPauseMs = 100;

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

  // Tells every registered connection to end (Shutdown), waiting refusals included, and empties
  // the list without waiting. Returns the number of connections told.
  int StopAll();

  // Waits up to |bound| for every connection thread (served or refusing) to end; true when
  // none is left.
  bool WaitForConnections(std::chrono::milliseconds bound);

  // Stop, then lets the connections end on their own for a short while, then tells the rest to
  // end and waits for them (bounded). Idempotent; the destructor calls it too.
  void StopAndWait();

  // The sessions being served that are registered: refusals do not count.
  int ConnectionCount() const { return count_.load(std::memory_order_relaxed); }
  // Lists a connection for StopAll; a |refusal| is not counted in ConnectionCount. Returns 1.
  int Register(TcpConnection* connection, std::thread::id thread_id,
               platform::SocketHandle socket, bool refusal = false);
  // Takes the connection of |thread_id| off the list (StopAll may have done it). Returns 1.
  int Unregister(std::thread::id thread_id);

  bool running() const { return running_.load(); }
  // The port last listened on; 0xFFFF before a successful Listen.
  uint16_t port() const { return port_; }

 private:
  enum class Admission { kServe, kRefuse, kRefuseAtOnce };

  void ListenerLoop();
  // Waits kAcceptPauseMs after a transient accept failure; true when Stop asked meanwhile.
  bool PauseListener();
  // Takes a served or a waiting refusal's slot for a new client, or says neither is free.
  Admission Admit();
  void ServeConnection(std::unique_ptr<AcceptRecord> record,
                       std::unique_ptr<TcpConnection> connection);
  // The refusal of a client beyond the waiting refusals, on the listener thread.
  void RefuseAtOnce(AcceptRecord& record, std::unique_ptr<TcpConnection> connection);
  void ConnectionThreadEnded(bool refusal);

  platform::UniqueSocket listening_socket_;
  uint16_t port_ = 0xFFFF;

  std::thread listener_;
  std::atomic<bool> running_{false};
  // Set by Stop; written under listener_mutex_ so that a pausing listener cannot miss it.
  std::atomic<bool> stop_request_{false};
  std::mutex listener_mutex_;  // guards listener_done_, listener_pausing_, setting stop_request_
  std::condition_variable listener_cv_;  // listener_done_ became true
  std::condition_variable pause_cv_;     // stop_request_ became true
  bool listener_done_ = true;
  bool listener_pausing_ = false;  // in PauseListener

  mutable std::mutex lock_;  // guards connections_, served_registered_ and the writes of count_
  std::list<ConnectionNode> connections_;  // newest first
  int served_registered_ = 0;              // the nodes of connections_ that are no refusals
  std::atomic<int> count_{0};

  std::mutex threads_mutex_;  // guards serving_threads_ and refusing_threads_
  std::condition_variable threads_cv_;
  // Connection threads started and not yet ended, serving and refusing. They decide admission:
  // unlike the registered count, they already include clients whose threads have not
  // registered yet.
  int serving_threads_ = 0;
  int refusing_threads_ = 0;
};

}  // namespace kelvane::net
