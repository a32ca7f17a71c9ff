#ifndef SETUP_PLATFORM_SIGNAL_WATCH_H_
#define SETUP_PLATFORM_SIGNAL_WATCH_H_

#include <signal.h>

#include <functional>

#include "platform/loop.h"

// From the first call on, for the rest of the process's life, SIGINT,
// SIGTERM and SIGHUP no longer end the process: they are recorded for
// takeCaughtSignal() and make caughtSignalFd() readable. Calling it again
// does nothing.
void catchTerminationSignals();

// A signal caught and not yet taken.
struct CaughtSignal {
  int number = 0;           // 0: none since the last take
  bool fromProcess = false;  // sent by kill(2), not by the terminal or kernel
};

// Returns the last signal caught since the previous take, if any, and
// drains caughtSignalFd().
CaughtSignal takeCaughtSignal();

// Readable while a caught signal waits to be taken; -1 before
// catchTerminationSignals().
int caughtSignalFd();

// While it lives, a caught termination signal calls |onSignal| on the
// loop's thread (once per signal taken), so that a Ctrl-C closes the
// download window the way its Cancel button does. Catches the signals.
class SignalWatch {
 public:
  SignalWatch(Loop& loop, std::function<void()> onSignal);
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

 private:
  Loop& loop_;
  Loop::Handle watch_ = 0;
};

#endif  // SETUP_PLATFORM_SIGNAL_WATCH_H_
