#include "mserverd/login_throttle.h"

#include <gtest/gtest.h>

#include <string>

namespace zelm {
namespace {

constexpr uint32_t kAddress = 0x7F000001;

TEST(LoginThrottle, ANamesWaitDoublesFromItsThirdFailureAndARightPasswordEndsIt) {
  CLoginThrottle throttle;
  int64_t now = 1'000'000;
  // Every failure comes from a link of its own, so that only the name's record counts.
  uint32_t link = 0;
  const auto fail = [&](const std::string& user) {
    ++link;
    throttle.OpenLink(link, kAddress + link, now);
    ASSERT_TRUE(throttle.MayCheck(link, user, now)) << user;
    throttle.Record(link, user, false, now);
  };
  // The wait after the n-th failure in a row.
  const int64_t waits[] = {0, 0, 1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
  for (size_t n = 0; n < std::size(waits); ++n) {
    fail(n % 2 == 0 ? "amy" : "AMY");  // names are one whatever their case
    EXPECT_EQ(throttle.UserWaitMs("Amy", now), waits[n]) << "failure " << n + 1;
    if (waits[n] != 0) {
      EXPECT_FALSE(throttle.MayCheck(link, "amy", now + waits[n] - 1));
      EXPECT_TRUE(throttle.MayCheck(link, "bob", now)) << "other names are not closed";
    }
    now += waits[n];
    EXPECT_TRUE(throttle.MayCheck(link, "amy", now));
  }
  // A right password ends the record: the next wrong ones are free again.
  throttle.Record(link, "amy", true, now);
  fail("amy");
  fail("amy");
  EXPECT_EQ(throttle.UserWaitMs("amy", now), 0);
  fail("amy");
  EXPECT_EQ(throttle.UserWaitMs("amy", now), 1000);

  // A record is forgotten a quarter of an hour after its last failure.
  now += kUserForgetMs;
  fail("amy");
  fail("amy");
  EXPECT_EQ(throttle.UserWaitMs("amy", now), 0);
}

TEST(LoginThrottle, ALinkHasABudgetOfWrongPasswordsThatReconnectingDoesNotRefill) {
  CLoginThrottle throttle;
  int64_t now = 1'000'000;
  throttle.OpenLink(1, kAddress, now);
  throttle.OpenLink(2, kAddress, now);  // the real FTP server, from the same address
  // Names of their own, so that only the link's budget counts.
  for (uint32_t i = 0; i < kLinkFailureBudget; ++i) {
    ASSERT_TRUE(throttle.MayCheck(1, "guess" + std::to_string(i), now)) << i;
    throttle.Record(1, "guess" + std::to_string(i), false, now);
  }
  EXPECT_FALSE(throttle.MayCheck(1, "amy", now));
  EXPECT_TRUE(throttle.MayCheck(2, "amy", now)) << "another link keeps its own budget";
  // Right passwords cost nothing, on either link.
  throttle.Record(2, "amy", true, now);
  EXPECT_TRUE(throttle.MayCheck(2, "amy", now));

  // One wrong password is earned back every kLinkRefillMs.
  now += kLinkRefillMs - 1;
  EXPECT_FALSE(throttle.MayCheck(1, "amy", now));
  now += 1;
  EXPECT_TRUE(throttle.MayCheck(1, "amy", now));
  throttle.Record(1, "again", false, now);
  EXPECT_FALSE(throttle.MayCheck(1, "amy", now));

  // A new link from the same address starts where the closed one left off; one from another
  // address starts whole.
  throttle.CloseLink(1, now);
  throttle.OpenLink(3, kAddress, now);
  throttle.OpenLink(4, kAddress + 1, now);
  EXPECT_FALSE(throttle.MayCheck(3, "amy", now));
  EXPECT_TRUE(throttle.MayCheck(4, "amy", now));
  now += kLinkRefillMs;
  EXPECT_TRUE(throttle.MayCheck(3, "amy", now));
  // Once whole again nothing is remembered: a later link of the address starts whole.
  now += int64_t{kLinkFailureBudget} * kLinkRefillMs;
  throttle.CloseLink(3, now);
  throttle.OpenLink(5, kAddress, now);
  for (uint32_t i = 0; i < kLinkFailureBudget; ++i) {
    ASSERT_TRUE(throttle.MayCheck(5, "late" + std::to_string(i), now)) << i;
    throttle.Record(5, "late" + std::to_string(i), false, now);
  }
  EXPECT_FALSE(throttle.MayCheck(5, "amy", now));
}

}  // namespace
}  // namespace zelm
