#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

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

TEST(RunInBackground, WorkRunsOffTheLoopAndDoneOnIt) {
  auto loop = newPollLoop();
  std::thread::id worker, finisher;
  int ticks = 0;
  std::function<void()> tick = [&] {
    ++ticks;
    loop->addTimer(0.005, tick);
  };
  loop->addTimer(0, tick);
  runInBackground(*loop, [&] { worker = std::this_thread::get_id(); usleep(100000); },
                  [&] {
                    finisher = std::this_thread::get_id();
                    loop->stop();
                  });
  loop->run();
  EXPECT_NE(worker, std::this_thread::get_id());
  EXPECT_EQ(finisher, std::this_thread::get_id());
  EXPECT_GT(ticks, 5);  // the loop kept running while the work blocked
}
