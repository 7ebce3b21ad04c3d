// ftp/transfer_observer.h -- an optional watcher of RETR downloads (for a progress display).
//
// Called on the client's connection thread, several clients at once: an observer guards its own
// state and returns promptly, since the transfer waits for it. The default does nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kelvane::ftp {

// How a download ended.
enum class TransferResult : int {
  kComplete,        // every byte went out
  kDamaged,         // the entry could not be opened, or its data turned out damaged or short
  kConnectionLost,  // a send on the data connection failed
  kStalled,         // the client took no byte for the data connection's send time-out
  kRefused,         // the data connection could not be made (connect failed, no passive client)
  kAborted,         // ABOR (modern mode), or the service stopping
};

struct TransferInfo {
  uint64_t id = 0;             // unique within the daemon's life, the same in all three calls
  std::string client_address;  // dotted control-connection address
  std::string user_name;       // the USER name given, empty before any
  std::string path;            // the archive path, '\' separated
  uint32_t size = 0;           // the bytes to send: the unpacked size less a restart offset
};

struct TransferEnd {
  uint32_t sent = 0;
  std::chrono::milliseconds duration{0};  // from the start call to the end
  TransferResult result = TransferResult::kComplete;
};

class TransferObserver {
 public:
  virtual ~TransferObserver() = default;
  // After the 150 reply (or, for kRefused, once the data connection failed), before the first
  // byte.
  virtual void OnTransferStart(const TransferInfo& /*transfer*/) {}
  // With the bytes sent so far: after the first chunk, then at most once per
  // FtpSession::kProgressInterval (the end call carries the final count).
  virtual void OnTransferProgress(const TransferInfo& /*transfer*/, uint32_t /*sent*/) {}
  // Once the data connection is closed; exactly once per start.
  virtual void OnTransferEnd(const TransferInfo& /*transfer*/, const TransferEnd& /*end*/) {}
};

}  // namespace kelvane::ftp
