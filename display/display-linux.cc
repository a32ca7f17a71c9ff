#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/bundle.h"
#include "platform/signal_watch.h"
#include "platform/system.h"
#include "display/display.h"
#include "display/gtk/gtk_module.h"
#include "display/window-terminal.h"

namespace {

// SETUP_NO_WINDOW asks for the terminal display even where a window could
// be shown: a script run from a desktop session, over ssh -X or under Xvfb
// must not wait for a person to close a failed run's window.
bool haveGraphicalDisplay() {
  const char* x11 = getenv("DISPLAY");
  const char* wayland = getenv("WAYLAND_DISPLAY");
  const char* noWindow = getenv("SETUP_NO_WINDOW");
  if (noWindow && *noWindow) return false;
  return (x11 && *x11) || (wayland && *wayland);
}

// The toolkit module lies beside the program, or in its library directory
// when installed.
SetupGtkOpenFn findGtkModule() {
  std::string dir = stripLastComponent(programPath());
  for (const std::string& path : {dir + "/libsetup-gtk.so", dir + "/../lib/setup/libsetup-gtk.so"}) {
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) continue;
    if (void* symbol = dlsym(module, SETUP_GTK_OPEN_SYMBOL))
      return reinterpret_cast<SetupGtkOpenFn>(symbol);
  }
  return nullptr;
}

}  // namespace

Display openTerminalDisplay() {
  Display display;
  display.loop = newPollLoop();
  display.window =
      newTerminalWindow(*display.loop, standardError(), terminalOptionsFor(stderr));
  return display;
}

Display openDisplay(const std::string& title, const std::string& untilStatus,
                    const DisplayIdentity& identity) {
  if (!haveGraphicalDisplay()) return openTerminalDisplay();
  SetupGtkOpenFn open = findGtkModule();
  Loop* loop = nullptr;
  DownloadWindow* window = nullptr;
  if (!open || !open(title.c_str(), untilStatus.c_str(), identity.applicationId.c_str(),
                     identity.name.c_str(), identity.icon.c_str(), &loop, &window))
    return openTerminalDisplay();
  Display display;
  display.loop.reset(loop);
  display.window.reset(window);
  return display;
}
