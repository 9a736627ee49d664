// The monotonic clock of the system, and the way tests replace it.
//
// Every timeout of the server (data connection, login answer, idle, stalled upload) and every
// tick count is read through `CMonotonicClock`. The process-wide clock is the platform's
// CLOCK_MONOTONIC; a test installs a `CManualClock` with `ScopedClockOverride` and advances
// it instead of sleeping.
//
// Thread safety: every reader may be called from any thread; `CManualClock` keeps its time in
// an atomic. Threads may outlive the override of a test (the upload worker, a session still
// ending): removing an override waits for the reads under way through `ReadClockCounter`,
// `ReadClockFrequency`, `MonotonicMilliseconds` and `GetTickCount`, and later reads see the
// clock put back. `GetClock()` hands out the clock itself, for callers that end before the
// override does.
#pragma once

#include <atomic>
#include <cstdint>

namespace zelm {

// A counter with a frequency, in the manner of a high-resolution performance counter.
class CMonotonicClock {
 public:
  virtual ~CMonotonicClock() = default;
  // Reads the counter; false when the platform has no such counter.
  virtual bool ReadCounter(int64_t& ticks) const = 0;
  // Counter ticks per second; false (or 0) when there is no counter.
  virtual bool ReadFrequency(int64_t& ticksPerSecond) const = 0;
};

// The clock everyone reads: the platform's monotonic clock unless a test overrides it.
const CMonotonicClock& GetClock();

// The counter and frequency of the clock in force.
bool ReadClockCounter(int64_t& ticks);
bool ReadClockFrequency(int64_t& ticksPerSecond);
// Milliseconds since an arbitrary origin, from the clock in force; wraps like a 32-bit tick
// count.
uint32_t GetTickCount();
// The same without wrapping.
int64_t MonotonicMilliseconds();
// Milliseconds since 1970-01-01 UTC (the system's wall clock; for what people read, never for
// timeouts).
int64_t UnixMilliseconds();

// A clock that moves only when told to; counts nanoseconds. A zero frequency stands for a
// platform without a high-resolution counter.
class CManualClock final : public CMonotonicClock {
 public:
  explicit CManualClock(int64_t startNanoseconds = 1'000'000'000, bool hasCounter = true)
      : now_(startNanoseconds), hasCounter_(hasCounter) {}

  bool ReadCounter(int64_t& ticks) const override;
  bool ReadFrequency(int64_t& ticksPerSecond) const override;

  void AdvanceMilliseconds(int64_t ms) { now_.fetch_add(ms * 1'000'000); }
  void AdvanceNanoseconds(int64_t ns) { now_.fetch_add(ns); }

 private:
  std::atomic<int64_t> now_;
  bool hasCounter_;
};

// Installs `clock` as the process-wide clock for the lifetime of this object.
class ScopedClockOverride final {
 public:
  explicit ScopedClockOverride(const CMonotonicClock& clock);
  ~ScopedClockOverride();
  ScopedClockOverride(const ScopedClockOverride&) = delete;
  ScopedClockOverride& operator=(const ScopedClockOverride&) = delete;

 private:
  const CMonotonicClock* previous_;
};

}  // namespace zelm
