#include "platform/signal_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace {

int signalPipe[2] = {-1, -1};
volatile sig_atomic_t lastSignal = 0;
volatile sig_atomic_t lastFromProcess = 0;
volatile sig_atomic_t everCaught = 0;

void onSignal(int number, siginfo_t* info, void*) {
  int saved = errno;
  lastSignal = number;
  everCaught = 1;
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
  // A reader of standard error that has gone must not end the run: writes
  // fail with EPIPE instead. A handler, unlike SIG_IGN, is not inherited by
  // the programs started from here.
  struct sigaction pipe = {};
  pipe.sa_handler = [](int) {};
  sigemptyset(&pipe.sa_mask);
  sigaction(SIGPIPE, &pipe, nullptr);
}

void interruptThisProcess() { raise(SIGINT); }

bool terminationSignalCaught() { return everCaught != 0; }

int lastTerminationSignal() { return everCaught ? lastSignal : 0; }

bool lockUnlessSignalled(int fd, int operation) {
  while (flock(fd, operation | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (everCaught) return false;
    struct pollfd signalled = {signalPipe[0], POLLIN, 0};
    poll(&signalled, signalPipe[0] >= 0 ? 1 : 0, 100);
  }
  return true;
}

namespace {

// Standard error, written so that a reader that stopped reading (a full
// pipe) holds the run up only until a termination signal: after one, what
// cannot be written at once is dropped.
ssize_t writeStandardError(void*, const char* data, size_t size) {
  for (size_t done = 0; done < size;) {
    struct pollfd fds[2] = {{STDERR_FILENO, POLLOUT, 0}, {signalPipe[0], POLLIN, 0}};
    bool caught = everCaught;
    int ready = poll(fds, caught || signalPipe[0] < 0 ? 1 : 2, caught ? 0 : -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (caught && !(fds[0].revents & (POLLOUT | POLLERR | POLLHUP))))
      return static_cast<ssize_t>(size);
    if (!(fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) continue;
    // At most a pipe's atomic size, which a writable pipe has room for.
    ssize_t written = write(STDERR_FILENO, data + done, std::min<size_t>(size - done, 512));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return static_cast<ssize_t>(size);  // gone: dropped
    done += static_cast<size_t>(written);
  }
  return static_cast<ssize_t>(size);
}

}  // namespace

FILE* standardError() {
  static FILE* stream = [] {
    cookie_io_functions_t functions = {nullptr, writeStandardError, nullptr, nullptr};
    FILE* guarded = fopencookie(nullptr, "w", functions);
    if (!guarded) return stderr;
    setvbuf(guarded, nullptr, _IOLBF, 4096);
    return guarded;
  }();
  return stream;
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
