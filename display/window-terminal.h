#ifndef SETUP_DISPLAY_WINDOW_TERMINAL_H_
#define SETUP_DISPLAY_WINDOW_TERMINAL_H_

#include <cstdio>
#include <functional>
#include <memory>

#include "platform/loop.h"
#include "display/window.h"

// How the terminal display writes to its stream.
struct TerminalOptions {
  bool inPlace = false;  // a terminal: one line redrawn in place
  bool colour = false;   // failures in red (in place only)
  std::function<int()> columns;   // the terminal's width; unset: 80
  std::function<double()> clock;  // seconds that never jump; unset: the real one
};

// Options for |out| as the environment describes it: in place on a terminal
// unless TERM is "dumb"; colour unless NO_COLOR is set and not empty.
TerminalOptions terminalOptionsFor(FILE* out);

// The download window as one status line on |out| (standard error): in
// place, status then bar then figures fitted to the width and redrawn at
// most ten times a second; otherwise plain lines without control
// characters, one per stretch of the way or change of the text. Nobody can
// close it but a signal: the front end ends the run after a failure.
std::unique_ptr<DownloadWindow> newTerminalWindow(Loop& loop, FILE* out, TerminalOptions options);

#endif  // SETUP_DISPLAY_WINDOW_TERMINAL_H_
