// http/templ.h -- templ, the HTTP/1.0 server: it listens, reads one request per connection,
// answers it from the package (pages expanded for includes) and closes the connection.
//
// Threads: Run occupies the thread that calls it and serves connections one after another on it;
// every hook (On...) and every Send... runs on that thread. Stop and WaitListening may be called
// from any other thread. The package reader is shared with the other services; it locks itself.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "archive/FileArchiveReader.h"
#include "http/HTTPFile1.h"
#include "http/form_variables.h"
#include "http/httpsock.h"
#include "http/mimetab.h"

namespace kelvane::http {

// The expiry line's date, written for pages expanded for includes so that no cache keeps them.
inline constexpr const char* kPageExpiry = "Sunday, 26-Aug-01 06:00:00 GMT";

class templ : public mimetab {
 public:
  static constexpr int kDefaultSilenceMs = 30000;

  // |reader| is not owned and must outlive the server. |root| (null counts as empty) is put
  // before every request path, with '\' turned into '/' and a '/' appended when missing.
  // |line_size| bounds each head line and the body; |max_variables| is the capacity of the form
  // table; |max_url| and |max_cookie| are the longest path and cookie kept, in characters.
  templ(archive::FileArchiveReader& reader, const char* root, uint16_t port, int line_size,
        int max_variables, int max_url, int max_cookie);
  ~templ() override;

  // Listens on the port and serves connections until accepting fails or Stop is called. False
  // when the listening socket cannot be set up (the owner may try another port); true when the
  // accept loop has ended. After Stop, Run returns true at once without listening.
  bool Run();

  // Makes Run return soon: shuts the listening socket down and ends the connection being served.
  // Lasting: a later Run returns at once. Any thread.
  void Stop();

  // Waits up to |bound| for Run to listen; the port it listens on (useful with port 0), or 0
  // when Run failed, ended or was stopped, or the time passed. Any thread.
  uint16_t WaitListening(std::chrono::milliseconds bound);

  // How long a client may stay silent while its request is received, and how long a send may
  // make no progress, before the connection is ended (0: no bound). Default 30 s. Before Run.
  void SetSilenceTimeout(std::chrono::milliseconds timeout);
  // The local address to listen on, in host byte order; every local address by default. Before
  // Run.
  void SetListenAddress(uint32_t address) { listen_address_ = address; }

  // Hooks, called on the server's thread.

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
  // |variables| is the form table of a POST request, null otherwise. This version answers from
  // the package by the MIME table.
  virtual bool OnRequest(httpsock& client, uint32_t address, uint16_t port, const char* path,
                         char* cookie, varlist* variables);

  // Whether |path| names a directory of the package (the empty path and "/" do).
  bool IsDirectory(const char* path);

  // The answer's header: status, type, the cookie line when |cookie| is given and not empty,
  // the expiry line when |expires| is given, and the empty line.
  void SendHeader(httpsock& client, const char* type, const char* cookie, const char* expires);

  // Copies the entry open in |file| to |client| unchanged, in blocks of 256 bytes. Stops at the
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
  struct RunBuffers;
  enum class RequestKind { kGet, kPost, kOtherMethod, kMalformed };
  enum class HeadOutcome { kParsed, kNoLine, kReceiveFailed };

  // One connection from admission to the answer; the caller shuts it down and closes it.
  void ServeConnection(httpsock& client, const platform::Ipv4Endpoint& peer, RunBuffers& run);
  HeadOutcome ReadHead(httpsock& client, RunBuffers& run, RequestKind* kind, int* body_length);
  // Copies the request path after |text| into the path buffer, behind the root.
  void CopyRequestPath(const char* text, RunBuffers& run) const;
  // Normalises the path buffer and appends "/index.htm" when it names a directory.
  void ResolvePath(RunBuffers& run);
  void SendNotFound(httpsock& client, const char* path);
  // The answer to a request that is not GET or POST.
  void SendRefusal(httpsock& client, RequestKind kind, const platform::Ipv4Endpoint& peer);

  bool stop_requested();
  // Publishes the descriptor Stop may shut down; false when a stop came first.
  bool PublishServing(int fd);

  httplistensock listen_socket_;
  archfile file_;
  uint32_t listen_address_ = platform::kAnyAddress;
  int silence_ms_ = kDefaultSilenceMs;

  // Guards what Stop and WaitListening read: the descriptors they may shut down stay open while
  // it is held, so Stop never reaches a descriptor number already reused elsewhere.
  std::mutex stop_lock_;
  std::condition_variable listening_changed_;
  bool stop_requested_ = false;
  bool run_over_ = false;        // the latest Run has ended (or failed to listen)
  uint16_t listening_port_ = 0;  // nonzero while Run listens
  int listening_fd_ = -1;
  int serving_fd_ = -1;          // the client being served, -1 between connections
};

}  // namespace kelvane::http
