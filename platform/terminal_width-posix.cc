#include "platform/terminal_width.h"

#include <signal.h>
#include <sys/ioctl.h>

#include <cstdlib>

namespace {

volatile sig_atomic_t resized = 1;

void onResize(int) { resized = 1; }

void catchResize() {
  static bool caught = false;
  if (caught) return;
  caught = true;
  struct sigaction action = {};
  action.sa_handler = onResize;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGWINCH, &action, nullptr);
}

int readColumns(int fd) {
  winsize size = {};
  if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  // A whole number of columns a terminal can have; anything else is ignored.
  const char* columns = getenv("COLUMNS");
  char* end = nullptr;
  long fromEnv = columns && *columns ? strtol(columns, &end, 10) : 0;
  return end && *end == '\0' && fromEnv > 0 && fromEnv <= 10000 ? static_cast<int>(fromEnv) : 80;
}

}  // namespace

int terminalColumns(int fd) {
  static int columns = 80;
  catchResize();
  if (resized) {
    resized = 0;
    columns = readColumns(fd);
  }
  return columns;
}
