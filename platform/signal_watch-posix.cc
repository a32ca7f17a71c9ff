#include "platform/signal_watch.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
  int saved = errno;
  char byte = 1;
  if (write(signalPipe[1], &byte, 1) < 0) {
  }
  errno = saved;
}

}  // namespace

SignalWatch::SignalWatch(Loop& loop, std::function<void()> onSignalCallback) : loop_(loop) {
  if (signalPipe[0] < 0 && pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action = {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &oldInt_);
  sigaction(SIGTERM, &action, &oldTerm_);
  watch_ = loop_.watchFd(signalPipe[0], Loop::kReadable, [onSignalCallback](int) {
    char buffer[16];
    while (read(signalPipe[0], buffer, sizeof(buffer)) > 0) {
    }
    onSignalCallback();
  });
}

SignalWatch::~SignalWatch() {
  if (!watch_) return;
  loop_.unwatchFd(watch_);
  sigaction(SIGINT, &oldInt_, nullptr);
  sigaction(SIGTERM, &oldTerm_, nullptr);
}
