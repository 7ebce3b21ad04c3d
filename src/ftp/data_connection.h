// ftp/data_connection.h -- the data connection of one LIST, NLST, MLSD or RETR.
//
// A session makes one for a command, sends, closes and destroys it on its own thread. In active
// mode the session connects out to the client's data listener; in passive mode it hands over
// the connection the client opened to the session's listener. Both are a TcpClient behind the
// same interface.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "archive/FileArchiveReader.h"
#include "net/ut_clnt.h"
#include "platform/socket_handle.h"

namespace kelvane::ftp {

class DataConnection {
 public:
  // Told the bytes sent so far after each chunk of an entry; false stops the transfer early.
  using Progress = std::function<bool(uint32_t sent)>;

  virtual ~DataConnection() = default;
  // Sends every byte of |bytes|; false when a send failed.
  virtual bool Send(std::string_view bytes) = 0;
  // Sends the entry |path| names from |cursor|, from its byte |start| on (see net::SendEntry);
  // |*counter| counts the bytes sent. 0 when the whole rest of the entry went out (or
  // |progress| stopped it), 1 when it could not be opened, 2 when a send failed or its data
  // turned out damaged or short. |*end| (when not null) receives the finer outcome.
  virtual int SendEntry(archive::FileArchiveReader& reader, const archive::ArchiveCursor& cursor,
                        std::string_view path, uint32_t* counter, const Progress& progress,
                        uint32_t start, net::SendEnd* end) = 0;
  // Ends the connection; the client reads the end of the data.
  virtual void Close() = 0;
};

// A data connection over a TcpClient: connected out (active mode) or adopted (passive mode).
class TcpDataConnection final : public DataConnection {
 public:
  // A connection to |host|:|port|, or nullptr when the connect failed. Its sends fail after
  // |send_timeout_ms| without progress (SendEnd::kStalled).
  static std::unique_ptr<TcpDataConnection> Connect(uint16_t port, const std::string& host,
                                                    int send_timeout_ms);
  // The connection a client opened to this side, with the same send time-out; nullptr for an
  // invalid socket.
  static std::unique_ptr<TcpDataConnection> Adopt(platform::UniqueSocket socket,
                                                  int send_timeout_ms);

  bool Send(std::string_view bytes) override;
  int SendEntry(archive::FileArchiveReader& reader, const archive::ArchiveCursor& cursor,
                std::string_view path, uint32_t* counter, const Progress& progress,
                uint32_t start, net::SendEnd* end) override;
  void Close() override;

 private:
  // Routes SendFile's progress hook to the Progress of the transfer under way.
  class Client : public net::TcpClient {
   public:
    bool OnSendProgress(uint32_t sent) override {
      return progress_ == nullptr || (*progress_)(sent);
    }
    const Progress* progress_ = nullptr;
  };
  TcpDataConnection() = default;

  Client client_;
};

}  // namespace kelvane::ftp
