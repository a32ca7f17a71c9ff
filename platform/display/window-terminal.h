#ifndef SETUP_PLATFORM_DISPLAY_WINDOW_TERMINAL_H_
#define SETUP_PLATFORM_DISPLAY_WINDOW_TERMINAL_H_

#include <cstdio>
#include <memory>

#include "platform/loop.h"
#include "platform/display/window.h"

// The download window as one status line on |out| (standard error). On a
// terminal the line is redrawn in place with a bar, failures in red;
// otherwise plain lines, at most one per tenth of the progress. After a red
// (failure) text the display closes itself, since nobody may be there to
// close it.
std::unique_ptr<DownloadWindow> newTerminalWindow(Loop& loop, FILE* out, bool isTerminal);

#endif  // SETUP_PLATFORM_DISPLAY_WINDOW_TERMINAL_H_
