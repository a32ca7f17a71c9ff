#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <map>
#include <vector>

#include "platform/clock.h"
#include "platform/loop.h"

namespace {

class PollLoop : public Loop {
 public:
  Handle addTimer(double seconds, std::function<void()> callback) override {
    Handle handle = ++lastHandle_;
    timers_[handle] = {monotonicSeconds() + seconds, std::move(callback)};
    return handle;
  }
  void cancelTimer(Handle timer) override { timers_.erase(timer); }

  Handle watchFd(int fd, int events, std::function<void(int)> callback) override {
    Handle handle = ++lastHandle_;
    watches_[handle] = {fd, events, std::move(callback)};
    return handle;
  }
  void unwatchFd(Handle watch) override { watches_.erase(watch); }

  void run() override {
    stopped_ = false;
    while (!stopped_) iterate();
  }
  void stop() override { stopped_ = true; }

 private:
  struct Timer {
    double due;
    std::function<void()> callback;
  };
  struct Watch {
    int fd;
    int events;
    std::function<void(int)> callback;
  };

  void iterate() {
    std::vector<Handle> handles;
    std::vector<pollfd> fds;
    for (const auto& [handle, watch] : watches_) {
      short events = ((watch.events & kReadable) ? POLLIN : 0) |
                     ((watch.events & kWritable) ? POLLOUT : 0);
      handles.push_back(handle);
      fds.push_back({watch.fd, events, 0});
    }
    int ready = poll(fds.data(), fds.size(), pollTimeoutMs());
    if (ready < 0 && errno != EINTR) stopped_ = true;
    for (size_t i = 0; ready > 0 && i < fds.size() && !stopped_; ++i) dispatch(handles[i], fds[i]);
    fireDueTimers();
  }

  void dispatch(Handle handle, const pollfd& fd) {
    if (fd.revents == 0) return;
    auto it = watches_.find(handle);
    if (it == watches_.end()) return;  // unwatched by an earlier callback
    int ready = ((fd.revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) ? kReadable : 0) |
                ((fd.revents & POLLOUT) ? kWritable : 0);
    std::function<void(int)> callback = it->second.callback;  // may unwatch itself
    callback(ready);
  }

  int pollTimeoutMs() const {
    if (timers_.empty()) return -1;
    double earliest = timers_.begin()->second.due;
    for (const auto& [handle, timer] : timers_) earliest = std::min(earliest, timer.due);
    double wait = earliest - monotonicSeconds();
    return wait <= 0 ? 0 : static_cast<int>(std::ceil(wait * 1000));
  }

  void fireDueTimers() {
    double t = monotonicSeconds();
    // A loop that comes back late finds several timers due at once: they
    // still fire in the order of their deadlines (ties: as they were added).
    std::vector<std::pair<double, Handle>> due;
    for (const auto& [handle, timer] : timers_)
      if (timer.due <= t) due.push_back({timer.due, handle});
    std::sort(due.begin(), due.end());
    for (auto [deadline, handle] : due) {
      if (stopped_) return;
      auto it = timers_.find(handle);
      if (it == timers_.end()) continue;  // cancelled by an earlier callback
      std::function<void()> callback = std::move(it->second.callback);
      timers_.erase(it);
      callback();
    }
  }

  Handle lastHandle_ = 0;
  std::map<Handle, Timer> timers_;
  std::map<Handle, Watch> watches_;
  bool stopped_ = false;
};

}  // namespace

std::unique_ptr<Loop> newPollLoop() { return std::make_unique<PollLoop>(); }
