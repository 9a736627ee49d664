#include "ui/session_view.h"

#include <gtest/gtest.h>

namespace zelm {
namespace {

SessionActivity Downloading(uint64_t bytes, int64_t startMs) {
  SessionActivity s;
  s.identifier = 7;
  s.userName = "bob";
  s.loggedIn = true;
  s.peer = 0x0200007F;  // 127.0.0.2
  s.connectedAtMs = 1000;
  s.lastActivityMs = 1000;
  s.lastCommand = "RETR big.bin";
  s.transferring = true;
  s.file = "big.bin";
  s.size = 4000;
  s.bytes = bytes;
  s.transferStartMs = startMs;
  return s;
}

// The rate is what moved over the last looks (about three seconds of them), not the average
// since the start: a download that sped up shows its new speed.
TEST(SessionView, RatesComeFromTheLastSecondsAndPercentFromTheSize) {
  CSessionView view;
  const int64_t start = 10'000;
  nlohmann::json rows = view.Rows({Downloading(100, start)}, start + 1000, 5'000'000);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["address"], "127.0.0.2");
  EXPECT_EQ(rows[0]["user"], "bob");
  EXPECT_EQ(rows[0]["connectedAt"], 5'000'000 - (start + 1000 - 1000));
  EXPECT_EQ(rows[0]["transfer"]["rate"], 100);  // the first look: the average since the start
  EXPECT_DOUBLE_EQ(rows[0]["transfer"]["percent"].get<double>(), 2.5);
  for (int second = 2; second <= 6; ++second) {
    rows = view.Rows({Downloading(100 + (second - 1) * 500, start)}, start + second * 1000, 0);
  }
  EXPECT_EQ(rows[0]["transfer"]["rate"], 500);
  EXPECT_EQ(rows[0]["idleSeconds"], 0);

  // The transfer ended: no transfer in the row, and the next one starts its looks afresh.
  SessionActivity idle = Downloading(0, start);
  idle.transferring = false;
  idle.loggedIn = false;
  rows = view.Rows({idle}, start + 7000, 0);
  EXPECT_TRUE(rows[0]["transfer"].is_null());
  EXPECT_EQ(rows[0]["user"], "");  // USER given but not logged in
  EXPECT_EQ(rows[0]["idleSeconds"], (start + 7000 - 1000) / 1000);
  rows = view.Rows({Downloading(50, start + 7000)}, start + 8000, 0);
  EXPECT_EQ(rows[0]["transfer"]["rate"], 50);

  // An upload has no size, so no percent.
  SessionActivity upload = Downloading(300, start);
  upload.upload = true;
  upload.size = 0;
  rows = view.Rows({upload}, start + 1000, 0);
  EXPECT_EQ(rows[0]["transfer"]["direction"], "upload");
  EXPECT_TRUE(rows[0]["transfer"]["percent"].is_null());
}

}  // namespace
}  // namespace zelm
