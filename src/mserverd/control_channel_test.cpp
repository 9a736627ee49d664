#include "mserverd/control_channel.h"

#include <gtest/gtest.h>

#include <sstream>

namespace zelm {
namespace {

TEST(ControlChannel, RequestsParseOnlyWhenWholeWhereverTheyAreCut) {
  const std::vector<std::vector<std::string>> cases = {
      {"status"}, {"kick", "amy"}, {"publish", "/games folder", "C:\\games\\x.exe"}, {}};
  for (const auto& words : cases) {
    std::string request;
    ASSERT_TRUE(EncodeControlRequest(words, request));
    std::vector<std::string> parsed;
    for (size_t cut = 0; cut < request.size(); ++cut) {
      EXPECT_EQ(ParseControlRequest(request.substr(0, cut), parsed), ControlParse::kIncomplete)
          << request.size() << " cut at " << cut;
    }
    ASSERT_EQ(ParseControlRequest(request, parsed), ControlParse::kWhole);
    EXPECT_EQ(parsed, words);
  }
}

TEST(ControlChannel, BadRequestsAreRefused) {
  std::string request;
  EXPECT_FALSE(EncodeControlRequest({"kick", "a\nb"}, request));
  EXPECT_FALSE(EncodeControlRequest({std::string(kMaxControlRequest, 'x')}, request));
  std::vector<std::string> words;
  EXPECT_EQ(ParseControlRequest(std::string("kick\0x\n\n", 9), words), ControlParse::kBad);
  EXPECT_EQ(ParseControlRequest(std::string(kMaxControlRequest, 'x'), words), ControlParse::kBad);
}

TEST(ControlChannel, NoDaemonIsReportedNotHungOn) {
  std::ostringstream out, err;
  EXPECT_EQ(RunControlCommand("/nonexistent/zelm/control.sock", {"status"}, out, err), 1);
  EXPECT_NE(err.str().find("does not answer"), std::string::npos);
  EXPECT_EQ(ControlSocketFor("/var/lib/zelm-mserver/accounts.db"),
            "/var/lib/zelm-mserver/control.sock");
  EXPECT_EQ(ControlSocketFor("accounts.db"), "control.sock");
}

}  // namespace
}  // namespace zelm
