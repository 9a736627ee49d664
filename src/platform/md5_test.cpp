#include "platform/md5.h"

#include <gtest/gtest.h>

#include <string>

namespace zelm {
namespace {

std::string Hex(const Md5Digest& digest) {
  std::string text;
  char byte[3];
  for (uint8_t b : digest) {
    std::snprintf(byte, sizeof byte, "%02x", b);
    text += byte;
  }
  return text;
}

// RFC 1321's test suite.
TEST(Md5, Rfc1321Vectors) {
  const struct {
    const char* input;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) {
    const std::string input = c.input;
    EXPECT_EQ(Hex(Md5Of(input.data(), input.size())), c.digest);
    CMd5 split;  // the same bytes in two updates
    split.Update(input.data(), input.size() / 2);
    split.Update(input.data() + input.size() / 2, input.size() - input.size() / 2);
    EXPECT_EQ(Hex(split.Final()), c.digest);
  }
}

}  // namespace
}  // namespace zelm
