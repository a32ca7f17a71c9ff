// The poll loop, and a command run beside it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "platform/background.h"
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

// The loop runs on while the command does; its status comes on the loop.
TEST(RunInBackground, LoopRunsOnAndDoneGetsTheStatus) {
  auto loop = newPollLoop();
  int ticks = 0, status = -1;
  std::function<void()> tick = [&] { ++ticks, loop->addTimer(0.005, tick); };
  loop->addTimer(0, tick);
  auto command = runInBackground(*loop, "sleep 0.1; exit 3", [&](int s) {
    status = s;
    loop->stop();
  });
  loop->run();
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 3);
  EXPECT_GT(ticks, 5);
}
