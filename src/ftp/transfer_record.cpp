// ftp/transfer_record.cpp -- the record of downloads: the observer calls and the snapshots.
#include "ftp/transfer_record.h"

#include <utility>

namespace kelvane::ftp {

bool IsFailure(TransferResult result) {
  return result != TransferResult::kComplete && result != TransferResult::kAborted;
}

TransferRecord::TransferRecord(size_t finished_rows, Clocks clocks)
    : finished_rows_(finished_rows), clocks_(std::move(clocks)) {}

void TransferRecord::AddFinishedListener(FinishedListener listener) {
  listeners_.push_back(std::move(listener));
}

std::chrono::system_clock::time_point TransferRecord::WallNow() const {
  return clocks_.wall ? clocks_.wall() : std::chrono::system_clock::now();
}

std::chrono::steady_clock::time_point TransferRecord::SteadyNow() const {
  return clocks_.steady ? clocks_.steady() : std::chrono::steady_clock::now();
}

TransferSnapshot TransferRecord::Snapshot() const {
  const std::chrono::steady_clock::time_point now = SteadyNow();
  TransferSnapshot snapshot;
  std::lock_guard<std::mutex> hold(mutex_);
  snapshot.in_progress.reserve(running_.size());
  for (const auto& [id, running] : running_) {
    snapshot.in_progress.push_back(running.row);
    snapshot.in_progress.back().elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - running.started);
  }
  snapshot.finished.assign(finished_.begin(), finished_.end());
  snapshot.totals = totals_;
  return snapshot;
}

TransferTotals TransferRecord::Totals() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return totals_;
}

void TransferRecord::OnTransferStart(const TransferInfo& transfer) {
  Running running;
  running.row.id = transfer.id;
  running.row.client_address = transfer.client_address;
  running.row.user_name = transfer.user_name;
  running.row.path = transfer.path;
  running.row.total = transfer.size;
  running.row.started = WallNow();
  running.started = SteadyNow();
  std::lock_guard<std::mutex> hold(mutex_);
  running_.insert_or_assign(transfer.id, std::move(running));
  totals_.in_progress = running_.size();
}

void TransferRecord::OnTransferProgress(const TransferInfo& transfer, uint32_t sent) {
  std::lock_guard<std::mutex> hold(mutex_);
  const auto found = running_.find(transfer.id);
  if (found != running_.end()) found->second.row.sent = sent;
}

void TransferRecord::OnTransferEnd(const TransferInfo& transfer, const TransferEnd& end) {
  TransferRow row;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto found = running_.find(transfer.id);
    if (found == running_.end()) return;  // an end without its start: nothing to finish
    row = std::move(found->second.row);
    running_.erase(found);
    row.sent = end.sent;
    row.elapsed = end.duration;
    row.result = end.result;
    totals_.in_progress = running_.size();
    if (end.result == TransferResult::kComplete) {
      ++totals_.complete;
    } else if (end.result == TransferResult::kAborted) {
      ++totals_.aborted;
    } else {
      ++totals_.failed;
    }
    if (finished_rows_ > 0) {
      if (finished_.size() == finished_rows_) finished_.pop_front();
      finished_.push_back(row);
    }
  }
  for (const FinishedListener& listener : listeners_) listener(row);
}

}  // namespace kelvane::ftp
