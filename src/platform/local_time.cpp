// Owns the conversion of epoch times to the local broken-down form.
#include "platform/local_time.h"

#include <ctime>

namespace zelm {
namespace {

bool Fill(const timespec& when, SystemTime& time) {
  struct tm local;
  const time_t seconds = when.tv_sec;
  if (localtime_r(&seconds, &local) == nullptr) return false;
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

}  // namespace zelm
