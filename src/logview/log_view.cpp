// logview/log_view.cpp -- the line store, file copying and the delivery of lines to followers.
#include "logview/log_view.h"

#include <algorithm>
#include <utility>

namespace kelvane::logview {

LogView::LogView(std::function<LocalDate()> today) : today_(std::move(today)) {
  if (!today_) today_ = TodayLocal;
}

LogView::~LogView() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  ClearLocked();
  file_.Close();
}

int LogView::AddLine(std::string_view text, bool copy_to_file) {
  bool deliver;
  {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    bool deliver_failure = false;
    if (copy_to_file && file_copying_) {
      deliver_failure = NoteFileOpenLocked(!file_.Write(text, today_()));
    }
    if (keep_lines_) {
      lines_.push_front(LogLine{std::string(text), text_colour_, background_colour_});
      longest_ = std::max(longest_, text.size());
      // A capacity of 0 (a window lower than one line) still keeps the newest line rather than
      // letting the store grow without bound.
      if (lines_.size() > std::max<size_t>(capacity_, 1)) DropOldestLocked();
    }
    deliver = QueueLocked(Event{Event::Kind::kLine, std::string(text)}) || deliver_failure;
  }
  if (deliver) Deliver();
  return 0;
}

int LogView::SetLogFileName(std::string_view name) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return file_.SetName(name);
}

void LogView::EnableLogFile() {
  bool deliver;
  {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    if (!file_.has_name()) return;
    file_copying_ = true;
    deliver = NoteFileOpenLocked(!file_.Open(today_()));
  }
  if (deliver) Deliver();
}

bool LogView::NoteFileOpenLocked(bool failed_now) {
  // A file that opens ends a run of failures; only the first failure of a run is told, so that
  // a missing folder yields one report rather than one per line or per day.
  if (!file_.path().empty()) {
    file_failed_ = false;
    return false;
  }
  if (!failed_now || file_failed_) return false;
  file_failed_ = true;
  return QueueLocked(Event{Event::Kind::kFileFailed, file_.attempted(), file_.open_error()});
}

void LogView::Clear() {
  bool deliver;
  {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    ClearLocked();
    deliver = QueueLocked(Event{Event::Kind::kCleared, {}});
  }
  if (deliver) Deliver();
}

void LogView::SetKeepLines(bool keep) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  keep_lines_ = keep;
}

void LogView::SetCapacity(size_t capacity) {
  bool deliver = false;
  {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    capacity_ = capacity;
    if (capacity == 0) {
      ClearLocked();
      deliver = QueueLocked(Event{Event::Kind::kCleared, {}});
    } else {
      while (lines_.size() > capacity) DropOldestLocked();
    }
  }
  if (deliver) Deliver();
}

void LogView::SetColours(uint32_t text_colour, uint32_t background_colour) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  text_colour_ = text_colour;
  background_colour_ = background_colour;
}

size_t LogView::capacity() const {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return capacity_;
}

size_t LogView::LineCount() const {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return lines_.size();
}

size_t LogView::LongestLength() const {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return longest_;
}

uint64_t LogView::DroppedCount() const {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return dropped_;
}

std::vector<std::string> LogView::LineTexts() const {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  std::vector<std::string> texts;
  texts.reserve(lines_.size());
  for (const LogLine& line : lines_) texts.push_back(line.text);
  return texts;
}

void LogView::LockedLines(const std::function<void(const std::deque<LogLine>&)>& visit) const {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  visit(lines_);
}

std::string LogView::LogFilePath() const {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return file_.path();
}

void LogView::AddObserver(LogObserver* observer) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) {
    observers_.push_back(observer);
  }
}

void LogView::RemoveObserver(LogObserver* observer) {
  std::unique_lock<std::recursive_mutex> hold(lock_);
  observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
  // The batch under way may hold the follower; wait for it, unless this thread delivers it.
  if (!delivering_ || deliverer_ == std::this_thread::get_id()) return;
  const uint64_t seen = batches_done_;
  delivered_.wait(hold, [&] { return !delivering_ || batches_done_ != seen; });
}

void LogView::ClearLocked() {
  lines_.clear();
  longest_ = 0;
}

void LogView::DropOldestLocked() {
  const size_t dropped = lines_.back().text.size();
  lines_.pop_back();
  ++dropped_;
  if (dropped == longest_) {
    longest_ = 0;
    for (const LogLine& line : lines_) longest_ = std::max(longest_, line.text.size());
  }
}

bool LogView::QueueLocked(Event event) {
  if (observers_.empty()) return false;
  pending_.push_back(std::move(event));
  // One thread at a time delivers, so that followers see the events in the store's order;
  // the others leave their events to it.
  if (delivering_) return false;
  delivering_ = true;
  deliverer_ = std::this_thread::get_id();
  return true;
}

void LogView::Deliver() {
  for (;;) {
    std::vector<Event> batch;
    std::vector<LogObserver*> observers;
    {
      std::lock_guard<std::recursive_mutex> hold(lock_);
      if (pending_.empty()) {
        delivering_ = false;
        deliverer_ = std::thread::id();
        delivered_.notify_all();
        return;
      }
      batch.swap(pending_);
      observers = observers_;
    }
    for (const Event& event : batch) {
      for (LogObserver* observer : observers) {
        switch (event.kind) {
          case Event::Kind::kLine:
            observer->OnLineAdded(event.text);
            break;
          case Event::Kind::kCleared:
            observer->OnCleared();
            break;
          case Event::Kind::kFileFailed:
            observer->OnLogFileFailed(event.text, event.error_number);
            break;
        }
      }
    }
    std::lock_guard<std::recursive_mutex> hold(lock_);
    ++batches_done_;
    delivered_.notify_all();
  }
}

}  // namespace kelvane::logview
