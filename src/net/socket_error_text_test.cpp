#include "net/socket_error_text.h"

#include <gtest/gtest.h>

#include <string>

namespace zelm {
namespace {

TEST(SocketErrorText, TableSystemAndUnknownFormats) {
  const struct {
    int code;
    const char* text;
  } cases[] = {
      {10061, "Socket Error(10061):\r\nConnection refused."},
      {10064, "Socket Error(10064):\r\nHost is down. "},
      {10004, "Socket Error(10004):\r\nInterrupted function call. "},
      {10101, "Socket Error(10101):\r\nSocket Disconnect."},
      {11004,
       "Socket Error(11004):\r\nValid name, no data record of requested type. This error "
       "indicates that the key (name, address, and so on) was not found."},
      {2, "Error (2):\r\nNo such file or directory"},
      {10066, "Socket Error (10066): Unknown Error!"},
      {-5, "Socket Error (-5): Unknown Error!"},
      {999999, "Socket Error (999999): Unknown Error!"},
  };
  for (const auto& c : cases) {
    std::string text;
    GetSocketErrorText(c.code, text);
    EXPECT_EQ(text, c.text) << c.code;
  }
}

TEST(SocketErrorText, EveryTableCodeUsesTheFirstFormat) {
  const int codes[] = {10004, 10009, 10013, 10014, 10022, 10024, 10035, 10036, 10037, 10038,
                       10039, 10040, 10041, 10042, 10043, 10044, 10045, 10046, 10047, 10048,
                       10049, 10050, 10051, 10052, 10053, 10054, 10055, 10056, 10057, 10058,
                       10059, 10060, 10061, 10062, 10063, 10064, 10065, 10067, 10091, 10092,
                       10093, 10101, 11001, 11002, 11003, 11004};
  EXPECT_EQ(std::size(codes), 46u);
  for (int code : codes) {
    std::string text;
    GetSocketErrorText(code, text);
    EXPECT_EQ(text.rfind("Socket Error(" + std::to_string(code) + "):\r\n", 0), 0u) << code;
    EXPECT_GT(text.size(), 22u);
  }
}

}  // namespace
}  // namespace zelm
