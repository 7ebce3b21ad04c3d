// archive/entry_health.cpp -- the table of entries the package check has looked at.
#include "archive/entry_health.h"

namespace kelvane::archive {

EntryCondition EntryHealth::Condition(const ArchiveEntryInfo* entry) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const auto found = records_.find(entry);
  if (found == records_.end()) return {};
  const Record& record = found->second;
  EntryCondition condition;
  condition.damaged = record.state == EntryState::kDamaged;
  if (record.copied && scratch_.valid()) {
    condition.unpacked_copy = FileExtent{scratch_.get(), record.offset, record.size};
  }
  return condition;
}

EntryState EntryHealth::State(const ArchiveEntryInfo* entry) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const auto found = records_.find(entry);
  return found == records_.end() ? EntryState::kUnknown : found->second.state;
}

std::string EntryHealth::Reason(const ArchiveEntryInfo* entry) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const auto found = records_.find(entry);
  return found == records_.end() ? std::string() : found->second.reason;
}

void EntryHealth::MarkGood(const ArchiveEntryInfo* entry) {
  std::lock_guard<std::mutex> hold(mutex_);
  records_[entry] = Record{EntryState::kGood, {}, false, 0, 0};
}

void EntryHealth::MarkDamaged(const ArchiveEntryInfo* entry, std::string reason) {
  std::lock_guard<std::mutex> hold(mutex_);
  records_[entry] = Record{EntryState::kDamaged, std::move(reason), false, 0, 0};
}

void EntryHealth::MarkCopied(const ArchiveEntryInfo* entry, uint64_t offset, uint32_t size) {
  std::lock_guard<std::mutex> hold(mutex_);
  records_[entry] = Record{EntryState::kGood, {}, scratch_.valid(), offset, size};
}

int EntryHealth::AdoptScratchFile(platform::UniqueFd file) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!scratch_.valid()) scratch_ = std::move(file);
  return scratch_.get();
}

int EntryHealth::scratch_fd() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return scratch_.get();
}

void EntryHealth::Clear() {
  std::lock_guard<std::mutex> hold(mutex_);
  records_.clear();
  scratch_.Reset();
}

}  // namespace kelvane::archive
