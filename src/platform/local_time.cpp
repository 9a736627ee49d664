// Owns the conversion of epoch times to the broken-down form, local and UTC.
#include "platform/local_time.h"

#include <ctime>

namespace zelm {
namespace {

bool Fill(const timespec& when, SystemTime& time, bool utc = false) {
  struct tm local;
  const time_t seconds = when.tv_sec;
  if ((utc ? gmtime_r(&seconds, &local) : localtime_r(&seconds, &local)) == nullptr) return false;
  time.year = static_cast<uint16_t>(local.tm_year + 1900);
  time.month = static_cast<uint16_t>(local.tm_mon + 1);
  time.dayOfWeek = static_cast<uint16_t>(local.tm_wday);
  time.day = static_cast<uint16_t>(local.tm_mday);
  time.hour = static_cast<uint16_t>(local.tm_hour);
  time.minute = static_cast<uint16_t>(local.tm_min);
  time.second = static_cast<uint16_t>(local.tm_sec);
  time.milliseconds = static_cast<uint16_t>(when.tv_nsec / 1'000'000);
  return true;
}

}  // namespace

void GetLocalTime(SystemTime& now) {
  timespec when{};
  clock_gettime(CLOCK_REALTIME, &when);
  if (!Fill(when, now)) now = SystemTime{};
}

bool ToLocalTime(int64_t seconds, SystemTime& time) {
  timespec when{};
  when.tv_sec = static_cast<time_t>(seconds);
  return Fill(when, time);
}

bool ToUtcTime(int64_t seconds, SystemTime& time) {
  timespec when{};
  when.tv_sec = static_cast<time_t>(seconds);
  return Fill(when, time, true);
}

bool FromUtcTime(const SystemTime& time, int64_t& seconds) {
  struct tm utc {};
  utc.tm_year = time.year - 1900;
  utc.tm_mon = time.month - 1;
  utc.tm_mday = time.day;
  utc.tm_hour = time.hour;
  utc.tm_min = time.minute;
  utc.tm_sec = time.second;
  const time_t value = timegm(&utc);
  // timegm normalises (February 30th becomes March 2nd): such a time does not exist.
  struct tm back {};
  if (gmtime_r(&value, &back) == nullptr || back.tm_year != utc.tm_year ||
      back.tm_mon != time.month - 1 || back.tm_mday != time.day || back.tm_hour != time.hour ||
      back.tm_min != time.minute || back.tm_sec != time.second) {
    return false;
  }
  seconds = value;
  return true;
}

}  // namespace zelm
