// archive/entry_health.h -- EntryHealth: what the package check has learnt about each entry of
// the open package (not yet looked at, sound, or damaged and why) and where a compressed
// entry's inflated copy lies in the check's scratch file.
//
// Keyed by the entry's information record in the directory tree, which stays where it is until
// the reader closes. The package check writes it from its own thread while every service thread
// reads it through OpenFile; one mutex guards it, held only for a lookup or an update. An entry
// marked damaged or good stays so until Clear (the reader's Close).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "archive/archive_format.h"
#include "archive/archive_streams.h"
#include "platform/unique_fd.h"

namespace kelvane::archive {

enum class EntryState { kUnknown, kGood, kDamaged };

class EntryHealth {
 public:
  EntryHealth() = default;
  EntryHealth(const EntryHealth&) = delete;
  EntryHealth& operator=(const EntryHealth&) = delete;

  // What a new stream over |entry| must know: damaged, or where its inflated copy lies.
  EntryCondition Condition(const ArchiveEntryInfo* entry) const;
  EntryState State(const ArchiveEntryInfo* entry) const;
  // Why |entry| is damaged; empty for one that is not.
  std::string Reason(const ArchiveEntryInfo* entry) const;

  void MarkGood(const ArchiveEntryInfo* entry);
  void MarkDamaged(const ArchiveEntryInfo* entry, std::string reason);
  // Sound, and its content is the |size| bytes at |offset| of the scratch file. Ignored without
  // a scratch file.
  void MarkCopied(const ArchiveEntryInfo* entry, uint64_t offset, uint32_t size);

  // Takes the scratch file that inflated copies go to, kept open until Clear; returns its
  // descriptor (the one held already when there is one: |file| is then closed).
  int AdoptScratchFile(platform::UniqueFd file);
  // The scratch file's descriptor, or -1.
  int scratch_fd() const;

  // Forgets everything and closes the scratch file. Only while no stream made from it is read.
  void Clear();

 private:
  struct Record {
    EntryState state = EntryState::kUnknown;
    std::string reason;
    bool copied = false;
    uint64_t offset = 0;
    uint32_t size = 0;
  };

  mutable std::mutex mutex_;
  std::unordered_map<const ArchiveEntryInfo*, Record> records_;
  platform::UniqueFd scratch_;
};

}  // namespace kelvane::archive
