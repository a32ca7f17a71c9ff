#ifndef SETUP_PLATFORM_SIGNAL_WATCH_H_
#define SETUP_PLATFORM_SIGNAL_WATCH_H_

#include <signal.h>

#include <functional>

#include "platform/loop.h"

// While it lives, SIGINT and SIGTERM call |onSignal| on the loop's thread
// instead of ending the process, so that a Ctrl-C closes the download
// window the way its Cancel button does. The old handlers come back after.
class SignalWatch {
 public:
  SignalWatch(Loop& loop, std::function<void()> onSignal);
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

 private:
  Loop& loop_;
  Loop::Handle watch_ = 0;
  struct sigaction oldInt_, oldTerm_;
};

#endif  // SETUP_PLATFORM_SIGNAL_WATCH_H_
