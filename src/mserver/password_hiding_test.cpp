#include "mserver/password_hiding.h"

#include <gtest/gtest.h>

#include <string>

namespace zelm {
namespace {

TEST(PasswordHiding, LengthsAndRoundTrip) {
  struct Case {
    size_t length;
    size_t hexDigits;
  };
  const Case cases[] = {{0, 0}, {1, 32}, {15, 32}, {16, 32}, {17, 64}, {128, 256}, {200, 256}};
  for (const Case& c : cases) {
    std::string password;
    for (size_t i = 0; i < c.length; ++i) password.push_back(static_cast<char>('!' + i % 90));
    const std::string hidden = HidePassword(password, "Alice");
    EXPECT_EQ(hidden.size(), c.hexDigits) << c.length;
    EXPECT_EQ(hidden.find_first_not_of("0123456789ABCDEF"), std::string::npos);

    const std::vector<uint8_t> hiddenBytes =
        HideBytes(reinterpret_cast<const uint8_t*>(password.data()), password.size(), "Alice");
    const std::vector<uint8_t> plain =
        RecoverBytes(hiddenBytes.data(), hiddenBytes.size(), "Alice");
    const std::string kept = password.substr(0, 128);
    ASSERT_EQ(plain.size(), c.hexDigits / 2);
    EXPECT_EQ(std::string(plain.begin(), plain.begin() + static_cast<long>(kept.size())), kept);
    for (size_t i = kept.size(); i < plain.size(); ++i) EXPECT_EQ(plain[i], 0) << i;

    std::string recovered;
    EXPECT_TRUE(RecoverPassword(hidden, "Alice", recovered));
    EXPECT_EQ(recovered, kept);
  }
}

TEST(PasswordHiding, KnownVectorAndKeyCase) {
  // Computed independently: MD5 keystream over "bob" / "Bob".
  EXPECT_EQ(HidePassword("secret", "bob"), "ECF832CE159B21CA5C14F307980A29D8");
  EXPECT_EQ(HidePassword(std::string(17, 'A'), "Bob"),
            "6E8081FFF8D38C31D7D61DBFFEDC1D7AEEA748D19899ABCF7F7844B9D976FD8A");
  EXPECT_NE(HidePassword("secret", "bob"), HidePassword("secret", "BOB"));
}

TEST(PasswordHiding, KeyIsCutAt254Bytes) {
  const std::string longKey(300, 'k');
  EXPECT_EQ(HidePassword("pw", longKey), HidePassword("pw", longKey.substr(0, 254)));
  EXPECT_NE(HidePassword("pw", longKey.substr(0, 254)), HidePassword("pw", longKey.substr(0, 253)));
}

TEST(PasswordHiding, RecoverRejectsBadText) {
  std::string out;
  EXPECT_FALSE(RecoverPassword("ABC", "u", out));
  EXPECT_FALSE(RecoverPassword(std::string(32, 'G'), "u", out));
}

}  // namespace
}  // namespace zelm
