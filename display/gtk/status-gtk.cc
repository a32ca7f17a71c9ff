#include "display/gtk/status-gtk.h"

#include <cmath>
#include <cstdio>

namespace {

// The red of a theme that names no error colour.
constexpr GdkRGBA kFallbackRed = {0.753, 0.110, 0.157, 1.0};  // #c01c28

double linear(double channel) {
  return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

GdkRGBA mix(const GdkRGBA& from, const GdkRGBA& to, double t) {
  return {from.red + (to.red - from.red) * t, from.green + (to.green - from.green) * t,
          from.blue + (to.blue - from.blue) * t, 1.0};
}

// As the CSS below will carry it: whole steps of 1/255.
GdkRGBA rounded(const GdkRGBA& colour) {
  auto byte = [](double c) { return std::round(c * 255.0) / 255.0; };
  return {byte(colour.red), byte(colour.green), byte(colour.blue), 1.0};
}

// |colour| moved towards white on a dark background or black on a light
// one, no further than it takes to be readable there, so that it keeps as
// much of the theme's hue as it can.
GdkRGBA readableOn(const GdkRGBA& colour, const GdkRGBA& background) {
  const GdkRGBA white = {1, 1, 1, 1}, black = {0, 0, 0, 1};
  const GdkRGBA& away = contrastRatio(white, background) >= contrastRatio(black, background)
                            ? white : black;
  double low = 0, high = 1;
  if (contrastRatio(colour, background) >= kReadableContrast) high = 0;
  for (int i = 0; i < 20 && high > 0; ++i) {
    double middle = (low + high) / 2;
    bool readable = contrastRatio(mix(colour, away, middle), background) >= kReadableContrast;
    (readable ? high : low) = middle;
  }
  GdkRGBA result = rounded(mix(colour, away, high));
  for (double t = high; contrastRatio(result, background) < kReadableContrast && t < 1;) {
    t = std::fmin(1.0, t + 1.0 / 255.0);
    result = rounded(mix(colour, away, t));
  }
  return result;
}

}  // namespace

double relativeLuminance(const GdkRGBA& colour) {
  return 0.2126 * linear(colour.red) + 0.7152 * linear(colour.green) +
         0.0722 * linear(colour.blue);
}

double contrastRatio(const GdkRGBA& a, const GdkRGBA& b) {
  double la = relativeLuminance(a), lb = relativeLuminance(b);
  return (std::fmax(la, lb) + 0.05) / (std::fmin(la, lb) + 0.05);
}

GdkRGBA backgroundBehind(GtkWidget* widget) {
  for (GtkWidget* w = widget; w != nullptr; w = gtk_widget_get_parent(w)) {
    GtkStyleContext* style = gtk_widget_get_style_context(w);
    GdkRGBA* painted = nullptr;
    gtk_style_context_get(style, gtk_style_context_get_state(style),
                          GTK_STYLE_PROPERTY_BACKGROUND_COLOR, &painted, nullptr);
    GdkRGBA colour = painted ? *painted : GdkRGBA{0, 0, 0, 0};
    gdk_rgba_free(painted);
    if (colour.alpha >= 0.99) return colour;
  }
  GdkRGBA themed;
  if (gtk_style_context_lookup_color(gtk_widget_get_style_context(widget), "theme_bg_color",
                                     &themed))
    return themed;
  return {1, 1, 1, 1};
}

StatusLabel::StatusLabel()
    : label_(GTK_LABEL(g_object_ref_sink(gtk_label_new("")))), red_(gtk_css_provider_new()) {
  gtk_label_set_xalign(label_, 0.0f);
  // A long text must not widen the window: the label takes the width the
  // progress bar gives the window and ellipsizes or wraps inside it.
  gtk_label_set_max_width_chars(label_, 1);
  gtk_widget_set_hexpand(GTK_WIDGET(label_), TRUE);
  // The red is attached to the label alone, so it never leaks into other
  // windows of the process and wins over the theme's colour.
  gtk_style_context_add_provider(gtk_widget_get_style_context(GTK_WIDGET(label_)),
                                 GTK_STYLE_PROVIDER(red_), GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  // The theme (light or dark) may change while the window is up.
  g_signal_connect(label_, "style-updated", G_CALLBACK(&StatusLabel::onStyleUpdated), this);
  chooseRed();
  applyLineMode();
}

StatusLabel::~StatusLabel() {
  g_signal_handlers_disconnect_by_data(label_, this);
  g_object_unref(label_);
  g_object_unref(red_);
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

void StatusLabel::onStyleUpdated(GtkWidget*, gpointer self) {
  static_cast<StatusLabel*>(self)->chooseRed();
}

// The theme's own error colour where it names one (Adwaita's is readable
// on its light background but not on its dark one), brought to a readable
// contrast against what the window is painted with. Reloading the rule
// updates the style again, which then finds the rule unchanged.
void StatusLabel::chooseRed() {
  GtkWidget* widget = GTK_WIDGET(label_);
  GdkRGBA red;
  if (!gtk_style_context_lookup_color(gtk_widget_get_style_context(widget), "error_color", &red))
    red = kFallbackRed;
  GdkRGBA shown = readableOn(red, backgroundBehind(widget));
  char css[96];
  snprintf(css, sizeof(css), ".%s { color: rgb(%d, %d, %d); }", kFailedClass,
           static_cast<int>(std::lround(shown.red * 255)),
           static_cast<int>(std::lround(shown.green * 255)),
           static_cast<int>(std::lround(shown.blue * 255)));
  if (redCss_ == css) return;
  redCss_ = css;
  gtk_css_provider_load_from_data(red_, css, -1, nullptr);
}

// A message the caller broke into lines (the failure text) is meant to be
// read whole, so it takes all the lines it may even when a short status was
// asked for. A short status is a wrapping label cut to kShortLines: a label
// that starts to wrap only after the window was laid out leaves GTK 3
// sizing the window by its height at one character wide, hundreds of
// pixels too tall.
void StatusLabel::applyLineMode() {
  bool oneLine = singleLine_ && text_.find('\n') == std::string::npos;
  gtk_label_set_line_wrap(label_, TRUE);
  gtk_label_set_line_wrap_mode(label_, PANGO_WRAP_WORD_CHAR);
  gtk_label_set_lines(label_, oneLine ? kShortLines : kMostLines);
  gtk_label_set_ellipsize(label_, PANGO_ELLIPSIZE_END);
}
