// http/httpsock.cpp -- the HTTP service's socket wrapper and the socket-library use counter.
#include "http/httpsock.h"

#include <cstring>
#include <mutex>

namespace kelvane::http {
namespace {

std::mutex g_uses_lock;  // guards g_uses: servers of tests and tools may live on several threads
int g_uses = 0;

// Clients wait in the listen backlog only between two turns of the server's loop, but a burst
// of connections must not be refused meanwhile.
constexpr int kBacklog = 128;

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
  int to_send = count;
  if (head_only_) {
    if (dropping_body()) return count;
    static constexpr char kHeaderEnd[] = "\r\n\r\n";
    const auto* bytes = static_cast<const char*>(data);
    for (int i = 0; i < count; ++i) {
      if (bytes[i] == kHeaderEnd[header_end_seen_]) {
        ++header_end_seen_;
      } else {
        header_end_seen_ = bytes[i] == '\r' ? 1 : 0;
      }
      if (header_end_seen_ == 4) {
        to_send = i + 1;
        break;
      }
    }
  }
  const long sent = platform::SendAll(handle_.get(), data, static_cast<size_t>(to_send));
  if (sent < 0) {
    send_failed_ = true;
    return -1;
  }
  return count;
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

long httpsock::ReceiveAvailable(void* buffer, int count) {
  receive_failed_ = false;
  if (count <= 0) return platform::kNothingWaiting;
  const long n = platform::ReceiveNow(handle_.get(), buffer, static_cast<size_t>(count));
  if (n == -1) receive_failed_ = true;
  return n;
}

void httpsock::Adopt(platform::UniqueSocket handle) {
  handle_ = std::move(handle);
  aborted_ = false;
  send_failed_ = false;
  receive_failed_ = false;
  head_only_ = false;
  header_end_seen_ = 0;
}

int httplistensock::Listen(const platform::Ipv4Endpoint& address) {
  Adopt(platform::NewStreamSocket());
  if (!is_open()) return -1;
  platform::SetReuseAddress(handle());
  if (!platform::Bind(handle(), address)) return -1;
  if (!platform::Listen(handle(), kBacklog)) return -1;
  return 0;
}

int httplistensock::Accept(httpsock& client, platform::Ipv4Endpoint* address,
                           platform::AcceptError* error) {
  client.Close();
  platform::Ipv4Endpoint peer;
  platform::UniqueSocket accepted = platform::Accept(handle(), &peer, error);
  if (!accepted.valid()) return -1;
  client.Adopt(std::move(accepted));
  *address = peer;
  return 0;
}

}  // namespace kelvane::http
