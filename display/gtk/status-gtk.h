#ifndef SETUP_DISPLAY_GTK_STATUS_GTK_H_
#define SETUP_DISPLAY_GTK_STATUS_GTK_H_

#include <gtk/gtk.h>

#include <string>

// The status line of the download window: a label that either stays on one
// line (ellipsized) or shows every line of a longer message, in the normal
// colour or in red for failures.
class StatusLabel {
 public:
  // The style class that makes the text red; tests look for it.
  static constexpr const char* kFailedClass = "setup-status-failed";

  // Creates the widgets; the caller packs widget() (the container owns it).
  StatusLabel();

  // What to pack: the label in a box always two lines high, so that the
  // window keeps its size when a two-line failure text replaces a status.
  GtkWidget* widget() const { return box_; }
  GtkLabel* label() const { return label_; }

  // One line, ellipsized, unless the text itself holds a line break.
  void setSingleLine(bool singleLine);
  // Replaces the text; does nothing when the text is unchanged. Returns
  // whether the label changed.
  bool setText(const std::string& text);
  // Red text for failures, the theme's colour otherwise.
  void setRed(bool red);

 private:
  void applyLineMode();

  GtkLabel* label_;
  GtkWidget* box_;
  std::string text_;
  bool singleLine_ = true;
};

#endif  // SETUP_DISPLAY_GTK_STATUS_GTK_H_
