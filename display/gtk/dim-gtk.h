#ifndef SETUP_DISPLAY_GTK_DIM_GTK_H_
#define SETUP_DISPLAY_GTK_DIM_GTK_H_

#include <gtk/gtk.h>

#include <string>

// Secondary text (the figures under the status): dimmer than the theme's
// text, as the theme's dim-label style draws it, but never below the
// contrast people with low vision can read, on the background the window
// is really painted with, light theme or dark.
class DimText {
 public:
  // Dims |label| from now on, following theme changes.
  explicit DimText(GtkLabel* label);
  ~DimText();
  DimText(const DimText&) = delete;
  DimText& operator=(const DimText&) = delete;

 private:
  static void onStyleUpdated(GtkWidget* widget, gpointer self);
  void choose();

  GtkLabel* label_;
  GtkCssProvider* css_;
  std::string rule_;  // what css_ holds now
};

#endif  // SETUP_DISPLAY_GTK_DIM_GTK_H_
