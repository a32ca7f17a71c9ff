#include "display/gtk/splash-gtk.h"

bool showSplash(GtkImage* image, const std::string& path, int width, int height) {
  GdkPixbuf* pixbuf = nullptr;
  if (width > 0 && height > 0) {
    pixbuf = gdk_pixbuf_new_from_file_at_scale(path.c_str(), width, height, TRUE, nullptr);
  }
  if (pixbuf == nullptr) {
    gtk_image_clear(image);
    gtk_widget_hide(GTK_WIDGET(image));
    return false;
  }
  gtk_image_set_from_pixbuf(image, pixbuf);
  g_object_unref(pixbuf);
  gtk_widget_show(GTK_WIDGET(image));
  return true;
}
