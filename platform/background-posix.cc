#include "platform/background.h"

#include <sys/wait.h>
#include <unistd.h>

#include "platform/task.h"

BackgroundCommand::BackgroundCommand(Loop& loop, pid_t pid, std::function<void(int)> done)
    : loop_(loop), pid_(pid), done_(std::move(done)), endFd_(taskEndFd(pid)) {
  if (endFd_ >= 0)
    watch_ = loop_.watchFd(endFd_, Loop::kReadable, [this](int) { check(); });
  else  // no descriptor for the child's end: look now and then
    timer_ = loop_.addTimer(0.05, [this] { check(); });
}

BackgroundCommand::~BackgroundCommand() {
  stopWatching();
  if (!ended_) endTaskGroup(pid_);
}

void BackgroundCommand::check() {
  timer_ = 0;
  int status = -1;
  if (waitpid(pid_, &status, WNOHANG) == 0) {
    if (endFd_ < 0) timer_ = loop_.addTimer(0.05, [this] { check(); });
    return;
  }
  ended_ = true;
  stopWatching();
  std::function<void(int)> done = std::move(done_);
  done(status);
}

void BackgroundCommand::stopWatching() {
  if (watch_) loop_.unwatchFd(watch_);
  if (timer_) loop_.cancelTimer(timer_);
  if (endFd_ >= 0) close(endFd_);
  watch_ = timer_ = 0;
  endFd_ = -1;
}

std::unique_ptr<BackgroundCommand> runInBackground(Loop& loop, const std::string& commandLine,
                                                   std::function<void(int status)> done) {
  pid_t pid = launchShellTask(commandLine);
  if (pid < 0) return nullptr;
  return std::make_unique<BackgroundCommand>(loop, pid, std::move(done));
}
