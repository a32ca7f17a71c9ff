// The loop on GLib's main context: timers, descriptor watches, stop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "gtk_test_support.h"
#include "platform/gtk/loop-gtk.h"

namespace {

class GtkLoopTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(pipe(fds_), 0); }
  void TearDown() override {
    for (int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  void closeWriteEnd() {
    ::close(fds_[1]);
    fds_[1] = -1;
  }

  GtkLoop loop_;
  int fds_[2] = {-1, -1};
};

TEST_F(GtkLoopTest, TimersFireInOrderOfTheirTimes) {
  std::vector<int> fired;
  loop_.addTimer(0.03, [&] {
    fired.push_back(3);
    loop_.stop();
  });
  loop_.addTimer(0.01, [&] { fired.push_back(1); });
  loop_.addTimer(0.02, [&] { fired.push_back(2); });
  EXPECT_TRUE(runUntilStopped(loop_));
  EXPECT_EQ(fired, (std::vector<int>{1, 2, 3}));
}

TEST_F(GtkLoopTest, TimerNeverFiresEarly) {
  gint64 start = g_get_monotonic_time();
  gint64 fired = 0;
  loop_.addTimer(0.0101, [&] {
    fired = g_get_monotonic_time();
    loop_.stop();
  });
  EXPECT_TRUE(runUntilStopped(loop_));
  EXPECT_GE(fired - start, 10100);
}

TEST_F(GtkLoopTest, HandlesAreNeverZeroAndDistinct) {
  Loop::Handle a = loop_.addTimer(10, [] {});
  Loop::Handle b = loop_.watchFd(fds_[0], Loop::kReadable, [](int) {});
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_NE(a, b);
}

TEST_F(GtkLoopTest, CancelledTimerDoesNotFire) {
  bool cancelledFired = false;
  Loop::Handle doomed = loop_.addTimer(0.01, [&] { cancelledFired = true; });
  loop_.addTimer(0.05, [&] { loop_.stop(); });
  loop_.cancelTimer(doomed);
  loop_.cancelTimer(doomed);
  loop_.cancelTimer(12345);
  EXPECT_TRUE(runUntilStopped(loop_));
  EXPECT_FALSE(cancelledFired);
}

TEST_F(GtkLoopTest, CancellingAFiredTimerIsHarmless) {
  Loop::Handle timer = 0;
  timer = loop_.addTimer(0, [&] {
    loop_.cancelTimer(timer);
    loop_.stop();
  });
  EXPECT_TRUE(runUntilStopped(loop_));
  loop_.cancelTimer(timer);
}

TEST_F(GtkLoopTest, WatchReportsReadableAndCanUnwatchItself) {
  int calls = 0;
  Loop::Handle watch = 0;
  watch = loop_.watchFd(fds_[0], Loop::kReadable, [&](int events) {
    ++calls;
    EXPECT_EQ(events, Loop::kReadable);
    loop_.unwatchFd(watch);
    loop_.unwatchFd(watch);
    loop_.stop();
  });
  loop_.addTimer(0.01, [&] { ASSERT_EQ(write(fds_[1], "x", 1), 1); });
  EXPECT_TRUE(runUntilStopped(loop_));
  runFor(loop_, 0.05);  // still readable, but no longer watched
  EXPECT_EQ(calls, 1);
}

TEST_F(GtkLoopTest, HangUpIsReportedAsReadable) {
  int seen = 0;
  Loop::Handle watch = loop_.watchFd(fds_[0], Loop::kReadable, [&](int events) {
    seen = events;
    loop_.stop();
  });
  closeWriteEnd();
  EXPECT_TRUE(runUntilStopped(loop_));
  EXPECT_EQ(seen, Loop::kReadable);
  loop_.unwatchFd(watch);
}

TEST_F(GtkLoopTest, WatchReportsWritable) {
  int seen = 0;
  Loop::Handle watch = loop_.watchFd(fds_[1], Loop::kWritable, [&](int events) {
    seen = events;
    loop_.stop();
  });
  EXPECT_TRUE(runUntilStopped(loop_));
  EXPECT_EQ(seen, Loop::kWritable);
  loop_.unwatchFd(watch);
}

TEST_F(GtkLoopTest, StopBeforeRunIsKept) {
  loop_.stop();
  bool fired = false;
  Loop::Handle timer = loop_.addTimer(1, [&] { fired = true; });
  loop_.run();
  EXPECT_FALSE(fired);
  loop_.cancelTimer(timer);
}

TEST_F(GtkLoopTest, DestroyingTheLoopRemovesItsSources) {
  bool fired = false;
  {
    GtkLoop doomed;
    doomed.addTimer(0.01, [&] { fired = true; });
    doomed.watchFd(fds_[1], Loop::kWritable, [&](int) { fired = true; });
  }
  runFor(loop_, 0.05);
  EXPECT_FALSE(fired);
}

}  // namespace
