// ftp/data_connection.h -- the data connection of one LIST, NLST or RETR.
//
// A session makes one for a command, sends, closes and destroys it on its own thread. Active
// mode connects out to the client's data listener; a passive mode would hand over a connection
// the client opened, behind the same interface.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "archive/FileArchiveReader.h"
#include "net/ut_clnt.h"

namespace kelvane::ftp {

class DataConnection {
 public:
  // Told the bytes sent so far after each chunk of an entry; false stops the transfer early.
  using Progress = std::function<bool(uint32_t sent)>;

  virtual ~DataConnection() = default;
  // Sends every byte of |bytes|; false when a send failed.
  virtual bool Send(std::string_view bytes) = 0;
  // Sends the entry |path| names from |cursor|; |*counter| counts the bytes sent. 0 when the
  // whole entry went out (or |progress| stopped it), 1 when it could not be opened, 2 when a
  // send failed or its data turned out damaged or short.
  virtual int SendEntry(archive::FileArchiveReader& reader, const archive::ArchiveCursor& cursor,
                        std::string_view path, uint32_t* counter, const Progress& progress) = 0;
  // Ends the connection; the client reads the end of the data.
  virtual void Close() = 0;
};

// Active mode: a TcpClient connected to the client's data listener.
class ActiveDataConnection final : public DataConnection {
 public:
  // A connection to |host|:|port|, or nullptr when the connect failed.
  static std::unique_ptr<ActiveDataConnection> Connect(uint16_t port, const std::string& host);

  bool Send(std::string_view bytes) override;
  int SendEntry(archive::FileArchiveReader& reader, const archive::ArchiveCursor& cursor,
                std::string_view path, uint32_t* counter, const Progress& progress) override;
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
  ActiveDataConnection() = default;

  Client client_;
};

}  // namespace kelvane::ftp
