#include "display/gtk/status-gtk.h"

namespace {

// Only a bare class selector: it matches the label under every GTK 3
// release, whether the theme names nodes "label" (3.20+) or "GtkLabel".
constexpr const char kStatusCss[] =
    ".setup-status-failed { color: #c01c28; }";

// The red is attached to the label alone, so it never leaks into other
// windows of the process and wins over the theme's colour.
void addStatusStyle(GtkWidget* label) {
  GtkCssProvider* provider = gtk_css_provider_new();
  gtk_css_provider_load_from_data(provider, kStatusCss, -1, nullptr);
  gtk_style_context_add_provider(gtk_widget_get_style_context(label),
                                 GTK_STYLE_PROVIDER(provider),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(provider);
}

// A homogeneous stack is as high as its highest child, shown or not: a
// two-line placeholder holds the room while the real label sits at the
// bottom, next to the progress bar it describes.
GtkWidget* newTwoLineBox(GtkLabel* label) {
  GtkWidget* stack = gtk_stack_new();
  gtk_stack_set_homogeneous(GTK_STACK(stack), TRUE);
  gtk_container_add(GTK_CONTAINER(stack), GTK_WIDGET(label));
  gtk_container_add(GTK_CONTAINER(stack), gtk_label_new("\n"));
  gtk_stack_set_visible_child(GTK_STACK(stack), GTK_WIDGET(label));
  return stack;
}

}  // namespace

StatusLabel::StatusLabel()
    : label_(GTK_LABEL(gtk_label_new(""))), box_(newTwoLineBox(label_)) {
  gtk_label_set_xalign(label_, 0.0f);
  gtk_widget_set_valign(GTK_WIDGET(label_), GTK_ALIGN_END);
  // A long text must not widen the window: the label takes the width the
  // progress bar gives the window and ellipsizes or wraps inside it.
  gtk_label_set_max_width_chars(label_, 1);
  gtk_widget_set_hexpand(GTK_WIDGET(label_), TRUE);
  addStatusStyle(GTK_WIDGET(label_));
  applyLineMode();
}

void StatusLabel::setSingleLine(bool singleLine) {
  if (singleLine == singleLine_) return;
  singleLine_ = singleLine;
  applyLineMode();
}

bool StatusLabel::setText(const std::string& text) {
  if (text == text_) return false;
  text_ = text;
  gtk_label_set_text(label_, text_.c_str());
  applyLineMode();
  return true;
}

void StatusLabel::setRed(bool red) {
  GtkStyleContext* style = gtk_widget_get_style_context(GTK_WIDGET(label_));
  if (red) {
    gtk_style_context_add_class(style, kFailedClass);
  } else {
    gtk_style_context_remove_class(style, kFailedClass);
  }
}

// A message the caller broke into lines (the failure text) is meant to be
// read whole, so it wraps even when one line was asked for. One line is a
// wrapping label cut to one line: a label that starts to wrap only after
// the window was laid out leaves GTK 3 sizing the window by its height at
// one character wide, hundreds of pixels too tall.
void StatusLabel::applyLineMode() {
  bool oneLine = singleLine_ && text_.find('\n') == std::string::npos;
  gtk_label_set_line_wrap(label_, TRUE);
  gtk_label_set_line_wrap_mode(label_, PANGO_WRAP_WORD_CHAR);
  gtk_label_set_lines(label_, oneLine ? 1 : -1);
  gtk_label_set_ellipsize(label_, oneLine ? PANGO_ELLIPSIZE_END : PANGO_ELLIPSIZE_NONE);
  gtk_label_set_single_line_mode(label_, oneLine);
}
