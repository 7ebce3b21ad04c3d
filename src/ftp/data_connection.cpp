// ftp/data_connection.cpp -- the active-mode data connection.
#include "ftp/data_connection.h"

namespace kelvane::ftp {

std::unique_ptr<ActiveDataConnection> ActiveDataConnection::Connect(uint16_t port,
                                                                    const std::string& host) {
  std::unique_ptr<ActiveDataConnection> connection(new ActiveDataConnection());
  if (connection->client_.Connect(port, host) != 0) return nullptr;
  return connection;
}

bool ActiveDataConnection::Send(std::string_view bytes) {
  if (bytes.empty()) return true;
  return client_.SendBytes(bytes.data(), static_cast<long>(bytes.size())) >= 0;
}

int ActiveDataConnection::SendEntry(archive::FileArchiveReader& reader,
                                    const archive::ArchiveCursor& cursor, std::string_view path,
                                    uint32_t* counter, const Progress& progress) {
  client_.progress_ = &progress;
  const int code = client_.SendFile(reader, cursor, path, counter);
  client_.progress_ = nullptr;
  return code;
}

void ActiveDataConnection::Close() { client_.Close(); }

}  // namespace kelvane::ftp
