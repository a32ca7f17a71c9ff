#ifndef SETUP_DISPLAY_DISPLAY_H_
#define SETUP_DISPLAY_DISPLAY_H_

#include <memory>
#include <string>

#include "display/window.h"
#include "platform/loop.h"

// A loop and the download window that lives on it. Members go in reverse
// order: the window before its loop.
struct Display {
  std::unique_ptr<Loop> loop;
  std::unique_ptr<DownloadWindow> window;
};

// The graphical window when DISPLAY or WAYLAND_DISPLAY is set and the
// toolkit module loads and starts, titled |title| and showing |untilStatus|
// until a status is set; otherwise, silently, the terminal display (which
// shows neither).
Display openDisplay(const std::string& title, const std::string& untilStatus);

// The terminal display on its poll loop.
Display openTerminalDisplay();

#endif  // SETUP_DISPLAY_DISPLAY_H_
