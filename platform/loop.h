#ifndef SETUP_PLATFORM_LOOP_H_
#define SETUP_PLATFORM_LOOP_H_

#include <functional>
#include <memory>

// The application loop: one thread, callbacks run on it one at a time.
// Two implementations: a poll(2) loop for the terminal display and the
// toolkit's own loop while a graphical window is in use.
class Loop {
 public:
  enum Events { kReadable = 1, kWritable = 2 };
  using Handle = unsigned long;

  virtual ~Loop() = default;

  // Calls |callback| once, |seconds| from now. Returns a handle for
  // cancelTimer; never 0.
  virtual Handle addTimer(double seconds, std::function<void()> callback) = 0;
  // Forgets a pending timer. Unknown or fired handles are ignored.
  virtual void cancelTimer(Handle timer) = 0;

  // Calls |callback| with the ready events (kReadable/kWritable, or both)
  // whenever |fd| is ready for any of |events|. Errors and hang-ups are
  // reported as readable. Returns a handle for unwatchFd; never 0.
  virtual Handle watchFd(int fd, int events, std::function<void(int)> callback) = 0;
  // Stops watching. Safe to call from inside the watch's own callback.
  virtual void unwatchFd(Handle watch) = 0;

  // Runs callbacks until stop() is called.
  virtual void run() = 0;
  // Ends run() once the running callback returns.
  virtual void stop() = 0;
};

// The poll(2) loop used with the terminal display.
std::unique_ptr<Loop> newPollLoop();

#endif  // SETUP_PLATFORM_LOOP_H_
