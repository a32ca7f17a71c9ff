#include "platform/background.h"

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "platform/loop.h"

void runInBackground(Loop& loop, std::function<void()> work, std::function<void()> done) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {  // no thread without a way back: work here
    work();
    done();
    return;
  }
  std::thread([work = std::move(work), writeEnd = fds[1]] {
    work();
    close(writeEnd);  // the reader sees end-of-file
  }).detach();
  auto watch = std::make_shared<Loop::Handle>(0);
  *watch = loop.watchFd(fds[0], Loop::kReadable, [&loop, watch, readEnd = fds[0], done](int) {
    loop.unwatchFd(*watch);
    close(readEnd);
    done();
  });
}
