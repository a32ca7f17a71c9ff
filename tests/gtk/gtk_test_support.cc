#include "gtk_test_support.h"

#include <glib/gstdio.h>

bool haveDisplay() {
  static const bool started = gtk_init_check(nullptr, nullptr);
  return started;
}

bool runUntilStopped(GtkLoop& loop, double limitSeconds) {
  bool timedOut = false;
  Loop::Handle watchdog = loop.addTimer(limitSeconds, [&] {
    timedOut = true;
    loop.stop();
  });
  loop.run();
  loop.cancelTimer(watchdog);
  return !timedOut;
}

void runFor(GtkLoop& loop, double seconds) {
  loop.addTimer(seconds, [&loop] { loop.stop(); });
  loop.run();
}

namespace {

GdkEvent* newKeyEvent(GdkEventType type, GtkWindow* window, guint keyval) {
  GdkEvent* event = gdk_event_new(type);
  GdkWindow* surface = gtk_widget_get_window(GTK_WIDGET(window));
  GdkDisplay* display = gdk_window_get_display(surface);
  event->key.window = GDK_WINDOW(g_object_ref(surface));
  event->key.time = GDK_CURRENT_TIME;
  event->key.keyval = keyval;
  GdkKeymapKey* keys = nullptr;
  gint count = 0;
  if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(display), keyval, &keys,
                                        &count)) {
    event->key.hardware_keycode = static_cast<guint16>(keys[0].keycode);
    event->key.group = static_cast<guint8>(keys[0].group);
    g_free(keys);
  }
  gdk_event_set_device(event, gdk_seat_get_keyboard(gdk_display_get_default_seat(display)));
  return event;
}

}  // namespace

void pressKey(GtkWindow* window, guint keyval) {
  for (GdkEventType type : {GDK_KEY_PRESS, GDK_KEY_RELEASE}) {
    GdkEvent* event = newKeyEvent(type, window, keyval);
    gtk_main_do_event(event);
    gdk_event_free(event);
  }
}

GdkRGBA textColor(GtkWidget* widget) {
  GtkStyleContext* style = gtk_widget_get_style_context(widget);
  GdkRGBA color;
  gtk_style_context_get_color(style, gtk_style_context_get_state(style), &color);
  return color;
}

std::string writeTestPng(int width, int height) {
  gchar* dir = g_dir_make_tmp("gtk-window-test-XXXXXX", nullptr);
  std::string path = std::string(dir) + "/splash.png";
  g_free(dir);
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
  gdk_pixbuf_fill(pixbuf, 0x1d4e89ff);
  gdk_pixbuf_save(pixbuf, path.c_str(), "png", nullptr, nullptr);
  g_object_unref(pixbuf);
  return path;
}

void removeTestPng(const std::string& path) {
  gchar* dir = g_path_get_dirname(path.c_str());
  g_remove(path.c_str());
  g_rmdir(dir);
  g_free(dir);
}
