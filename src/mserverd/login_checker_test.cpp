#include "mserverd/login_checker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "net/loopback_test_util.h"
#include "platform/clock.h"

namespace zelm {
namespace {

// A password check that the test holds up: each check waits at the gate until it opens, and
// is counted. "right" is the one right password.
class HeldCheck {
 public:
  std::optional<Account> operator()(std::string_view user, std::string_view password) {
    std::unique_lock lock(mutex_);
    ++entered_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
    users_.emplace_back(user);
    if (password != "right") return std::nullopt;
    return Account{std::string(user), "home", 0, 0, 0, 0, true};
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  // Waits until `count` checks have begun.
  bool Entered(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return entered_ >= count; });
  }
  size_t Calls() {
    std::lock_guard lock(mutex_);
    return users_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  size_t entered_ = 0;
  std::vector<std::string> users_;
};

class LoginCheckerTest : public ::testing::Test {
 protected:
  LoginCheck Check(uint32_t link, uint32_t session, std::string user = "amy",
                   std::string password = "wrong") {
    return {link, session, std::move(user), std::move(password)};
  }
  // Waits for `count` verdicts in all and returns every verdict so far.
  const std::vector<LoginVerdict>& Verdicts(size_t count) {
    EXPECT_TRUE(testing::WaitUntil([&] {
      for (LoginVerdict& v : checker_.TakeVerdicts()) verdicts_.push_back(std::move(v));
      return verdicts_.size() >= count;
    })) << verdicts_.size()
        << " verdicts";
    return verdicts_;
  }

  HeldCheck held_;
  CLoginChecker checker_{[this](std::string_view u, std::string_view p) { return held_(u, p); },
                         nullptr};
  std::vector<LoginVerdict> verdicts_;
};

TEST_F(LoginCheckerTest, ABurstOnOneLinkWaitsItsTurnAndOverflowsOnlyItsOwnLine) {
  ASSERT_TRUE(checker_.Start(1));
  checker_.OpenLink(1, 0x7F000002);
  checker_.OpenLink(2, 0x7F000001);
  // The attacker's line fills up (names of their own, so that no name is closed)...
  ASSERT_TRUE(checker_.Submit(Check(1, 0, "guess0")));
  ASSERT_TRUE(held_.Entered(1));  // the worker is busy with the first guess
  for (uint32_t i = 1; i <= kQueuedChecksPerLink; ++i) {
    ASSERT_TRUE(checker_.Submit(Check(1, i, "guess" + std::to_string(i)))) << i;
  }
  EXPECT_FALSE(checker_.Submit(Check(1, 99, "guess99")))
      << "the line holds " << kQueuedChecksPerLink;
  // ...while the real server's login still finds room, and is served next but one.
  ASSERT_TRUE(checker_.Submit(Check(2, 7, "bob", "right")));
  held_.Open();
  const auto& verdicts = Verdicts(kQueuedChecksPerLink + 2);
  size_t at = 0;
  while (at < verdicts.size() && verdicts[at].link != 2) ++at;
  ASSERT_LT(at, verdicts.size());
  EXPECT_LE(at, 2u) << "one check under way, one more of the busy line at most";
  EXPECT_EQ(verdicts[at].sessionId, 7u);
  EXPECT_EQ(verdicts[at].outcome, LoginOutcome::kAccepted);
  EXPECT_EQ(verdicts[at].account->name, "bob");
}

TEST_F(LoginCheckerTest, TheQueueAsAWholeIsBounded) {
  // No worker: nothing leaves the queue.
  for (uint32_t link = 1; link <= kQueuedChecks / kQueuedChecksPerLink; ++link) {
    for (uint32_t i = 0; i < kQueuedChecksPerLink; ++i) {
      ASSERT_TRUE(checker_.Submit(Check(link, i))) << link << "/" << i;
    }
  }
  EXPECT_EQ(checker_.Queued(), kQueuedChecks);
  EXPECT_FALSE(checker_.Submit(Check(1000, 1)));
  // A link that goes takes its checks with it, which makes room.
  checker_.CloseLink(1);
  EXPECT_EQ(checker_.Queued(), kQueuedChecks - kQueuedChecksPerLink);
  EXPECT_TRUE(checker_.Submit(Check(1000, 1)));
}

TEST_F(LoginCheckerTest, AThrottledCheckCostsNoDerivationAndAClosedLinksChecksAreDropped) {
  CManualClock clock;
  ScopedClockOverride override(clock);
  held_.Open();
  ASSERT_TRUE(checker_.Start(1));
  checker_.OpenLink(1, 0x7F000001);
  // Two wrong passwords are free, the third closes the name for a second.
  for (uint32_t i = 1; i <= 4; ++i) ASSERT_TRUE(checker_.Submit(Check(1, i)));
  const auto& verdicts = Verdicts(4);
  EXPECT_EQ(verdicts[2].outcome, LoginOutcome::kRefused);
  EXPECT_EQ(verdicts[3].outcome, LoginOutcome::kThrottled);
  EXPECT_EQ(verdicts[3].sessionId, 4u);
  EXPECT_EQ(held_.Calls(), 3u);
  // Even the right password waits out the second, and then goes through.
  ASSERT_TRUE(checker_.Submit(Check(1, 5, "amy", "right")));
  EXPECT_EQ(Verdicts(5)[4].outcome, LoginOutcome::kThrottled);
  clock.AdvanceMilliseconds(kUserWaitFirstMs);
  ASSERT_TRUE(checker_.Submit(Check(1, 6, "amy", "right")));
  EXPECT_EQ(Verdicts(6)[5].outcome, LoginOutcome::kAccepted);
  EXPECT_EQ(held_.Calls(), 4u);
}

TEST(LoginChecker, ALinkThatGoesHasItsQueuedChecksDropped) {
  HeldCheck held;
  std::atomic<int> notified{0};
  std::vector<LoginVerdict> verdicts;
  {
    CLoginChecker checker([&held](std::string_view u, std::string_view p) { return held(u, p); },
                          [&notified] { ++notified; });
    ASSERT_TRUE(checker.Start(1));
    checker.OpenLink(1, 0x7F000001);
    for (uint32_t i = 1; i <= 5; ++i) ASSERT_TRUE(checker.Submit({1, i, "amy", "wrong"}));
    ASSERT_TRUE(held.Entered(1));
    checker.CloseLink(1);
    EXPECT_EQ(checker.Queued(), 0u);
    held.Open();
    ASSERT_TRUE(testing::WaitUntil([&] { return notified.load() == 1; }));
    verdicts = checker.TakeVerdicts();
  }  // the destructor stops the idle worker
  ASSERT_EQ(verdicts.size(), 1u) << "only the check under way ends";
  EXPECT_EQ(verdicts[0].sessionId, 1u);
  EXPECT_EQ(held.Calls(), 1u);
}

}  // namespace
}  // namespace zelm
