#ifndef SETUP_DISPLAY_GTK_SPLASH_GTK_H_
#define SETUP_DISPLAY_GTK_SPLASH_GTK_H_

#include <gtk/gtk.h>

#include <string>

// Shows the image file at |path| in |image|, scaled to fit |width| x
// |height| (in the toolkit's units) keeping its aspect, and reveals the
// widget. The picture is decoded at the widget's scale factor, so that on
// a display of 2 pixels a unit it keeps its detail instead of being
// enlarged from half as many pixels. An unreadable or missing file leaves
// |image| empty and hidden. Returns whether it loaded.
bool showSplash(GtkImage* image, const std::string& path, int width, int height);

#endif  // SETUP_DISPLAY_GTK_SPLASH_GTK_H_
