// Owns the process-wide monotonic clock (CLOCK_MONOTONIC) and its test override.
#include "platform/clock.h"

#include <time.h>

namespace zelm {
namespace {

class CSystemClock final : public CMonotonicClock {
 public:
  bool ReadCounter(int64_t& ticks) const override {
    timespec ts{};
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return false;
    ticks = static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    return true;
  }
  bool ReadFrequency(int64_t& ticksPerSecond) const override {
    ticksPerSecond = 1'000'000'000;
    return true;
  }
};

const CSystemClock gSystemClock;
std::atomic<const CMonotonicClock*> gClock{&gSystemClock};

}  // namespace

const CMonotonicClock& GetClock() { return *gClock.load(std::memory_order_acquire); }

int64_t MonotonicMilliseconds() {
  const CMonotonicClock& clock = GetClock();
  int64_t ticks = 0;
  int64_t frequency = 0;
  if (!clock.ReadCounter(ticks) || !clock.ReadFrequency(frequency) || frequency <= 0) return 0;
  // Split to avoid overflowing ticks * 1000 on fine-grained counters.
  return (ticks / frequency) * 1000 + (ticks % frequency) * 1000 / frequency;
}

uint32_t GetTickCount() { return static_cast<uint32_t>(MonotonicMilliseconds()); }

bool CManualClock::ReadCounter(int64_t& ticks) const {
  if (!hasCounter_) return false;
  ticks = now_.load();
  return true;
}

bool CManualClock::ReadFrequency(int64_t& ticksPerSecond) const {
  ticksPerSecond = hasCounter_ ? 1'000'000'000 : 0;
  return hasCounter_;
}

ScopedClockOverride::ScopedClockOverride(const CMonotonicClock& clock)
    : previous_(gClock.exchange(&clock, std::memory_order_acq_rel)) {}

ScopedClockOverride::~ScopedClockOverride() { gClock.store(previous_, std::memory_order_release); }

}  // namespace zelm
