// The only symbol the module exports: the program looks it up with dlsym.
#include <gtk/gtk.h>

#include "display/gtk/gtk_module.h"
#include "display/gtk/loop-gtk.h"
#include "display/gtk/window-gtk.h"

extern "C" __attribute__((visibility("default"))) int setup_gtk_open(
    const char* title, const char* untilStatus, const char* applicationId, const char* name,
    const char* icon, Loop** loop, DownloadWindow** window) {
  setApplicationIdentity(applicationId, name);  // before the toolkit reads it
  // The program has set the locale: texts in the user's language, numbers
  // in the C form its logs keep.
  gtk_disable_setlocale();
  if (!gtk_init_check(nullptr, nullptr)) return 0;
  auto* downloadWindow = new GtkDownloadWindow(title, untilStatus);
  downloadWindow->setIconFile(icon);
  downloadWindow->setProductName(name);
  // Shown once the front end has set it up (the splash, the first status),
  // at its final size.
  downloadWindow->presentOnFirstDisplay();
  *loop = new GtkLoop();
  *window = downloadWindow;
  return 1;
}

// Fails to compile when the definition drifts from the type the program
// casts the looked-up symbol to.
[[maybe_unused]] static constexpr SetupGtkOpenFn kEntryPointType = &setup_gtk_open;
