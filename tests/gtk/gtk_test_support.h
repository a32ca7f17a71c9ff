#ifndef SETUP_TESTS_GTK_GTK_TEST_SUPPORT_H_
#define SETUP_TESTS_GTK_GTK_TEST_SUPPORT_H_

#include <gtk/gtk.h>

#include <string>

#include "platform/display/gtk/loop-gtk.h"

// True once GTK has started on a display; tries only once per process.
bool haveDisplay();

// Runs |loop| until something calls stop(). Gives up after |limitSeconds|
// and returns false then, so a missing stop() fails the test instead of
// hanging it.
bool runUntilStopped(GtkLoop& loop, double limitSeconds = 5.0);

// Runs |loop| for |seconds| (the toolkit draws and animates meanwhile).
void runFor(GtkLoop& loop, double seconds);

// Delivers a press and release of |keyval| to |window| the way the X server
// would, through the toolkit's event dispatch.
void pressKey(GtkWindow* window, guint keyval);

// The colour the theme and our style give |widget|'s text right now.
GdkRGBA textColor(GtkWidget* widget);

// Writes a |width| x |height| PNG into a fresh temporary directory and
// returns its path.
std::string writeTestPng(int width, int height);
// Removes a file made by writeTestPng and its directory.
void removeTestPng(const std::string& path);

#endif  // SETUP_TESTS_GTK_GTK_TEST_SUPPORT_H_
