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

// Key bindings match on the hardware key as well, as for a real press.
void setHardwareKey(GdkEventKey* key, GdkDisplay* display) {
  GdkKeymapKey* keys = nullptr;
  gint count = 0;
  GdkKeymap* keymap = gdk_keymap_get_for_display(display);
  if (!gdk_keymap_get_entries_for_keyval(keymap, key->keyval, &keys, &count)) return;
  key->hardware_keycode = static_cast<guint16>(keys[0].keycode);
  key->group = static_cast<guint8>(keys[0].group);
  g_free(keys);
}

GdkEvent* newKeyEvent(GdkEventType type, GtkWindow* window, guint keyval) {
  GdkEvent* event = gdk_event_new(type);
  GdkWindow* surface = gtk_widget_get_window(GTK_WIDGET(window));
  GdkDisplay* display = gdk_window_get_display(surface);
  event->key.window = GDK_WINDOW(g_object_ref(surface));
  event->key.time = GDK_CURRENT_TIME;
  event->key.keyval = keyval;
  setHardwareKey(&event->key, display);
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
