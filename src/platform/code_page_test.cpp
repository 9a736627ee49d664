#include "platform/code_page.h"

#include <gtest/gtest.h>

#include <string>

namespace zelm {
namespace {

TEST(CodePage, ConvertsNamesBothWays) {
  const struct {
    uint32_t codePage;
    const char* client;
    const char* utf8;
  } cases[] = {
      {1252, "caf\xE9", "caf\xC3\xA9"},
      {1252, "\x80 5", "\xE2\x82\xAC 5"},  // the euro sign
      {1251, "\xCF\xF0\xE8\xE2\xE5\xF2", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
      {936, "\xD6\xD0\xCE\xC4", "\xE4\xB8\xAD\xE6\x96\x87"},
      {936, "\x81\x5C", "\xE4\xB9\x97"},
      {932, "\x95\x5C", "\xE8\xA1\xA8"},
      {1252, "", ""},
      {0, "caf\xE9", "caf\xE9"},
      {65001, "\xFF\xFE", "\xFF\xFE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.codePage);
    CCodePage converter(c.codePage);
    std::string out;
    ASSERT_TRUE(converter.ToUtf8(c.client, out));
    EXPECT_EQ(out, c.utf8);
    ASSERT_TRUE(converter.FromUtf8(c.utf8, out));
    EXPECT_EQ(out, c.client);
  }
}

TEST(CodePage, UnconvertibleTextFailsAndLeavesNothing) {
  CCodePage western(1252);
  std::string out = "stale";
  EXPECT_FALSE(western.ToUtf8("a\x81", out));  // unassigned in 1252
  EXPECT_EQ(out, "");
  EXPECT_FALSE(western.FromUtf8("\xE4\xB8\xAD", out));  // no such character in 1252
  EXPECT_FALSE(western.FromUtf8("\xC3", out));          // broken UTF-8
  EXPECT_TRUE(western.ToUtf8("ok", out));               // the state recovers
  EXPECT_EQ(out, "ok");

  CCodePage chinese(936);
  EXPECT_FALSE(chinese.ToUtf8("x\xD6", out));  // a lead byte without its trail byte

  CCodePage unknown;
  EXPECT_FALSE(unknown.Set(4242424));
  EXPECT_FALSE(unknown.ToUtf8("plain", out));
  EXPECT_FALSE(unknown.FromUtf8("plain", out));
  EXPECT_TRUE(unknown.Set(0));
  EXPECT_TRUE(unknown.ToUtf8("plain", out));

  CCodePage moved = std::move(western);
  EXPECT_TRUE(moved.ToUtf8("caf\xE9", out));
  EXPECT_EQ(out, "caf\xC3\xA9");
  EXPECT_EQ(CodePageName(28592), "ISO-8859-2");
}

}  // namespace
}  // namespace zelm
