// http/httpsock.h -- the HTTP service's own socket wrapper: a connected client socket
// (httpsock) and the server's listening socket (httplistensock).
//
// The HTTP service does not use the TCP framework of net/. A socket object is used by one thread
// at a time: the server's thread while the request comes in, then the answer thread it is handed
// to. Every object counts as one use of the process-wide socket-library counter while it exists.
#pragma once

#include <cstddef>

#include "platform/poll.h"
#include "platform/socket.h"

namespace kelvane::http {

// The number of httpsock objects alive in the process. The first use prepares the process for
// sockets (a peer that closes never raises SIGPIPE).
int SocketLibraryUses();

class httpsock {
 public:
  httpsock();
  virtual ~httpsock();
  httpsock(const httpsock&) = delete;
  httpsock& operator=(const httpsock&) = delete;

  bool is_open() const { return handle_.valid(); }
  // The descriptor, -1 when none is open.
  platform::SocketHandle handle() const { return handle_.get(); }

  // Closes the descriptor if one is open; it becomes invalid.
  void Close();
  // Ends the sending direction (the client reads the end of the answer). Nothing after Abort.
  void Shutdown();
  // Gives up on the answer: later sends fail, Shutdown does nothing, and Close resets the
  // connection so that the client cannot take a cut-off body for a whole one.
  void Abort();
  bool aborted() const { return aborted_; }

  // Bounds every later receive and send to |milliseconds| without progress (0: no bound). A
  // receive that times out fails like any other failed receive.
  bool SetTimeouts(int milliseconds);

  // Sends |count| bytes: |count| when all went, a negative result when a send failed. After a
  // failed send (the client is gone or took nothing within the time-out) every later send fails
  // at once, so that an answer to a stalled client cannot hold the server for long.
  int SendBytes(const void* data, int count);

  // For the answer to a HEAD request: once the bytes sent contain an empty line (CR LF CR LF),
  // the rest of that send and every later send is counted as sent but dropped.
  void SendHeadOnly() { head_only_ = true; }
  // Whether sends are being dropped: the header of a HEAD answer is complete.
  bool dropping_body() const { return head_only_ && header_end_seen_ == 4; }
  bool send_failed() const { return send_failed_; }
  // SendBytes of |text| without its terminator.
  int SendString(const char* text);

  // Reads one line, one byte per receive, at most |size| - 1 bytes. LF ends the line and is not
  // stored; CR is dropped wherever it stands; the text is always terminated. Returns the bytes
  // consumed including CR and LF for a line ended by LF; |size| when |size| - 1 bytes came
  // without an LF (the rest stays for the next call); k + 1 when the peer closed after k bytes;
  // 0 when it closed before any byte; a negative result when a receive failed.
  int ReceiveLine(char* buffer, int size);

  // Receives until |count| bytes have come or the peer closes. Returns the bytes received; a
  // negative result when a receive failed before any byte came.
  int ReceiveBytes(void* buffer, int count);

  // One receive that never waits, of up to |count| bytes: the count, 0 when the peer closed,
  // platform::kNothingWaiting, or -1 when the receive failed.
  long ReceiveAvailable(void* buffer, int count);

  // Whether the last ReceiveLine or ReceiveBytes ended in a failed receive (a time-out included),
  // even when ReceiveBytes still reported the bytes that came before.
  bool receive_failed() const { return receive_failed_; }

 private:
  friend class httplistensock;

  // Replaces the descriptor (closing the previous one) and clears the state of the last one.
  void Adopt(platform::UniqueSocket handle);

  platform::UniqueSocket handle_;
  bool aborted_ = false;
  bool send_failed_ = false;
  bool receive_failed_ = false;
  bool head_only_ = false;
  int header_end_seen_ = 0;  // how much of CR LF CR LF the bytes sent so far end with (4: all)
};

class httplistensock : public httpsock {
 public:
  httplistensock() = default;
  ~httplistensock() override = default;

  // Creates a stream socket (address reuse on, so that a restart finds its port free at once),
  // binds it to |address| and listens with a backlog of 128. 0 on success, -1 on any failure
  // (the socket made is kept until the next Listen, Close or destruction).
  int Listen(const platform::Ipv4Endpoint& address);

  // Waits for a client and stores its descriptor in |client| (whose previous one is closed);
  // |*address| receives the client's endpoint. 0 on success, -1 when accepting failed, with
  // |*error| (when given) telling a transient failure from a listening socket that is gone.
  int Accept(httpsock& client, platform::Ipv4Endpoint* address,
             platform::AcceptError* error = nullptr);
};

}  // namespace kelvane::http
