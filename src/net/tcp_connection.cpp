// net/tcp_connection.cpp -- sends, receives and the default conversations of a connection.
#include "net/tcp_connection.h"

#include <cstring>

#include "platform/poll.h"

namespace kelvane::net {
namespace {

constexpr char kConnectSuccessful[] = "Connect Successful ... Now Disconnecting.";
constexpr char kTooManyConnections[] = "Too Many Connections, Please Try Later.";

}  // namespace

void TcpConnection::Attach(platform::SocketHandle socket, const platform::Ipv4Endpoint& peer,
                           platform::SocketHandle listening_socket,
                           TcpServer* server) {
  socket_ = socket;
  peer_ = peer;
  listening_socket_ = listening_socket;
  server_ = server;
}

void TcpConnection::ServeClient() {
  char line[100];
  if (ReceiveLine(line, sizeof line) > 0) {
    DrainInput();
    SendText(kConnectSuccessful);
  }
}

void TcpConnection::RefuseClient() {
  // Bounded, so that a silent client over the limit cannot hold this thread for ever.
  char scratch[255];
  const bool input = refusal_wait_seconds_ > 0 ? WaitReadable(refusal_wait_seconds_, 0) == 0
                                               : BytesPending();
  if (input && Receive(scratch, sizeof scratch, 0) > 0) SendText(kTooManyConnections);
}

int TcpConnection::Shutdown() {
  stop_.store(true, std::memory_order_release);
  platform::ShutdownBoth(socket_);
  return 0;
}

void TcpConnection::SetSendTimeout(int milliseconds) {
  platform::SetSendTimeout(socket_, milliseconds);
}

bool TcpConnection::SetOobInline() { return platform::SetOobInline(socket_); }

long TcpConnection::SendBytes(const char* data, long length, int flags) {
  const size_t size = length > 0 ? static_cast<size_t>(length) : std::strlen(data);
  return platform::SendAll(socket_, data, size, flags);
}

long TcpConnection::Receive(void* buffer, size_t size, int wait_seconds) {
  if (wait_seconds > 0 && WaitReadable(wait_seconds, 0) == 1) return 0;
  return platform::ReceiveSome(socket_, buffer, size);
}

int TcpConnection::ReceiveLine(char* buffer, int capacity) {
  if (capacity < 1) return -1;
  return platform::ReceiveLine(socket_, buffer, capacity);
}

long TcpConnection::ReceiveNow(void* buffer, size_t size) {
  const long n = platform::ReceiveNow(socket_, buffer, size);
  return n == platform::kNothingWaiting ? kNothingWaiting : n;
}

bool TcpConnection::LocalEndpoint(platform::Ipv4Endpoint* local) const {
  return platform::LocalEndpoint(socket_, local);
}

int TcpConnection::WaitReadable(int seconds, int microseconds) {
  const int64_t wait = static_cast<int64_t>(seconds) * 1000000 + microseconds;
  return platform::WaitReadable(socket_, wait) ? 0 : 1;
}

bool TcpConnection::BytesPending() { return platform::PendingBytes(socket_) > 0; }

int TcpConnection::DrainInput() {
  char scratch[256];
  while (BytesPending()) {
    if (Receive(scratch, sizeof scratch, 0) <= 0) break;
  }
  return 0;
}

}  // namespace kelvane::net
