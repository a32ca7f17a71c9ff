#include "display/gtk/splash-gtk.h"

bool showSplash(GtkImage* image, const std::string& path, int width, int height) {
  int scale = gtk_widget_get_scale_factor(GTK_WIDGET(image));
  GdkPixbuf* pixbuf = nullptr;
  if (width > 0 && height > 0) {
    pixbuf = gdk_pixbuf_new_from_file_at_scale(path.c_str(), width * scale, height * scale, TRUE,
                                               nullptr);
  }
  if (pixbuf == nullptr) {
    gtk_image_clear(image);
    gtk_widget_hide(GTK_WIDGET(image));
    return false;
  }
  cairo_surface_t* surface = gdk_cairo_surface_create_from_pixbuf(pixbuf, scale, nullptr);
  gtk_image_set_from_surface(image, surface);
  cairo_surface_destroy(surface);
  g_object_unref(pixbuf);
  gtk_widget_show(GTK_WIDGET(image));
  return true;
}
