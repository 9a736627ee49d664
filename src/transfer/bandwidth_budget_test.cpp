#include "transfer/bandwidth_budget.h"

#include <gtest/gtest.h>

namespace zelm {
namespace {

TEST(BandwidthBudget, OneBudgetPerAccountWhateverTheLetterCase) {
  auto a = CBandwidthBudget::ForAccount("Anna");
  auto b = CBandwidthBudget::ForAccount("anna");
  auto other = CBandwidthBudget::ForAccount("bob");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, other);
}

TEST(BandwidthBudget, ParallelTransfersShareTheLimitAndOneGetsAllOfIt) {
  // 100 KiB/s: one transfer's 100 KiB is due after 1 s; four transfers' 25 KiB each as well.
  CBandwidthBudget alone;
  EXPECT_EQ(alone.Account(100, 100 * 1024, 0), 1000);
  CBandwidthBudget shared;
  int64_t pause = 0;
  for (int transfer = 0; transfer < 4; ++transfer) pause = shared.Account(100, 25 * 1024, 0);
  EXPECT_EQ(pause, 1000);
  // Unlimited accounts never wait.
  CBandwidthBudget free;
  EXPECT_EQ(free.Account(0, 1 << 30, 0), 0);
}

TEST(BandwidthBudget, ANewLimitAppliesAtOnceAndStartsAFreshWindow) {
  CBandwidthBudget budget;
  EXPECT_EQ(budget.Account(10, 10 * 1024, 0), 1000);
  // Raised to 100 KiB/s: the bytes already moved are not paid for at the old rate.
  EXPECT_EQ(budget.Account(100, 10 * 1024, 100), 100);
}

TEST(BandwidthBudget, ATransferAfterAQuietSpellGetsNoBurst) {
  CBandwidthBudget budget;
  EXPECT_EQ(budget.Account(100, 10 * 1024, 0), 100);
  // Still within the pause and its grace: the window goes on, the late bytes are not charged.
  EXPECT_EQ(budget.Account(100, 10 * 1024, 300), 0);
  // Nothing for two seconds: a new transfer starts a fresh window instead of two seconds of
  // credit.
  EXPECT_EQ(budget.Account(100, 10 * 1024, 2300), 100);
}

}  // namespace
}  // namespace zelm
