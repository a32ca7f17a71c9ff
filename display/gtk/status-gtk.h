#ifndef SETUP_DISPLAY_GTK_STATUS_GTK_H_
#define SETUP_DISPLAY_GTK_STATUS_GTK_H_

#include <gtk/gtk.h>

#include <string>

// The smallest contrast between text and its background that people with
// low vision can read (WCAG 2, normal-size text).
constexpr double kReadableContrast = 4.5;

// WCAG 2 relative luminance of |colour| (0 black .. 1 white), and the
// contrast ratio of two colours (1 .. 21), alpha ignored.
double relativeLuminance(const GdkRGBA& colour);
double contrastRatio(const GdkRGBA& a, const GdkRGBA& b);

// The colour the window's content is drawn on: the nearest ancestor of
// |widget| that paints an opaque background, else the theme's background
// colour, else white.
GdkRGBA backgroundBehind(GtkWidget* widget);

// The status line of the download window: a label that either stays on one
// line (ellipsized) or shows every line of a longer message, in the normal
// colour or, for failures, in the theme's error colour made readable on the
// window's background.
class StatusLabel {
 public:
  // The style class that makes the text red; tests look for it.
  static constexpr const char* kFailedClass = "setup-status-failed";
  // The most lines a text that is not kept short takes; a longer
  // one is cut short with an ellipsis.
  static constexpr int kMostLines = 3;
  // The most lines of a status kept short: a longer language's words for
  // an update by delta ("Aktualisierung des Installationsprogramms: 1,0 MB
  // von 21,0 MB nötig") take two.
  static constexpr int kShortLines = 2;

  // Creates the label; the caller packs it. A reference of its own keeps
  // it until this is destroyed, after the window it was packed in.
  StatusLabel();
  ~StatusLabel();
  StatusLabel(const StatusLabel&) = delete;
  StatusLabel& operator=(const StatusLabel&) = delete;

  GtkLabel* label() const { return label_; }
  const std::string& text() const { return text_; }

  // Short (kShortLines at most, ellipsized) unless the text itself holds a
  // line break; otherwise as many as the text needs, kMostLines at most.
  void setSingleLine(bool singleLine);
  // Replaces the text; does nothing when the text is unchanged. Returns
  // whether the label changed.
  bool setText(const std::string& text);
  // Red text for failures, the theme's colour otherwise.
  void setRed(bool red);

 private:
  static void onStyleUpdated(GtkWidget* widget, gpointer self);
  void applyLineMode();
  void chooseRed();

  GtkLabel* label_;
  GtkCssProvider* red_;
  std::string redCss_;  // what red_ holds now
  std::string text_;
  bool singleLine_ = true;
};

#endif  // SETUP_DISPLAY_GTK_STATUS_GTK_H_
