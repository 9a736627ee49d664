// Owns whole-second measurement of elapsed time on the monotonic clock.
#include "net/elapsed_timer.h"

#include "platform/clock.h"

namespace zelm {

CElapsedTimer::CElapsedTimer() {
  if (ReadClockCounter(start_) && ReadClockFrequency(frequency_)) mark_ = start_;
}

void CElapsedTimer::Restart() { ReadClockCounter(mark_); }

int64_t CElapsedTimer::ElapsedTicks(bool sinceStart) const {
  int64_t now = 0;
  if (!ReadClockCounter(now)) return 0;
  return now - (sinceStart ? start_ : mark_);
}

int64_t CElapsedTimer::ElapsedSeconds() const {
  if (frequency_ == 0) return 0;
  return ElapsedTicks(false) / frequency_;
}

int64_t CElapsedTimer::MillisecondsUntil(int64_t seconds) const {
  if (frequency_ == 0) return -1;
  const int64_t remaining = seconds * frequency_ - ElapsedTicks(false);
  if (remaining <= 0) return 0;
  return (remaining * 1000 + frequency_ - 1) / frequency_;
}

}  // namespace zelm
