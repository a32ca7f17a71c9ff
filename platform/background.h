#ifndef SETUP_PLATFORM_BACKGROUND_H_
#define SETUP_PLATFORM_BACKGROUND_H_

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/loop.h"

// A shell command running while the loop goes on, so that a long step
// (unpacking) neither freezes the window nor outlives the one who asked.
class BackgroundCommand {
 public:
  BackgroundCommand(Loop& loop, pid_t pid, std::function<void(int)> done);
  // Ends the command at once (its whole process group) when it still runs;
  // |done| is then never called.
  ~BackgroundCommand();
  BackgroundCommand(const BackgroundCommand&) = delete;
  BackgroundCommand& operator=(const BackgroundCommand&) = delete;

 private:
  void check();
  void stopWatching();

  Loop& loop_;
  pid_t pid_;
  std::function<void(int)> done_;
  int endFd_ = -1;
  Loop::Handle watch_ = 0, timer_ = 0;
  bool ended_ = false;
};

// Runs |commandLine| through /bin/sh in a process group of its own (see
// launchShellTask) and calls |done| with its wait status on the loop's
// thread once it has ended; |done| must not destroy the command. Null, and |done| never called, when it could
// not be started.
std::unique_ptr<BackgroundCommand> runInBackground(Loop& loop, const std::string& commandLine,
                                                   std::function<void(int status)> done);

#endif  // SETUP_PLATFORM_BACKGROUND_H_
