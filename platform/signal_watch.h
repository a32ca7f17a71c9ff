#ifndef SETUP_PLATFORM_SIGNAL_WATCH_H_
#define SETUP_PLATFORM_SIGNAL_WATCH_H_

#include <signal.h>
#include <stdio.h>

#include <functional>

#include "platform/loop.h"

// From the first call on, for the rest of the process's life, SIGINT,
// SIGTERM and SIGHUP no longer end the process: they are recorded for
// takeCaughtSignal() and make caughtSignalFd() readable. Calling it again
// does nothing.
void catchTerminationSignals();

// Sends SIGINT to this process, as Ctrl-C at its terminal would (once
// catchTerminationSignals() has run, it is caught and recorded like one).
void interruptThisProcess();

// Whether a termination signal has been caught since the start (taken or
// not), and the number of the last one (0: none).
bool terminationSignalCaught();
int lastTerminationSignal();

// Takes flock(2) |operation| (LOCK_SH, LOCK_EX) on |fd|, waiting as long as
// another process holds it, unless a termination signal is caught before or
// meanwhile: then false, and no lock.
bool lockUnlessSignalled(int fd, int operation);

// Standard error as a stream that never holds the run up after a
// termination signal: when nobody reads it any more (a full pipe), what
// cannot be written at once is then dropped, and a reader that has gone
// makes writes fail instead of ending the program.
FILE* standardError();

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
