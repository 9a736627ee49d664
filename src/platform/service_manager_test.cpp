#include "platform/service_manager.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

namespace zelm {
namespace {

TEST(RunCommandTest, ReportsStatusOutputAndMissingPrograms) {
  const CommandResult done = RunCommand({"sh", "-c", "echo out; echo err >&2; exit 3"});
  EXPECT_TRUE(done.ran);
  EXPECT_EQ(done.status, 3);
  EXPECT_EQ(done.output, "out\nerr\n");

  const CommandResult missing = RunCommand({"zelm-no-such-program"});
  EXPECT_FALSE(missing.ran);
}

TEST(ServiceSignalsTest, SignalsAndWakeArriveThroughTheDescriptor) {
  CServiceSignals signals;
  int number = -1;
  EXPECT_EQ(signals.Wait(0, number), CServiceSignals::Event::kTimeout);

  raise(SIGHUP);
  EXPECT_EQ(signals.Wait(1000, number), CServiceSignals::Event::kHangUp);
  raise(SIGTERM);
  EXPECT_EQ(signals.Wait(1000, number), CServiceSignals::Event::kTerminate);
  EXPECT_EQ(number, SIGTERM);

  std::thread waker([&] { signals.Wake(); });
  EXPECT_EQ(signals.Wait(10000, number), CServiceSignals::Event::kWake);
  waker.join();
}

}  // namespace
}  // namespace zelm
