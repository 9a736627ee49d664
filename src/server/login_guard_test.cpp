#include "server/login_guard.h"

#include <gtest/gtest.h>

namespace zelm {
namespace {

constexpr uint32_t kGuesser = 0x0200007F;  // 127.0.0.2, network order
constexpr uint32_t kCustomer = 0x0300007F;

TEST(LoginGuard, EachFailureDoublesTheNextReplysWaitUpToTheCap) {
  CLoginGuard guard;
  guard.SetRules({16, 0, 600, 900});
  EXPECT_EQ(guard.ReplyDelayMs(kGuesser, 0), 0);
  const int64_t expected[] = {1000, 2000, 4000, 8000, 16000, 16000};
  for (int64_t delay : expected) {
    EXPECT_FALSE(guard.RecordFailure(kGuesser, 0));
    EXPECT_EQ(guard.ReplyDelayMs(kGuesser, 0), delay);
  }
  EXPECT_EQ(guard.ReplyDelayMs(kCustomer, 0), 0);  // another PC is not slowed
  guard.RecordSuccess(kGuesser);
  EXPECT_EQ(guard.ReplyDelayMs(kGuesser, 0), 0);
  guard.SetRules({0, 0, 600, 900});  // 0: no delay
  guard.RecordFailure(kGuesser, 0);
  EXPECT_EQ(guard.ReplyDelayMs(kGuesser, 0), 0);
}

TEST(LoginGuard, FailuresWithinTheWindowBanTheAddressForTheBanTime) {
  CLoginGuard guard;
  guard.SetRules({16, 3, 600, 900});
  EXPECT_FALSE(guard.RecordFailure(kGuesser, 0));
  // The first failure leaves the window before the third arrives: no ban yet.
  EXPECT_FALSE(guard.RecordFailure(kGuesser, 599'000));
  EXPECT_FALSE(guard.RecordFailure(kGuesser, 601'000));
  EXPECT_TRUE(guard.RecordFailure(kGuesser, 602'000));
  EXPECT_TRUE(guard.IsBanned(kGuesser, 602'000));
  EXPECT_FALSE(guard.IsBanned(kCustomer, 602'000));
  ASSERT_EQ(guard.ListBans(602'000).size(), 1u);
  EXPECT_EQ(guard.ListBans(602'000)[0].untilMs, 602'000 + 900'000);
  EXPECT_TRUE(guard.IsBanned(kGuesser, 602'000 + 899'999));
  EXPECT_FALSE(guard.IsBanned(kGuesser, 602'000 + 900'000));

  guard.BanUntil(kCustomer, 10'000);
  EXPECT_TRUE(guard.IsBanned(kCustomer, 0));
  EXPECT_TRUE(guard.Lift(kCustomer));
  EXPECT_FALSE(guard.Lift(kCustomer));
  EXPECT_FALSE(guard.IsBanned(kCustomer, 0));

  guard.SetRules({16, 0, 600, 900});  // 0: bans off
  for (int i = 0; i < 50; ++i) EXPECT_FALSE(guard.RecordFailure(kCustomer, i));
}

}  // namespace
}  // namespace zelm
