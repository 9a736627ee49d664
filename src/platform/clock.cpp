// Owns the process-wide monotonic clock (CLOCK_MONOTONIC) and its test override.
#include "platform/clock.h"

#include <time.h>

#include <thread>

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
// Reads under way through MonotonicMilliseconds: threads that outlive a test (the upload
// worker) read the clock at any moment, so an override is not taken away under a read.
std::atomic<int> gReaders{0};

}  // namespace

const CMonotonicClock& GetClock() { return *gClock.load(std::memory_order_acquire); }

namespace {

// Runs `read` on the clock in force, counted as a read under way (see gReaders). Sequentially
// consistent: a reader that counted itself in before an override ended is waited for; one
// that counts itself in after it sees the clock put back.
template <typename Read>
bool ReadClock(Read read) {
  gReaders.fetch_add(1);
  const bool ok = read(*gClock.load());
  gReaders.fetch_sub(1);
  return ok;
}

}  // namespace

bool ReadClockCounter(int64_t& ticks) {
  return ReadClock([&ticks](const CMonotonicClock& clock) { return clock.ReadCounter(ticks); });
}

bool ReadClockFrequency(int64_t& ticksPerSecond) {
  return ReadClock([&ticksPerSecond](const CMonotonicClock& clock) {
    return clock.ReadFrequency(ticksPerSecond);
  });
}

int64_t MonotonicMilliseconds() {
  int64_t ticks = 0;
  int64_t frequency = 0;
  if (!ReadClock([&](const CMonotonicClock& clock) {
        return clock.ReadCounter(ticks) && clock.ReadFrequency(frequency);
      }) ||
      frequency <= 0) {
    return 0;
  }
  // Split to avoid overflowing ticks * 1000 on fine-grained counters.
  return (ticks / frequency) * 1000 + (ticks % frequency) * 1000 / frequency;
}

int64_t UnixMilliseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
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

ScopedClockOverride::~ScopedClockOverride() {
  gClock.store(previous_);
  while (gReaders.load() != 0) std::this_thread::yield();
}

}  // namespace zelm
