#include "net/elapsed_timer.h"

#include <gtest/gtest.h>

#include "platform/clock.h"

namespace zelm {
namespace {

TEST(ElapsedTimer, CountsWholeSecondsSinceTheLastRestart) {
  CManualClock clock;
  ScopedClockOverride override(clock);
  CElapsedTimer timer;
  EXPECT_EQ(timer.ElapsedSeconds(), 0);
  clock.AdvanceMilliseconds(1900);
  EXPECT_EQ(timer.ElapsedSeconds(), 1);
  clock.AdvanceMilliseconds(100);
  EXPECT_EQ(timer.ElapsedSeconds(), 2);
  timer.Restart();
  EXPECT_EQ(timer.ElapsedSeconds(), 0);
  clock.AdvanceMilliseconds(999);
  EXPECT_EQ(timer.ElapsedSeconds(), 0);
  clock.AdvanceMilliseconds(600'000);
  EXPECT_EQ(timer.ElapsedSeconds(), 600);
  EXPECT_EQ(timer.ElapsedTicks(true), int64_t{602'999} * 1'000'000);
  EXPECT_EQ(timer.ElapsedTicks(false), int64_t{600'999} * 1'000'000);
}

TEST(ElapsedTimer, MillisecondsUntilADeadline) {
  CManualClock clock;
  ScopedClockOverride override(clock);
  CElapsedTimer timer;
  EXPECT_EQ(timer.MillisecondsUntil(10), 10'000);
  clock.AdvanceNanoseconds(9'999'000'001);
  EXPECT_EQ(timer.MillisecondsUntil(10), 1);  // rounded up: never wake a little too early
  clock.AdvanceMilliseconds(1);
  EXPECT_EQ(timer.MillisecondsUntil(10), 0);
  EXPECT_EQ(timer.ElapsedSeconds(), 10);
}

TEST(ElapsedTimer, WithoutACounterTimeoutsNeverExpire) {
  CManualClock clock(1'000'000'000, false);
  ScopedClockOverride override(clock);
  CElapsedTimer timer;
  clock.AdvanceMilliseconds(3'600'000);
  EXPECT_EQ(timer.ElapsedSeconds(), 0);
  EXPECT_EQ(timer.ElapsedTicks(false), 0);
  EXPECT_EQ(timer.MillisecondsUntil(600), -1);
}

}  // namespace
}  // namespace zelm
