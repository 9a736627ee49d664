// CConsoleLog: the console's log of FTP commands and replies: entries queued by the sessions,
// flushed every 500 ms into a bounded buffer that browsers and `zelmftpctl log` read from.
// Each entry is one line (time, address, user, text); its size is that of its line in the
// journal's form ("(a.b.c.d)(user): text" and a line end).
//
// Positions: every character ever flushed has an absolute position; a reader keeps the
// position after the last text it got and asks for what follows. When that position is no
// longer in the buffer (trimmed away, cleared, or never a point between entries), the reader
// gets the whole buffer with `reset` set and starts over.
//
// Trimming: when a flush would take the buffer past half its limit, the older half is dropped
// first, cut at the start of the entry that holds the middle character (or, when the oldest
// entry holds it, at the start of the next one), so a reader never sees half an entry.
//
// Passwords: an entry posted while the administrator was authenticated may show a password;
// it is kept together with its masked form, and readers that may not see passwords get that.
//
// Thread safety: every operation may be called from any thread; `mutex_` (the log lock)
// guards the queue and the buffer. It is taken last: nothing else is locked under it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "ftp/session_log.h"
#include "platform/thread_annotations.h"

namespace zelm {

// Characters the buffer holds at most (the log control's text limit).
inline constexpr size_t kConsoleLogLimit = 1024 * 1024;

class CConsoleLog final {
 public:
  explicit CConsoleLog(size_t limit = kConsoleLogLimit);
  CConsoleLog(const CConsoleLog&) = delete;
  CConsoleLog& operator=(const CConsoleLog&) = delete;

  // Queues one entry (its `masked` set when its text shows a password). Queued entries past
  // the limit push out the oldest queued ones.
  void AddLog(LogRecord record);
  // Moves the queued entries, in order, into the buffer (trimming first). False when nothing
  // was queued: the buffer is then untouched.
  bool Flush();
  // Empties the buffer; every reader's next read is a reset.
  void Clear();

  struct Slice {
    bool reset = false;
    std::vector<LogRecord> entries;  // passwords masked unless asked for (`masked` emptied)
    uint64_t next = 0;               // the position to ask from next time
  };
  // What follows `position` (a reset when it is not a point of the buffer); `fromStart`
  // always gives the whole buffer as a reset. `showPasswords` false gives masked entries.
  Slice Read(uint64_t position, bool fromStart, bool showPasswords) const;
  // Waits until the buffer changes (new entries, a clear, `Wake`) or `Shutdown`, at most
  // `timeoutMs`; returns at once when there is text after `position` already. Lets a reader
  // see entries as soon as they are flushed without asking again and again.
  void WaitForChange(uint64_t position, int timeoutMs) const;
  // Ends the waits in progress (what readers may see has changed: an authentication ended).
  void Wake();
  // Ends the waits in progress and makes later ones return at once (the console closes).
  void Shutdown();
  // Characters in the buffer.
  size_t Size() const;
  size_t Limit() const { return limit_; }

 private:
  struct Entry {
    uint64_t start = 0;
    size_t size = 0;
    LogRecord record;
  };
  void TrimForLocked(size_t incoming) ZELM_REQUIRES(mutex_);

  const size_t limit_;
  mutable CMutex mutex_;  // the log lock
  std::vector<Entry> pending_ ZELM_GUARDED_BY(mutex_);
  size_t pendingSize_ ZELM_GUARDED_BY(mutex_) = 0;
  std::deque<Entry> entries_ ZELM_GUARDED_BY(mutex_);
  uint64_t base_ ZELM_GUARDED_BY(mutex_) = 0;        // position of the first character held
  uint64_t end_ ZELM_GUARDED_BY(mutex_) = 0;         // position after the last
  uint64_t generation_ ZELM_GUARDED_BY(mutex_) = 0;  // counts changes, for WaitForChange
  bool shutdown_ ZELM_GUARDED_BY(mutex_) = false;
  mutable std::condition_variable changed_;  // with mutex_: generation_ or shutdown_ moved
};

}  // namespace zelm
