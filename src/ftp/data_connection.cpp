// ftp/data_connection.cpp -- the data connection over a TcpClient, active or passive.
#include "ftp/data_connection.h"

namespace kelvane::ftp {

std::unique_ptr<TcpDataConnection> TcpDataConnection::Connect(uint16_t port,
                                                              const std::string& host,
                                                              int send_timeout_ms) {
  std::unique_ptr<TcpDataConnection> connection(new TcpDataConnection());
  connection->client_.SetSendTimeout(send_timeout_ms);
  if (connection->client_.Connect(port, host) != 0) return nullptr;
  return connection;
}

std::unique_ptr<TcpDataConnection> TcpDataConnection::Adopt(platform::UniqueSocket socket,
                                                            int send_timeout_ms) {
  if (!socket.valid()) return nullptr;
  std::unique_ptr<TcpDataConnection> connection(new TcpDataConnection());
  connection->client_.SetSendTimeout(send_timeout_ms);
  if (!connection->client_.Adopt(std::move(socket))) return nullptr;
  return connection;
}

bool TcpDataConnection::Send(std::string_view bytes) {
  if (bytes.empty()) return true;
  return client_.SendBytes(bytes.data(), static_cast<long>(bytes.size())) >= 0;
}

int TcpDataConnection::SendEntry(archive::FileArchiveReader& reader,
                                 const archive::ArchiveCursor& cursor, std::string_view path,
                                 uint32_t* counter, const Progress& progress, uint32_t start,
                                 net::SendEnd* end) {
  client_.progress_ = &progress;
  const int code = client_.SendFile(reader, cursor, path, counter, start, end);
  client_.progress_ = nullptr;
  return code;
}

void TcpDataConnection::Close() { client_.Close(); }

}  // namespace kelvane::ftp
