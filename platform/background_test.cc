#include "platform/background.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

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
