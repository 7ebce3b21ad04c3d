// http/httpsock.cpp -- the HTTP service's socket wrapper and the socket-library use counter.
#include "http/httpsock.h"

#include <cstring>
#include <mutex>

namespace kelvane::http {
namespace {

std::mutex g_uses_lock;  // guards g_uses: servers of tests and tools may live on several threads
int g_uses = 0;

// Clients wait in the listen backlog while one is served.
constexpr int kBacklog = 5;

void TakeUse() {
  std::lock_guard<std::mutex> hold(g_uses_lock);
  if (g_uses++ == 0) platform::IgnoreBrokenPipe();
}

void GiveUse() {
  std::lock_guard<std::mutex> hold(g_uses_lock);
  --g_uses;
}

}  // namespace

int SocketLibraryUses() {
  std::lock_guard<std::mutex> hold(g_uses_lock);
  return g_uses;
}

httpsock::httpsock() { TakeUse(); }

httpsock::~httpsock() {
  Close();
  GiveUse();
}

void httpsock::Close() { handle_.Reset(); }

void httpsock::Shutdown() {
  if (handle_.valid() && !aborted_) platform::ShutdownSend(handle_.get());
}

void httpsock::Abort() {
  if (handle_.valid() && !aborted_) platform::SetResetOnClose(handle_.get());
  aborted_ = true;
}

bool httpsock::SetTimeouts(int milliseconds) {
  return platform::SetReceiveTimeout(handle_.get(), milliseconds) &&
         platform::SetSendTimeout(handle_.get(), milliseconds);
}

int httpsock::SendBytes(const void* data, int count) {
  if (aborted_ || send_failed_ || !handle_.valid()) return -1;
  if (count <= 0) return 0;
  const long sent = platform::SendAll(handle_.get(), data, static_cast<size_t>(count));
  if (sent < 0) {
    send_failed_ = true;
    return -1;
  }
  return static_cast<int>(sent);
}

int httpsock::SendString(const char* text) {
  return SendBytes(text, static_cast<int>(std::strlen(text)));
}

int httpsock::ReceiveLine(char* buffer, int size) {
  receive_failed_ = false;
  if (size < 1) return 0;  // no room even for the terminator
  const int result = platform::ReceiveLine(handle_.get(), buffer, size);
  if (result < 0) receive_failed_ = true;
  return result;
}

int httpsock::ReceiveBytes(void* buffer, int count) {
  receive_failed_ = false;
  auto* out = static_cast<char*>(buffer);
  int received = 0;
  while (received < count) {
    const long n =
        platform::ReceiveSome(handle_.get(), out + received, static_cast<size_t>(count - received));
    if (n < 0) {
      receive_failed_ = true;
      return received == 0 ? -1 : received;
    }
    if (n == 0) break;
    received += static_cast<int>(n);
  }
  return received;
}

void httpsock::Adopt(platform::UniqueFd handle) {
  handle_ = std::move(handle);
  aborted_ = false;
  send_failed_ = false;
  receive_failed_ = false;
}

int httplistensock::Listen(const platform::Ipv4Endpoint& address) {
  Adopt(platform::NewStreamSocket());
  if (!is_open()) return -1;
  platform::SetReuseAddress(handle());
  if (!platform::Bind(handle(), address)) return -1;
  if (!platform::Listen(handle(), kBacklog)) return -1;
  return 0;
}

int httplistensock::Accept(httpsock& client, platform::Ipv4Endpoint* address) {
  client.Close();
  platform::Ipv4Endpoint peer;
  platform::UniqueFd accepted = platform::Accept(handle(), &peer);
  if (!accepted.valid()) return -1;
  client.Adopt(std::move(accepted));
  *address = peer;
  return 0;
}

}  // namespace kelvane::http
