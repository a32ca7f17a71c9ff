#ifndef SETUP_PLATFORM_DISPLAY_DISPLAY_H_
#define SETUP_PLATFORM_DISPLAY_DISPLAY_H_

#include <memory>

#include "platform/loop.h"
#include "platform/signal_watch.h"
#include "platform/display/window.h"

// A loop and the download window that lives on it; SIGINT, SIGTERM, SIGHUP
// close the window. Members go in reverse order: the window before its loop.
struct Display {
  std::unique_ptr<Loop> loop;
  std::unique_ptr<DownloadWindow> window;
  std::unique_ptr<SignalWatch> signals;
};

// The graphical window when DISPLAY or WAYLAND_DISPLAY is set and the
// toolkit module loads and starts; otherwise, silently, the terminal display.
Display openDisplay();

// The terminal display on its poll loop.
Display openTerminalDisplay();

#endif  // SETUP_PLATFORM_DISPLAY_DISPLAY_H_
