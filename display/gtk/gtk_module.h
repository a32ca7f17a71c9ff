#ifndef SETUP_DISPLAY_GTK_GTK_MODULE_H_
#define SETUP_DISPLAY_GTK_GTK_MODULE_H_

// The entry point of the GTK module (libsetup-gtk.so), looked up with dlsym
// so that the program itself never links the toolkit.
class Loop;
class DownloadWindow;

#define SETUP_GTK_OPEN_SYMBOL "setup_gtk_open"

// Starts the toolkit. On success stores a loop running the toolkit's own
// main loop and a download window on it (both owned by the caller, the
// window to be destroyed before the loop) and returns 1; returns 0 when the
// toolkit cannot start (no usable display).
// |title| and |untilStatus| are the window's title and the status shown
// until the first one is set; |applicationId|, |name| and |icon| are the
// DisplayIdentity's fields (empty strings: the toolkit's own).
extern "C" typedef int (*SetupGtkOpenFn)(const char* title, const char* untilStatus,
                                         const char* applicationId, const char* name,
                                         const char* icon, Loop** loop, DownloadWindow** window);

#endif  // SETUP_DISPLAY_GTK_GTK_MODULE_H_
