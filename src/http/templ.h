// http/templ.h -- templ, the HTTP/1.0 server: it listens, collects the requests of many
// connections at once (one request per connection), answers each from the package (pages
// expanded for includes) and closes the connection.
//
// Threads: Run occupies the thread that calls it. On that thread it accepts clients (calling
// OnAcceptConnection) and reads request heads and bodies without ever waiting for one client;
// complete requests are answered in arrival order by up to kMaxAnswerThreads answer threads that
// Run starts as they are needed and joins before it returns. OnRequest, OnServerSideInclude and
// the hooks of derived classes they call (srv's OnCheckAccess, OnAccessDenied and handlers) run
// on the answer threads, several at once: they may touch only what their arguments give them
// (the client, path, cookie and variables belong to one request) or state they guard
// themselves. Stop and WaitListening may be called from any thread. The package reader is
// shared with the other services; it locks itself.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "archive/FileArchiveReader.h"
#include "http/HTTPFile1.h"
#include "http/form_variables.h"
#include "http/httpsock.h"
#include "http/mimetab.h"
#include "http/request_head.h"
#include "platform/poll.h"

namespace kelvane::http {

// The expiry line's date, written for pages expanded for includes so that no cache keeps them.
inline constexpr const char* kPageExpiry = "Sunday, 26-Aug-01 06:00:00 GMT";

class templ : public mimetab {
 public:
  static constexpr int kDefaultSilenceMs = 30000;
  static constexpr int kDefaultHeadTimeoutMs = 10000;
  static constexpr int kDefaultMinimumBodyRate = 500;  // bytes per second
  static constexpr int kMaxAnswerThreads = 8;
  // How long accepting rests after a transient failure (descriptors exhausted, among others).
  static constexpr std::chrono::milliseconds kAcceptPause{100};

  // |reader| is not owned and must outlive the server. |root| (null counts as empty) is put
  // before every request path, with '\' turned into '/' and a '/' appended when missing.
  // |line_size| bounds each head line and the body; |max_variables| is the capacity of the form
  // table; |max_url| and |max_cookie| are the longest path and cookie kept, in characters.
  templ(archive::FileArchiveReader& reader, const char* root, uint16_t port, int line_size,
        int max_variables, int max_url, int max_cookie);
  ~templ() override;

  // Listens on the port and serves connections until Stop is called or the listening socket is
  // gone; a transient accept failure is traced and accepting rests for kAcceptPause. False when
  // the listening socket cannot be set up (the owner may try another port); true when the loop
  // has ended, with every answer thread joined. After Stop, Run returns true at once without
  // listening.
  bool Run();

  // Makes Run return soon: wakes its loop, shuts the listening socket down and ends every
  // connection being answered. Lasting: a later Run returns at once. Any thread.
  void Stop();

  // Waits up to |bound| for Run to listen; the port it listens on (useful with port 0), or 0
  // when Run failed, ended or was stopped, or the time passed. Any thread.
  uint16_t WaitListening(std::chrono::milliseconds bound);

  // How long a client may stay silent while its request is received, and how long a send may
  // make no progress, before the connection is ended (0: no bound). Default 30 s. Before Run.
  void SetSilenceTimeout(std::chrono::milliseconds timeout);
  // How long after its connection a client's request head must be complete (0: no bound).
  // Default 10 s. Before Run.
  void SetHeadTimeout(std::chrono::milliseconds timeout);
  // The slowest a body may come once the head is complete, in bytes per second: a body of n
  // bytes has max(1 s, n / rate) (0: no bound). Default 500. Before Run.
  void SetMinimumBodyRate(int bytes_per_second);
  // The local address to listen on, in host byte order; every local address by default. Before
  // Run.
  void SetListenAddress(uint32_t address) { listen_address_ = address; }

  // Hooks. OnAcceptConnection runs on Run's thread; the others on answer threads (see above).

  // Admits (true) or refuses a client before anything is read; a refused client is closed.
  virtual bool OnAcceptConnection(httpsock& client, uint32_t address, uint16_t port);

  // Writes the text of the include |name| (null when absent) to |client|: true when it did,
  // false when it has none (the page then shows "[?name?]"). This version knows only
  // "HTTPSrvVersion".
  virtual bool OnServerSideInclude(httpsock& client, const char* name, uint32_t address,
                                   uint16_t port, const char* path, char* cookie,
                                   varlist* variables);

  // Answers the request for |path| (the root included): true when it answered, false to have
  // the server answer 404. |cookie| holds the request's cookie (MaxCookie + 1 bytes, writable);
  // |variables| is the form table of a POST request, null otherwise. For a HEAD request |client|
  // drops what is sent after the header. This version answers from the package by the MIME
  // table; the package's password entry is answered as absent.
  virtual bool OnRequest(httpsock& client, uint32_t address, uint16_t port, const char* path,
                         char* cookie, varlist* variables);

  // Whether |path| names a directory of the package (the empty path and "/" do).
  bool IsDirectory(const char* path);

  // The answer's header: status, type, the cookie line when |cookie| is given and not empty,
  // the expiry line when |expires| is given, and the empty line.
  void SendHeader(httpsock& client, const char* type, const char* cookie, const char* expires);

  // Copies the entry open in |file| to |client| unchanged, in blocks of 64 KiB. Stops at the
  // entry's end or at a failed read (file.failed() tells).
  void SendFileBody(httpsock& client, archfile& file);

  // Copies the page open in |file| to |client| with every "[name]" replaced by the include's
  // text (OnServerSideInclude), through a 256-byte window; an include not closed within the 255
  // bytes after its '[' becomes "[syntax_error]" and the text that followed. Stops at the page's
  // end or, sending nothing more, at a failed read (file.failed() tells).
  void ExpandIncludes(httpsock& client, archfile& file, uint32_t address, uint16_t port,
                      const char* path, char* cookie, varlist* variables);

  uint16_t port() const { return Port; }
  int root_length() const { return RootLength; }
  const std::string& root_path() const { return RootPath; }

 protected:
  uint16_t Port;
  int LineSize;
  int MaxVariables;
  int MaxUrl;
  int MaxCookie;
  int RootLength;
  std::string RootPath;

 private:
  using Clock = std::chrono::steady_clock;
  struct AnswerBuffers;
  struct Incoming;
  struct Request;

  // Run's loop from the first accept to the end; returns when stopped or the listening socket
  // is gone.
  void ServeLoop();
  // Accepts one client and adds it to |incoming|. False when the listening socket is gone.
  bool AcceptOne(std::vector<std::unique_ptr<Incoming>>& incoming, Clock::time_point* resume);
  // Reads what |connection| has sent. True when the connection is done with: handed to the
  // answer threads, or closed after a failure or a close before any byte.
  bool Collect(std::unique_ptr<Incoming>& connection, char* chunk, int chunk_size);
  // Traces the head lines of |connection| as they complete.
  RequestHead::LineObserver HeadTracer();
  void DropConnection(Incoming& connection, bool failed);

  // Queues a complete request for the answer threads, starting one when none is free.
  void Submit(std::unique_ptr<Request> request);
  void AnswerThreadBody();
  // Answers one request on the calling thread and closes its connection.
  void Answer(Request& request, AnswerBuffers& buffers);
  void ServeRequest(Request& request, AnswerBuffers& buffers);
  // Ends the answer threads once the queue is empty (after Stop, every request left is closed
  // unanswered) and joins them.
  void EndAnswerThreads();

  // Normalises the path buffer and appends "/index.htm" when it names a directory. True when it
  // names a directory but the request did not end in '/' (it is left unchanged then).
  bool ResolvePath(AnswerBuffers& buffers, bool ends_with_separator);
  void SendNotFound(httpsock& client, const char* path);
  void SendMoved(httpsock& client, const std::string& location);
  // The answer to a request that is not GET, POST or HEAD, or whose target cannot be decoded.
  void SendRefusal(httpsock& client, RequestKind kind, const platform::Ipv4Endpoint& peer);

  bool stop_requested();
  // Publishes a descriptor being answered, which Stop may shut down; false when a stop came
  // first. Withdraw before the descriptor is closed.
  bool PublishAnswering(platform::SocketHandle socket);
  void WithdrawAnswering(platform::SocketHandle socket);

  archive::FileArchiveReader& reader_;
  httplistensock listen_socket_;
  platform::WakeEvent wake_;  // Stop signals it to end the wait of Run's loop
  uint32_t listen_address_ = platform::kAnyAddress;
  int silence_ms_ = kDefaultSilenceMs;
  int head_timeout_ms_ = kDefaultHeadTimeoutMs;
  int minimum_body_rate_ = kDefaultMinimumBodyRate;

  // Guards what Stop and WaitListening read: the descriptors they may shut down stay open while
  // it is held, so Stop never reaches a descriptor number already reused elsewhere.
  std::mutex stop_lock_;
  std::condition_variable listening_changed_;
  bool stop_requested_ = false;
  bool run_over_ = false;        // the latest Run has ended (or failed to listen)
  uint16_t listening_port_ = 0;  // nonzero while Run listens
  platform::SocketHandle listening_socket_handle_ = platform::kInvalidSocket;
  std::vector<platform::SocketHandle> answering_sockets_;  // connections the answer threads are answering

  // The requests waiting for an answer thread, and the threads. Run's thread starts and joins
  // the threads; the queue is guarded by queue_lock_.
  std::mutex queue_lock_;
  std::condition_variable queue_changed_;
  std::deque<std::unique_ptr<Request>> queue_;
  std::vector<std::thread> answer_threads_;
  int idle_answer_threads_ = 0;
  bool answers_closing_ = false;  // the threads end once the queue is empty
};

}  // namespace kelvane::http
