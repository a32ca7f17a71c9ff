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

// A call the loop makes once, |seconds| after schedule(), unless cancelled
// first; a member of the object it calls into, so that destroying the
// object cancels it. It is how an object leaves work to the loop, never
// releasing anything inside one of its own events: the loop's next turn
// does, as libuv's close phase does for its handles.
class LoopCall {
 public:
  explicit LoopCall(Loop& loop) : loop_(loop) {}
  ~LoopCall() { cancel(); }
  LoopCall(const LoopCall&) = delete;
  LoopCall& operator=(const LoopCall&) = delete;

  // Replaces a call still pending.
  void schedule(double seconds, std::function<void()> call) {
    cancel();
    handle_ = loop_.addTimer(seconds, [this, call = std::move(call)] {
      handle_ = 0;
      call();
    });
  }
  void cancel() {
    if (handle_) loop_.cancelTimer(handle_);
    handle_ = 0;
  }
  bool pending() const { return handle_ != 0; }

 private:
  Loop& loop_;
  Loop::Handle handle_ = 0;
};

// The poll(2) loop used with the terminal display.
std::unique_ptr<Loop> newPollLoop();

#endif  // SETUP_PLATFORM_LOOP_H_
