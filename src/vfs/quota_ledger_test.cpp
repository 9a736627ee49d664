#include "vfs/quota_ledger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "vfs/test_tree.h"

namespace zelm {
namespace {

TEST(QuotaLedger, CountsEveryLevelAndNeverFollowsLinks) {
  TestTree tree;
  tree.MakeFile("a", std::string(3, 'x'));
  // Deeper than any walk limit a path could slip under: 300 levels, a file at the bottom.
  std::string deep;
  for (int i = 0; i < 300; ++i) {
    deep += (i == 0 ? "" : "/") + std::string("d");
    tree.MakeDirectory(deep);
  }
  tree.MakeFile(deep + "/bottom", std::string(1000, 'x'));
  ASSERT_TRUE(CreateSymbolicLink(tree.Path("a"), tree.Path("link-to-file")));
  ASSERT_TRUE(CreateSymbolicLink(tree.Root(), tree.Path("d/loop")));
  EXPECT_EQ(CountUsedSpace(tree.Root()), 3u + 1000u);
  EXPECT_EQ(CountUsedSpace(tree.Path("missing")), 0u);
}

TEST(QuotaLedger, SessionsOfOneHomeShareOneLedgerUntilTheLastLetsGo) {
  TestTree tree;
  tree.MakeFile("f", std::string(100, 'x'));
  auto first = CQuotaLedger::ForHome(tree.Root());
  auto second = CQuotaLedger::ForHome(tree.Root());
  EXPECT_EQ(first, second);
  EXPECT_EQ(first->GetUsed(), 100u);
  first->Add(50);
  EXPECT_EQ(second->GetUsed(), 150u);
  // A change made outside FTP is seen once no session of the home is left.
  tree.MakeFile("g", std::string(7, 'x'));
  EXPECT_EQ(CQuotaLedger::ForHome(tree.Root())->GetUsed(), 150u);
  first.reset();
  second.reset();
  EXPECT_EQ(CQuotaLedger::ForHome(tree.Root())->GetUsed(), 107u);
}

TEST(QuotaLedger, ChargesOnlyWhatFitsAndNeverGoesBelowZero) {
  CQuotaLedger ledger(900);
  EXPECT_EQ(ledger.GetFree(1000), 100u);
  EXPECT_EQ(ledger.GetFree(0), UINT64_MAX);
  EXPECT_FALSE(ledger.TryCharge(1000, 101));
  EXPECT_TRUE(ledger.TryCharge(1000, 100));
  EXPECT_FALSE(ledger.TryCharge(1000, 1));
  EXPECT_TRUE(ledger.TryCharge(0, 5));  // no quota: always fits
  EXPECT_EQ(ledger.GetUsed(), 1005u);
  ledger.Add(-2000);
  EXPECT_EQ(ledger.GetUsed(), 0u);
  ledger.Add(INT64_MIN);
  EXPECT_EQ(ledger.GetUsed(), 0u);
}

TEST(QuotaLedger, ConcurrentChargesNeverPassTheQuota) {
  CQuotaLedger ledger(0);
  std::vector<std::thread> writers;
  std::atomic<uint64_t> charged{0};
  for (int i = 0; i < 4; ++i) {
    writers.emplace_back([&] {
      for (int n = 0; n < 1000; ++n) {
        if (ledger.TryCharge(100000, 64)) charged += 64;
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  EXPECT_EQ(ledger.GetUsed(), charged.load());
  EXPECT_LE(ledger.GetUsed(), 100000u);
  EXPECT_GT(ledger.GetUsed(), 100000u - 64);
}

}  // namespace
}  // namespace zelm
