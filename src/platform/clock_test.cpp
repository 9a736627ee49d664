#include "platform/clock.h"

#include <gtest/gtest.h>

namespace zelm {
namespace {

TEST(Clock, SystemClockIsMonotonicNanoseconds) {
  int64_t a = 0;
  int64_t b = 0;
  int64_t frequency = 0;
  ASSERT_TRUE(GetClock().ReadCounter(a));
  ASSERT_TRUE(GetClock().ReadCounter(b));
  ASSERT_TRUE(GetClock().ReadFrequency(frequency));
  EXPECT_LE(a, b);
  EXPECT_EQ(frequency, 1'000'000'000);
}

TEST(Clock, OverrideDrivesTheTickCountAndIsRemovedAfterwards) {
  const CMonotonicClock* system = &GetClock();
  {
    CManualClock manual(5'000'000'000);
    ScopedClockOverride override(manual);
    EXPECT_EQ(&GetClock(), &manual);
    EXPECT_EQ(GetTickCount(), 5000u);
    manual.AdvanceMilliseconds(1234);
    EXPECT_EQ(GetTickCount(), 6234u);
    manual.AdvanceNanoseconds(999'999);
    EXPECT_EQ(GetTickCount(), 6234u);
  }
  EXPECT_EQ(&GetClock(), system);
}

TEST(Clock, TickCountWrapsLikeA32BitCounter) {
  CManualClock manual(int64_t{0xFFFFFFFF} * 1'000'000);
  ScopedClockOverride override(manual);
  EXPECT_EQ(GetTickCount(), 0xFFFFFFFFu);
  manual.AdvanceMilliseconds(2);
  EXPECT_EQ(GetTickCount(), 1u);
}

TEST(Clock, WithoutACounterTheTickCountIsZero) {
  CManualClock manual(5'000'000'000, false);
  ScopedClockOverride override(manual);
  EXPECT_EQ(GetTickCount(), 0u);
}

}  // namespace
}  // namespace zelm
