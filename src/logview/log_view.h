// logview/log_view.h -- the activity log: the store of the newest lines, the dated log file, and
// the followers (a window, a headless console) that are told of every line.
//
// One LogView exists in the process; the application owns it and hands it to the services as
// their LogSink. Any thread may call any operation. One re-entrant lock guards the lines, the
// counters and the log file, so that lines reach the store and the file in one order.
//
// Followers (LogObserver) are told of every added line and of every Clear, in the order of the
// store, one call at a time, and never while the lock is held: a follower may take the lock
// (LockedLines) or add lines itself, but must not wait for a thread that may be adding lines.
//
// The window half (attaching, measuring, painting, scrolling) lives with the window. It switches
// storing on while a window shows the lines (SetKeepLines) and sets the capacity to the lines
// that fit; without a window, lines still reach the file and the followers but are not kept.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "logview/dated_log_file.h"
#include "logview/log_sink.h"

namespace kelvane::logview {

// One kept line with the colours in force when it was added (0x00BBGGRR values).
struct LogLine {
  std::string text;
  uint32_t text_colour = 0;
  uint32_t background_colour = 0;
};

class LogObserver {
 public:
  virtual ~LogObserver() = default;
  // A line was added (kept or not); |text| is valid during the call only.
  virtual void OnLineAdded(std::string_view text) = 0;
  // Every kept line was dropped.
  virtual void OnCleared() {}
  // The log file |path| could not be opened (|error_number| from the system): lines are not
  // written to a file until a later day's file opens. Told once for a run of failed opens; an
  // open that succeeds makes the next failure be told again.
  virtual void OnLogFileFailed(std::string_view /*path*/, int /*error_number*/) {}
};

class LogView : public LogSink {
 public:
  // |today| tells the local date for the log file's name and its switch at midnight.
  explicit LogView(std::function<LocalDate()> today = TodayLocal);
  ~LogView() override;
  LogView(const LogView&) = delete;
  LogView& operator=(const LogView&) = delete;

  // Writes the line to the log file (with |copy_to_file| while file copying is on), keeps it
  // while storing is on (dropping the oldest line of a full store), then tells the followers.
  // Returns 0.
  int AddLine(std::string_view text, bool copy_to_file) override;

  // The log file's base name: 0 accepted; 1 when it has fewer than 1 or more than 255
  // characters (the old name stays).
  int SetLogFileName(std::string_view name);
  // Switches file copying on and opens the day's file, when a name was accepted; otherwise
  // copying stays off. A file that does not open (here or at a later change of date) is told
  // to the followers.
  void EnableLogFile();
  // Drops every kept line and tells the followers.
  void Clear();

  // Whether added lines are kept (on while a window shows them). Off at construction.
  void SetKeepLines(bool keep);
  // The largest number of lines kept; a smaller value than the lines kept drops the oldest.
  // 0 empties the store, which then keeps the newest line only.
  void SetCapacity(size_t capacity);
  // The colours given to lines added from now on.
  void SetColours(uint32_t text_colour, uint32_t background_colour);

  size_t capacity() const;
  size_t LineCount() const;
  // The length in characters of the longest kept line; 0 when none is kept.
  size_t LongestLength() const;
  // How many lines have left the store at its oldest end since construction (a full store
  // taking a line, a smaller capacity); Clear's lines do not count. A window scrolled back
  // moves its view by the lines dropped since it last looked.
  uint64_t DroppedCount() const;
  // Copies of the kept texts, newest first.
  std::vector<std::string> LineTexts() const;
  // Calls |visit| with the kept lines, newest first, under the lock.
  void LockedLines(const std::function<void(const std::deque<LogLine>&)>& visit) const;
  // The dated name of the open log file; empty while none is open.
  std::string LogFilePath() const;

  // Followers are not owned and must not throw. RemoveObserver returns only after any call to
  // |observer| under way on another thread has ended, so the follower may be destroyed
  // afterwards; it must not be called with the lock held. A follower that removes itself from
  // inside a call may still be told of the rest of the events delivered with that one.
  void AddObserver(LogObserver* observer);
  void RemoveObserver(LogObserver* observer);

 private:
  struct Event {
    enum class Kind { kLine, kCleared, kFileFailed } kind = Kind::kLine;
    std::string text;  // the line, or the file that failed
    int error_number = 0;
  };
  void ClearLocked();
  void DropOldestLocked();
  // Looks at the log file after a write or an open (the lock held), |failed_now| when that
  // call failed to open it, and says whether the caller is to deliver the queue.
  bool NoteFileOpenLocked(bool failed_now);
  // Queues |event| (the lock held) and says whether the caller is to deliver the queue.
  bool QueueLocked(Event event);
  // Tells the followers of every queued event, in order, without the lock.
  void Deliver();

  mutable std::recursive_mutex lock_;
  std::function<LocalDate()> today_;
  DatedLogFile file_;
  bool file_copying_ = false;
  bool file_failed_ = false;  // the last open attempt failed and was told

  std::deque<LogLine> lines_;  // newest first
  size_t capacity_ = 0;
  size_t longest_ = 0;
  uint64_t dropped_ = 0;
  bool keep_lines_ = false;
  uint32_t text_colour_ = 0x000000;
  uint32_t background_colour_ = 0xFFFFFF;

  std::vector<LogObserver*> observers_;
  std::vector<Event> pending_;
  bool delivering_ = false;
  std::thread::id deliverer_;
  uint64_t batches_done_ = 0;
  std::condition_variable_any delivered_;
};

}  // namespace kelvane::logview
