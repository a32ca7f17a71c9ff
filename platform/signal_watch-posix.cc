#include "platform/signal_watch.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

int signalPipe[2] = {-1, -1};
volatile sig_atomic_t lastSignal = 0;
volatile sig_atomic_t lastFromProcess = 0;

void onSignal(int number, siginfo_t* info, void*) {
  int saved = errno;
  lastSignal = number;
  lastFromProcess = info && (info->si_code == SI_USER || info->si_code == SI_QUEUE ||
                             info->si_code == SI_TKILL);
  char byte = 1;
  if (write(signalPipe[1], &byte, 1) < 0) {
  }
  errno = saved;
}

}  // namespace

void catchTerminationSignals() {
  if (signalPipe[0] >= 0 || pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action = {};
  action.sa_sigaction = onSignal;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
}

CaughtSignal takeCaughtSignal() {
  CaughtSignal caught;
  char buffer[64];
  bool any = false;
  for (ssize_t n; signalPipe[0] >= 0 && (n = read(signalPipe[0], buffer, sizeof(buffer))) > 0;)
    any = true;
  if (any) caught = {lastSignal, lastFromProcess != 0};
  return caught;
}

int caughtSignalFd() { return signalPipe[0]; }

SignalWatch::SignalWatch(Loop& loop, std::function<void()> onSignalCallback) : loop_(loop) {
  catchTerminationSignals();
  if (caughtSignalFd() < 0) return;
  watch_ = loop_.watchFd(caughtSignalFd(), Loop::kReadable, [onSignalCallback](int) {
    if (takeCaughtSignal().number) onSignalCallback();
  });
}

SignalWatch::~SignalWatch() {
  if (watch_) loop_.unwatchFd(watch_);
}
