#include "ui/console_sessions.h"

#include <gtest/gtest.h>

#include "ui/password_dlg.h"

namespace zelm {
namespace {

TEST(ConsoleSessions, ALoginKeyOpensOneSessionOnceAndOnlyWhileItIsFresh) {
  CConsoleSessions sessions;
  const std::string key = sessions.IssueLoginKey(0);
  ASSERT_EQ(key.size(), 64u);
  std::string wrong = key;
  wrong[0] = key[0] == '0' ? '1' : '0';  // one character off
  EXPECT_FALSE(sessions.RedeemLoginKey(wrong, "a", 10).has_value());
  const auto cookie = sessions.RedeemLoginKey(key, "a", 10);
  ASSERT_TRUE(cookie.has_value());
  EXPECT_NE(*cookie, key);
  EXPECT_TRUE(sessions.Find(*cookie, 20).has_value());
  EXPECT_FALSE(sessions.RedeemLoginKey(key, "b", 20).has_value());  // used

  const std::string late = sessions.IssueLoginKey(1000);
  EXPECT_FALSE(sessions.RedeemLoginKey(late, "a", 1000 + kLoginKeyLifetimeMs + 1).has_value());
  EXPECT_FALSE(sessions.RedeemLoginKey("", "a", 0).has_value());
  EXPECT_FALSE(sessions.Find("", 0).has_value());
  EXPECT_FALSE(sessions.Find("made-up", 0).has_value());

  // An idle session ends; signing out ends one at once.
  EXPECT_FALSE(sessions.Find(*cookie, 20 + kBrowserSessionIdleMs + 1).has_value());
  const auto other = sessions.OpenSession("a", 0);
  ASSERT_TRUE(other.has_value());
  sessions.CloseSession(*sessions.Find(*other, 0));
  EXPECT_FALSE(sessions.Find(*other, 0).has_value());
}

TEST(ConsoleSessions, AnAuthenticationBelongsToItsSessionAndEnds) {
  CConsoleSessions sessions;
  const uint64_t first = *sessions.Find(*sessions.OpenSession("a", 0), 0);
  const uint64_t second = *sessions.Find(*sessions.OpenSession("a", 0), 0);
  EXPECT_FALSE(sessions.AnyAuthenticated(0));
  sessions.SetAuthenticated(first, true, 1000);
  EXPECT_EQ(sessions.AuthenticatedMsLeft(first, 1000), kAuthenticationMs);
  EXPECT_EQ(sessions.AuthenticatedMsLeft(second, 1000), 0);
  EXPECT_TRUE(sessions.AnyAuthenticated(2000));
  EXPECT_FALSE(sessions.ExpireAuthentications(1000 + kAuthenticationMs));
  EXPECT_TRUE(sessions.ExpireAuthentications(1001 + kAuthenticationMs));
  EXPECT_EQ(sessions.AuthenticatedMsLeft(first, 1001 + kAuthenticationMs), 0);
  EXPECT_FALSE(sessions.AnyAuthenticated(1001 + kAuthenticationMs));
}

TEST(ConsoleSessions, WrongPasswordsLockTheirSourceOutForAWhile) {
  CConsoleSessions sessions;
  int64_t wait = 0;
  for (int i = 1; i < kConsoleFailureLimit; ++i) EXPECT_FALSE(sessions.RecordFailure("a", i));
  EXPECT_TRUE(sessions.MayTryPassword("a", 10, wait));
  EXPECT_TRUE(sessions.RecordFailure("a", 10));
  EXPECT_FALSE(sessions.MayTryPassword("a", 10, wait));
  EXPECT_EQ(wait, kConsoleLockoutMs);
  EXPECT_TRUE(sessions.MayTryPassword("b", 10, wait));  // another source is not held up
  EXPECT_TRUE(sessions.MayTryPassword("a", 10 + kConsoleLockoutMs, wait));
  // After the wait a fresh count begins; a right password clears it.
  EXPECT_FALSE(sessions.RecordFailure("a", 11 + kConsoleLockoutMs));
  for (int i = 2; i < kConsoleFailureLimit; ++i)
    sessions.RecordFailure("a", 12 + kConsoleLockoutMs);
  sessions.RecordSuccess("a");
  EXPECT_FALSE(sessions.RecordFailure("a", 13 + kConsoleLockoutMs));
}

}  // namespace
}  // namespace zelm
