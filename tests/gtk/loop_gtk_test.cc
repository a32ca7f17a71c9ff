// The loop on GLib's main context: timers, descriptor watches, stop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "gtk_test_support.h"
#include "platform/display/gtk/loop-gtk.h"

TEST(GtkLoop, WatchesReportReadyEventsAndMayUnwatchThemselves) {
  GtkLoop loop;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int calls = 0, writable = 0;
  Loop::Handle watch = 0;
  watch = loop.watchFd(fds[0], Loop::kReadable, [&](int events) {
    ++calls;
    EXPECT_EQ(events, Loop::kReadable);
    loop.unwatchFd(watch);
    loop.stop();
  });
  Loop::Handle out = loop.watchFd(fds[1], Loop::kWritable, [&](int events) {
    writable = events;
    ASSERT_EQ(write(fds[1], "x", 1), 1);
  });
  EXPECT_TRUE(runUntilStopped(loop));
  loop.unwatchFd(out);
  runFor(loop, 0.05);  // still readable, but no longer watched
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(writable, Loop::kWritable);
  close(fds[0]);
  close(fds[1]);
}
