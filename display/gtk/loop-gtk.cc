#include "display/gtk/loop-gtk.h"

#include <glib-unix.h>

#include <cmath>
#include <utility>

struct GtkLoop::Timer {
  GtkLoop* loop;
  Handle handle;
  std::function<void()> callback;
};

struct GtkLoop::Watch {
  GtkLoop* loop;
  Handle handle;
  std::function<void(int)> callback;
};

namespace {

// GLib counts in whole milliseconds; rounding up keeps a timer from ever
// firing before the time asked for.
guint toMilliseconds(double seconds) {
  double ms = std::ceil(seconds * 1000.0);
  if (!(ms > 0)) return 0;
  return ms >= G_MAXUINT ? G_MAXUINT : static_cast<guint>(ms);
}

GIOCondition toCondition(int events) {
  int condition = G_IO_HUP | G_IO_ERR;
  if (events & Loop::kReadable) condition |= G_IO_IN;
  if (events & Loop::kWritable) condition |= G_IO_OUT;
  return static_cast<GIOCondition>(condition);
}

// A hang-up or error is news the reader has to act on, so it is readable.
int toEvents(GIOCondition condition) {
  int events = 0;
  if (condition & (G_IO_IN | G_IO_PRI | G_IO_HUP | G_IO_ERR | G_IO_NVAL)) {
    events |= Loop::kReadable;
  }
  if (condition & G_IO_OUT) events |= Loop::kWritable;
  return events;
}

}  // namespace

GtkLoop::~GtkLoop() {
  for (auto& entry : timers_) g_source_remove(entry.second);
  for (auto& entry : watches_) g_source_remove(entry.second);
}

Loop::Handle GtkLoop::addTimer(double seconds, std::function<void()> callback) {
  Handle handle = nextHandle();
  auto* timer = new Timer{this, handle, std::move(callback)};
  timers_[handle] = g_timeout_add_full(G_PRIORITY_DEFAULT, toMilliseconds(seconds),
                                       &GtkLoop::onTimer, timer, &GtkLoop::deleteTimer);
  return handle;
}

void GtkLoop::cancelTimer(Handle timer) { forget(timers_, timer); }

Loop::Handle GtkLoop::watchFd(int fd, int events, std::function<void(int)> callback) {
  Handle handle = nextHandle();
  auto* watch = new Watch{this, handle, std::move(callback)};
  watches_[handle] = g_unix_fd_add_full(G_PRIORITY_DEFAULT, fd, toCondition(events),
                                        &GtkLoop::onFd, watch, &GtkLoop::deleteWatch);
  return handle;
}

// GLib keeps the watch's data alive until its dispatch returns, so removing
// the source from inside its own callback is safe.
void GtkLoop::unwatchFd(Handle watch) { forget(watches_, watch); }

void GtkLoop::run() {
  while (!stopping_) g_main_context_iteration(nullptr, TRUE);
  stopping_ = false;
}

void GtkLoop::stop() { stopping_ = true; }

gboolean GtkLoop::onTimer(gpointer data) {
  auto* timer = static_cast<Timer*>(data);
  timer->loop->timers_.erase(timer->handle);
  timer->callback();
  return G_SOURCE_REMOVE;
}

gboolean GtkLoop::onFd(gint, GIOCondition condition, gpointer data) {
  auto* watch = static_cast<Watch*>(data);
  watch->callback(toEvents(condition));
  return G_SOURCE_CONTINUE;
}

void GtkLoop::deleteTimer(gpointer data) { delete static_cast<Timer*>(data); }

void GtkLoop::deleteWatch(gpointer data) { delete static_cast<Watch*>(data); }

Loop::Handle GtkLoop::nextHandle() { return ++lastHandle_; }

void GtkLoop::forget(std::map<Handle, guint>& sources, Handle handle) {
  auto found = sources.find(handle);
  if (found == sources.end()) return;
  guint source = found->second;
  sources.erase(found);
  g_source_remove(source);
}
