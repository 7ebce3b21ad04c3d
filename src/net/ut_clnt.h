// net/ut_clnt.h -- the outgoing connection (TcpClient) with which the FTP service opens its data
// connections, and the sending of archive entries over a connected socket.
//
// A TcpClient is made for one transfer by the thread that runs the command, connected once,
// used, closed and destroyed. Sends and receives fail after 30 seconds without progress.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "archive/FileArchiveReader.h"
#include "platform/socket_handle.h"

namespace kelvane::net {

// What ended SendEntry, more finely than its code: 0 is kSent or kStopped, 1 kNotOpened, 2
// one of the rest.
enum class SendEnd { kSent, kStopped, kNotOpened, kDamaged, kLost, kStalled };

// Sends the content of the entry that |path| names from |cursor| ('/' taken as '\') over the
// connected |socket|, in large chunks, calling |progress| with the running total after each;
// |*counter| counts the bytes sent. With |start| above 0 the content is sent from that offset
// on: a stored entry from its position, a compressed one by inflating and discarding up to it
// (the caller has checked that |start| is within the entry; content that ends before it is
// short data). Returns 0 when the whole entry was sent (or |progress| answered false), 1 when
// the entry could not be opened, 2 when a send failed or the entry's data turned out damaged
// or short. Traces each outcome. |*end| (when given) receives the finer outcome: a failed send
// is kStalled when the send time-out ran out, kLost otherwise.
int SendEntry(platform::SocketHandle socket, archive::FileArchiveReader& reader, const archive::ArchiveCursor& cursor,
              std::string_view path, uint32_t* counter,
              const std::function<bool(uint32_t)>& progress, uint32_t start = 0,
              SendEnd* end = nullptr);

class TcpClient {
 public:
  using ProgressCallback = bool (*)(uint32_t value);
  static constexpr int kDefaultTimeoutMs = 30000;

  TcpClient();
  virtual ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  // Called by SendFile after every chunk with the bytes sent so far; false ends the transfer
  // early (not a failure). Answers the installed callback, or true without one.
  virtual bool OnSendProgress(uint32_t sent);
  void SetProgressCallback(ProgressCallback callback) { progress_callback_ = callback; }

  // Connects to |host| (dotted IPv4) on |port| with the recorded time-outs. 0 connected; 1 a
  // socket was already open (nothing done); 2 no socket; 3 connect failed (the socket stays
  // open until Close).
  int Connect(uint16_t port, const std::string& host);

  // Takes over a socket that is connected already (a client's passive data connection,
  // accepted by this side) and applies the recorded time-outs to it. False (|socket| closed)
  // when a socket is open already.
  bool Adopt(platform::UniqueSocket socket);

  // Sends every byte (|length| <= 0: the whole terminated text): the bytes sent, or -1.
  long SendBytes(const char* data, long length);
  long SendText(const char* text) { return SendBytes(text, 0); }

  // See SendEntry; the progress hook is OnSendProgress.
  int SendFile(archive::FileArchiveReader& reader, const archive::ArchiveCursor& cursor,
               std::string_view path, uint32_t* counter, uint32_t start = 0,
               SendEnd* end = nullptr);

  // Record the time-out and apply it when the socket exists.
  void SetReceiveTimeout(int milliseconds);
  void SetSendTimeout(int milliseconds);

  // Shuts the socket down and closes it. 0, or bits: 1 the shutdown failed, 2 the close failed.
  int Close();

  platform::SocketHandle socket() const { return socket_.get(); }
  uint16_t port() const { return port_; }
  const std::string& host() const { return host_; }

 private:
  uint16_t port_ = 0;
  std::string host_;
  platform::UniqueSocket socket_;
  int send_timeout_ms_ = kDefaultTimeoutMs;
  int receive_timeout_ms_ = kDefaultTimeoutMs;
  ProgressCallback progress_callback_ = nullptr;
};

}  // namespace kelvane::net
