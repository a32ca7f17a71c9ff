#ifndef SETUP_DISPLAY_GTK_SPLASH_GTK_H_
#define SETUP_DISPLAY_GTK_SPLASH_GTK_H_

#include <gtk/gtk.h>

#include <string>

// Shows the image file at |path| in |image|, scaled to fit |width| x
// |height| keeping its aspect, and reveals the widget. An unreadable or
// missing file leaves |image| empty and hidden. Returns whether it loaded.
bool showSplash(GtkImage* image, const std::string& path, int width, int height);

#endif  // SETUP_DISPLAY_GTK_SPLASH_GTK_H_
