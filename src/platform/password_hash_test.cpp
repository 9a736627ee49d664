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

}  // namespace
}  // namespace zelm
