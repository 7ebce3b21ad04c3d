// ftp/transfer_record.h -- TransferRecord: the downloads in progress and the latest finished
// ones, kept from the transfer observer's calls, for front ends to poll and files to write.
//
// The observer calls come from the connection threads, Snapshot and Totals from any thread;
// each takes one short lock, under which nothing else is locked or called, so a transfer never
// waits for a front end. Finished listeners run on the connection thread of the transfer that
// finished, outside the lock, several at once: each guards its own state.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ftp/transfer_observer.h"

namespace kelvane::ftp {

// The failures among the results: every one but kComplete and kAborted.
bool IsFailure(TransferResult result);

struct TransferRow {
  uint64_t id = 0;
  std::string client_address;
  std::string user_name;
  std::string path;  // '\' separated, as the observer had it
  uint32_t total = 0;
  uint32_t sent = 0;
  std::chrono::system_clock::time_point started;  // the wall clock at the start
  std::chrono::milliseconds elapsed{0};           // so far, or the whole transfer once finished
  std::optional<TransferResult> result;           // none while in progress
};

struct TransferTotals {
  uint64_t in_progress = 0;
  uint64_t complete = 0;
  uint64_t failed = 0;   // IsFailure
  uint64_t aborted = 0;  // neither complete nor failed
};

struct TransferSnapshot {
  std::vector<TransferRow> in_progress;  // in the order they started
  std::vector<TransferRow> finished;     // the latest ones, oldest first
  TransferTotals totals;
};

class TransferRecord : public TransferObserver {
 public:
  static constexpr size_t kDefaultFinishedRows = 100;
  // The record's time: the wall clock for start times, a steady one for the elapsed time of
  // transfers in progress. The system's clocks where a function is empty.
  struct Clocks {
    std::function<std::chrono::system_clock::time_point()> wall;
    std::function<std::chrono::steady_clock::time_point()> steady;
  };
  using FinishedListener = std::function<void(const TransferRow& row)>;

  // Keeps the latest |finished_rows| finished transfers.
  explicit TransferRecord(size_t finished_rows = kDefaultFinishedRows, Clocks clocks = {});

  // Told of every finished transfer. Add listeners before the record observes a daemon.
  void AddFinishedListener(FinishedListener listener);

  TransferSnapshot Snapshot() const;
  TransferTotals Totals() const;

  void OnTransferStart(const TransferInfo& transfer) override;
  void OnTransferProgress(const TransferInfo& transfer, uint32_t sent) override;
  void OnTransferEnd(const TransferInfo& transfer, const TransferEnd& end) override;

 private:
  struct Running {
    TransferRow row;
    std::chrono::steady_clock::time_point started;
  };
  std::chrono::system_clock::time_point WallNow() const;
  std::chrono::steady_clock::time_point SteadyNow() const;

  const size_t finished_rows_;
  const Clocks clocks_;
  std::vector<FinishedListener> listeners_;  // fixed once transfers run

  mutable std::mutex mutex_;
  std::map<uint64_t, Running> running_;  // ids grow: the map's order is the order of start
  std::deque<TransferRow> finished_;
  TransferTotals totals_;
};

}  // namespace kelvane::ftp
