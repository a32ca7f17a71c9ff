#ifndef SETUP_DISPLAY_GTK_LOOP_GTK_H_
#define SETUP_DISPLAY_GTK_LOOP_GTK_H_

#include <glib.h>

#include <map>

#include "platform/loop.h"

// Loop on GLib's default main context, the one GTK dispatches its own
// events and drawing from, so the window stays live while the loop runs.
class GtkLoop : public Loop {
 public:
  GtkLoop() = default;
  // Removes every pending timer and watch.
  ~GtkLoop() override;
  GtkLoop(const GtkLoop&) = delete;
  GtkLoop& operator=(const GtkLoop&) = delete;

  // One-shot timer; |seconds| is rounded up to whole milliseconds.
  Handle addTimer(double seconds, std::function<void()> callback) override;
  void cancelTimer(Handle timer) override;
  Handle watchFd(int fd, int events, std::function<void(int)> callback) override;
  void unwatchFd(Handle watch) override;
  // Iterates the default main context until stop(). A stop() that came
  // before run() is kept, so run() then returns at once.
  void run() override;
  void stop() override;

 private:
  struct Timer;
  struct Watch;
  static gboolean onTimer(gpointer data);
  static gboolean onFd(gint fd, GIOCondition condition, gpointer data);
  static void deleteTimer(gpointer data);
  static void deleteWatch(gpointer data);
  Handle nextHandle();
  void forget(std::map<Handle, guint>& sources, Handle handle);

  Handle lastHandle_ = 0;
  std::map<Handle, guint> timers_;   // handle -> GLib source id
  std::map<Handle, guint> watches_;  // handle -> GLib source id
  bool stopping_ = false;
};

#endif  // SETUP_DISPLAY_GTK_LOOP_GTK_H_
