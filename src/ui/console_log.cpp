// Owns the console's log buffer: the queue, the flush, trimming and reading by position.
#include "ui/console_log.h"

#include <algorithm>
#include <chrono>
#include <mutex>

namespace zelm {

CConsoleLog::CConsoleLog(size_t limit) : limit_(limit < 2 ? 2 : limit) {}

void CConsoleLog::AddLog(LogRecord record) {
  const size_t size = FormatLogLine(record).size() + 1;
  CMutexLock lock(mutex_);
  pendingSize_ += size;
  pending_.push_back({0, size, std::move(record)});
  // Nobody flushed for a long time: what cannot fit in the buffer is dropped now.
  while (pendingSize_ > limit_ && pending_.size() > 1) {
    pendingSize_ -= pending_.front().size;
    pending_.erase(pending_.begin());
  }
}

void CConsoleLog::TrimForLocked(size_t incoming) {
  const uint64_t held = end_ - base_;
  if (limit_ / 2 >= held + incoming || entries_.empty()) return;
  // Drop the older half: cut at the entry that holds the middle character.
  const uint64_t middle = base_ + held / 2;
  auto cut = std::upper_bound(entries_.begin(), entries_.end(), middle,
                              [](uint64_t p, const Entry& e) { return p < e.start; });
  // `cut` is the first entry starting after the middle; the one before it holds the middle.
  if (cut != entries_.begin() && std::prev(cut) != entries_.begin()) --cut;
  entries_.erase(entries_.begin(), cut);
  base_ = entries_.empty() ? end_ : entries_.front().start;
}

bool CConsoleLog::Flush() {
  CMutexLock lock(mutex_);
  if (pending_.empty()) return false;
  TrimForLocked(pendingSize_);
  for (Entry& entry : pending_) {
    entry.start = end_;
    end_ += entry.size;
    entries_.push_back(std::move(entry));
  }
  pending_.clear();
  pendingSize_ = 0;
  ++generation_;
  changed_.notify_all();
  // A burst larger than the whole limit keeps only its newest entries.
  while (end_ - base_ > limit_ && entries_.size() > 1) {
    entries_.pop_front();
    base_ = entries_.front().start;
  }
  return true;
}

void CConsoleLog::Clear() {
  CMutexLock lock(mutex_);
  entries_.clear();
  // One position is skipped, so that a reader that was up to date is reset too.
  end_ += 1;
  base_ = end_;
  ++generation_;
  changed_.notify_all();
}

void CConsoleLog::WaitForChange(uint64_t position, int timeoutMs) const {
  CMutexLock lock(mutex_);
  if (shutdown_ || position != end_) return;
  const uint64_t generation = generation_;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  // The wait lets go of the log lock and takes it back; `lock` holds it again afterwards.
  std::unique_lock native(mutex_.Native(), std::adopt_lock);
  while (!shutdown_ && generation_ == generation) {
    if (changed_.wait_until(native, deadline) == std::cv_status::timeout) break;
  }
  native.release();
}

void CConsoleLog::Wake() {
  CMutexLock lock(mutex_);
  ++generation_;
  changed_.notify_all();
}

void CConsoleLog::Shutdown() {
  CMutexLock lock(mutex_);
  shutdown_ = true;
  changed_.notify_all();
}

CConsoleLog::Slice CConsoleLog::Read(uint64_t position, bool fromStart, bool showPasswords) const {
  CMutexLock lock(mutex_);
  Slice slice;
  slice.next = end_;
  auto from = entries_.begin();
  if (fromStart || position < base_ || position > end_) {
    slice.reset = true;
  } else if (position < end_) {
    from = std::lower_bound(entries_.begin(), entries_.end(), position,
                            [](const Entry& e, uint64_t p) { return e.start < p; });
    if (from == entries_.end() || from->start != position) {
      slice.reset = true;  // not a point between entries
      from = entries_.begin();
    }
  } else {
    return slice;  // up to date
  }
  slice.entries.reserve(static_cast<size_t>(entries_.end() - from));
  for (auto it = from; it != entries_.end(); ++it) {
    LogRecord record = it->record;
    if (!showPasswords && !record.masked.empty()) record.text = record.masked;
    record.masked.clear();
    slice.entries.push_back(std::move(record));
  }
  return slice;
}

size_t CConsoleLog::Size() const {
  CMutexLock lock(mutex_);
  return static_cast<size_t>(end_ - base_);
}

}  // namespace zelm
