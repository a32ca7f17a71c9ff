// The poll loop. (A command run beside it, unzip, runs in the integration
// suite: the loop goes on, as a signal ends the unpacking at once in
// Lifecycle.SignalEndsTheUnpackingOrReachesTheAgent, and unzip's status
// comes back, as in LocalRoad.ArchiveThatDoesNotUnpackOrHasNoInstallFails.)
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/loop.h"

TEST(PollLoop, TimersFireInOrderAndCancelledOnesDoNot) {
  // On time, and late: a loop that starts after every deadline has passed
  // finds them all due at once and must still keep their order.
  for (bool late : {false, true}) {
    auto loop = newPollLoop(); std::string order;
    loop->addTimer(0.03, [&] { order += "c"; loop->stop(); });
    loop->addTimer(0.01, [&] { order += "a"; });
    Loop::Handle cancelled = loop->addTimer(0.02, [&] { order += "x"; });
    loop->addTimer(0.015, [&] { order += "b"; loop->cancelTimer(cancelled); });
    if (late) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    loop->run();
    EXPECT_EQ(order, "abc") << (late ? "late" : "on time");
  }
}
