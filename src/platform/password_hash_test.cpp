#include "platform/password_hash.h"

#include <gtest/gtest.h>

namespace zelm {
namespace {

// Small parameters keep the test quick; the format and the checks are the same.
constexpr ScryptParameters kFast{1024, 8, 1};

TEST(PasswordHash, VerifiesOnlyTheRightPassword) {
  const std::string stored = HashPassword("s3cret", kFast);
  ASSERT_EQ(stored.rfind("scrypt$1024$8$1$", 0), 0u);
  EXPECT_TRUE(VerifyPassword("s3cret", stored));
  EXPECT_FALSE(VerifyPassword("s3creT", stored));
  EXPECT_FALSE(VerifyPassword("", stored));
  EXPECT_NE(HashPassword("s3cret", kFast), stored);  // a fresh salt each time
  const std::string empty = HashPassword("", kFast);
  EXPECT_TRUE(VerifyPassword("", empty));
}

TEST(PasswordHash, MalformedStoredTextNeverMatches) {
  const std::string good = HashPassword("pw", kFast);
  const std::string cases[] = {
      "",
      "pw",
      "scrypt$1024$8$1$00$",
      "scrypt$0$8$1$0011$0011",
      "scrypt$1024$8$1$zz$0011",
      "bcrypt" + good.substr(6),
      good.substr(0, good.size() - 1),
      good + "$",
  };
  for (const std::string& stored : cases) EXPECT_FALSE(VerifyPassword("pw", stored)) << stored;
}

TEST(VerifiedPasswords, RemembersOnlyPasswordsThatVerifiedAgainstTheSameStoredText) {
  CVerifiedPasswords verified(2);
  const std::string alice = HashPassword("wonderland", kFast);
  EXPECT_FALSE(verified.Verify("wonderlanD", alice));
  EXPECT_FALSE(verified.Verify("wonderlanD", alice));  // a wrong guess is never remembered
  EXPECT_EQ(verified.Hits(), 0u);
  EXPECT_TRUE(verified.Verify("wonderland", alice));
  EXPECT_TRUE(verified.Verify("wonderland", alice));
  EXPECT_EQ(verified.Hits(), 1u);
  EXPECT_FALSE(verified.Verify("wonderland2", alice));
  // A new password (new salt, new text): the old one no longer logs in.
  const std::string changed = HashPassword("looking-glass", kFast);
  EXPECT_FALSE(verified.Verify("wonderland", changed));
  EXPECT_TRUE(verified.Verify("looking-glass", changed));
  // The same password for another stored text is derived afresh.
  const std::string bob = HashPassword("wonderland", kFast);
  EXPECT_TRUE(verified.Verify("wonderland", bob));
  EXPECT_EQ(verified.Hits(), 1u);
  // Capacity 2: alice's digest went first; it still verifies, by derivation.
  EXPECT_TRUE(verified.Verify("wonderland", alice));
  EXPECT_EQ(verified.Hits(), 1u);
  EXPECT_FALSE(verified.Verify("", alice));
  EXPECT_FALSE(verified.Verify("wonderland", "scrypt$malformed"));
}

}  // namespace
}  // namespace zelm
