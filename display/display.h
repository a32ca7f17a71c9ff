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

// Whom the window belongs to, as the desktop knows it: |applicationId|
// names the program to the window system (the window's class, and the
// launcher it is matched with), |name| is the product's name as people
// read it, |icon| a picture file for the window. Empty: the toolkit's own.
struct DisplayIdentity {
  std::string applicationId;
  std::string name;
  std::string icon;
};

// The graphical window when DISPLAY or WAYLAND_DISPLAY is set and the
// toolkit module loads and starts, titled |title| and showing |untilStatus|
// until a status is set, its program known to the desktop as |identity|
// says; otherwise, silently, the terminal display (which shows none of these).
Display openDisplay(const std::string& title, const std::string& untilStatus,
                    const DisplayIdentity& identity = {});

// The terminal display on its poll loop.
Display openTerminalDisplay();

#endif  // SETUP_DISPLAY_DISPLAY_H_
