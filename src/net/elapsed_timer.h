// CElapsedTimer: the whole-second stopwatch of the control session's timeouts.
//
// Reads the process-wide monotonic clock (platform/clock.h), so tests move it by advancing a
// manual clock. When the clock has no counter every reading is 0 and timeouts never expire.
// Thread safety: one object belongs to one thread.
#pragma once

#include <cstdint>

namespace zelm {

class CElapsedTimer final {
 public:
  CElapsedTimer();

  // Starts measuring anew from now.
  void Restart();
  // Starts measuring anew from the clock's counter value `counter` (a moment that another
  // thread noted).
  void RestartAt(int64_t counter) { mark_ = counter; }
  // Counter ticks since construction (`sinceStart`) or since the last Restart; 0 when the
  // counter cannot be read.
  int64_t ElapsedTicks(bool sinceStart) const;
  // Whole seconds since the last Restart (or construction), truncated; 0 without a counter.
  int64_t ElapsedSeconds() const;
  // Milliseconds from now until ElapsedSeconds() reaches `seconds` (rounded up; 0 when it
  // already has); -1 without a counter, when that never happens.
  int64_t MillisecondsUntil(int64_t seconds) const;

 private:
  int64_t start_ = 0;
  int64_t mark_ = 0;
  int64_t frequency_ = 0;
};

}  // namespace zelm
