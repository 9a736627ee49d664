// Wall-clock time broken down in the local time zone, as listings show it.
//
// Thread safety: both functions may be called from any thread (localtime_r).
#pragma once

#include <cstdint>

namespace zelm {

// A broken-down local time; month 1-12, day of week 0 = Sunday.
struct SystemTime {
  uint16_t year = 0;
  uint16_t month = 0;
  uint16_t dayOfWeek = 0;
  uint16_t day = 0;
  uint16_t hour = 0;
  uint16_t minute = 0;
  uint16_t second = 0;
  uint16_t milliseconds = 0;
};

// The current local time.
void GetLocalTime(SystemTime& now);

// Converts seconds since the epoch to local time; false when the platform cannot.
bool ToLocalTime(int64_t seconds, SystemTime& time);
// Converts seconds since the epoch to UTC; false when the platform cannot.
bool ToUtcTime(int64_t seconds, SystemTime& time);
// Seconds since the epoch of a UTC time; false for a time that does not exist (month 13,
// February 30th, ...).
bool FromUtcTime(const SystemTime& time, int64_t& seconds);

}  // namespace zelm
