// ftp/transfer_observer.h -- an optional watcher of RETR downloads (for a progress display).
//
// Called on the client's connection thread, several clients at once: an observer guards its own
// state and returns promptly, since the transfer waits for it. The default does nothing.
#pragma once

#include <cstdint>
#include <string>

namespace kelvane::ftp {

struct TransferInfo {
  std::string client_address;  // dotted control-connection address
  std::string path;            // the archive path, '\' separated
  uint32_t size = 0;           // the bytes to send: the unpacked size less a restart offset
};

class TransferObserver {
 public:
  virtual ~TransferObserver() = default;
  // After the 150 reply, before the first byte.
  virtual void OnTransferStart(const TransferInfo& /*transfer*/) {}
  // After each chunk sent, with the bytes sent so far.
  virtual void OnTransferProgress(const TransferInfo& /*transfer*/, uint32_t /*sent*/) {}
  // Once the data connection is closed: |complete| when every byte went out.
  virtual void OnTransferEnd(const TransferInfo& /*transfer*/, uint32_t /*sent*/,
                             bool /*complete*/) {}
};

}  // namespace kelvane::ftp
