// net/tcp_connection.h -- one accepted client connection and the byte-level operations on it.
//
// A service derives from TcpConnection and overrides ServeClient (and RefuseClient if it wants a
// different refusal). The object belongs to its connection thread, which also owns and closes
// the socket after the object is released; only Shutdown may be called from another thread
// (TcpServer::StopAll), to unblock a receive or a send. A client refused at once has no thread
// of its own: its object is used and released on the listener thread (see RefuseClient).
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "platform/socket.h"

namespace kelvane::net {

class TcpServer;

class TcpConnection {
 public:
  TcpConnection() = default;
  virtual ~TcpConnection() = default;
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // Carries out the conversation; returns when it is over. The default is a connectivity test:
  // one line in, "Connect Successful ... Now Disconnecting." out.
  virtual void ServeClient();

  // Answers a client that came in over the limit: waits up to refusal_wait_seconds() for it to
  // send something, then answers "Too Many Connections, Please Try Later." if it did. With
  // refusal_wait_seconds() 0 (too many refusals wait already) it runs on the listener thread
  // and must not wait: only input already pending is answered. An override must keep to that.
  virtual void RefuseClient();

  // Gives the connection its accepted socket (not owned), the client's endpoint, the listening
  // socket and the server. Called by the connection thread before serving.
  void Attach(platform::SocketHandle socket, const platform::Ipv4Endpoint& peer,
              platform::SocketHandle listening_socket, TcpServer* server);

  // Sets the stop flag and shuts the socket down both ways. Any thread. Returns 0.
  int Shutdown();
  bool stop_requested() const { return stop_.load(std::memory_order_acquire); }

  void SetSendTimeout(int milliseconds);
  // Keeps urgent bytes in the ordinary stream (see platform::SetOobInline).
  bool SetOobInline();

  // How long RefuseClient waits for the client's first input: kRefusalWaitSeconds unless the
  // server set 0 (see RefuseClient).
  static constexpr int kRefusalWaitSeconds = 10;
  void SetRefusalWait(int seconds) { refusal_wait_seconds_ = seconds; }
  int refusal_wait_seconds() const { return refusal_wait_seconds_; }

  // Sends every byte of |data| (|length| <= 0: the whole terminated text). Returns the bytes
  // sent, or -1 when a send failed.
  long SendBytes(const char* data, long length, int flags = 0);
  long SendText(const char* text) { return SendBytes(text, 0); }

  // One receive of up to |size| bytes. With |wait_seconds| > 0 it first waits that long for
  // input and returns 0 when none came. Otherwise as recv: 0 when the peer closed, -1 on error.
  long Receive(void* buffer, size_t size, int wait_seconds);

  // Reads one line, a byte per receive, into |buffer| of |capacity| bytes; LF ends it and is not
  // kept, CR is dropped wherever it occurs. Returns the bytes consumed (the LF included), or
  // |capacity| when capacity - 1 bytes came without a LF (the rest is the next line), or consumed
  // + 1 when the peer closed in mid-line; 0 when it closed before any byte; -1 on error.
  int ReceiveLine(char* buffer, int capacity);

  // One receive that never waits: the count, 0 when the peer closed, kNothingWaiting when no
  // byte is there, -1 on error.
  static constexpr long kNothingWaiting = -2;
  long ReceiveNow(void* buffer, size_t size);

  // The address and port the client reached (for an address to offer it); false when the
  // system cannot tell.
  bool LocalEndpoint(platform::Ipv4Endpoint* local) const;

  // 0 when the socket became readable within the time, 1 otherwise.
  int WaitReadable(int seconds, int microseconds);
  bool BytesPending();
  // Reads and discards whatever input is waiting. Returns 0.
  int DrainInput();

  // The client's IPv4 address as dotted text.
  std::string PeerAddress() const { return platform::FormatDotted(peer_.address); }
  const platform::Ipv4Endpoint& peer() const { return peer_; }
  platform::SocketHandle socket() const { return socket_; }
  platform::SocketHandle listening_socket() const { return listening_socket_; }
  TcpServer* server() const { return server_; }

 private:
  platform::SocketHandle socket_ = platform::kInvalidSocket;
  platform::Ipv4Endpoint peer_;
  platform::SocketHandle listening_socket_ = platform::kInvalidSocket;
  TcpServer* server_ = nullptr;
  int refusal_wait_seconds_ = kRefusalWaitSeconds;
  std::atomic<bool> stop_{false};
};

}  // namespace kelvane::net
