// The poll loop. (A command run beside it, unzip, runs in the integration
// suite: the loop goes on, as a signal ends the unpacking at once in
// Lifecycle.SignalEndsTheUnpackingOrReachesTheAgent, and unzip's status
// comes back, as in LocalRoad.ArchiveThatDoesNotUnpackFailsInThreeLines.)
#include <gtest/gtest.h>

#include <string>

#include "platform/loop.h"

TEST(PollLoop, TimersFireInOrderAndCancelledOnesDoNot) {
  auto loop = newPollLoop();
  std::string order;
  loop->addTimer(0.03, [&] { order += "c"; loop->stop(); });
  loop->addTimer(0.01, [&] { order += "a"; });
  Loop::Handle cancelled = loop->addTimer(0.02, [&] { order += "x"; });
  loop->addTimer(0.015, [&] { order += "b"; loop->cancelTimer(cancelled); });
  loop->run();
  EXPECT_EQ(order, "abc");
}
