#include "display/gtk/dim-gtk.h"

#include <cmath>
#include <cstdio>

#include "display/gtk/status-gtk.h"

namespace {

// How far towards the background the theme's dim-label style takes text
// (it draws it at 55% opacity).
constexpr double kDimming = 0.45;

GdkRGBA towards(const GdkRGBA& from, const GdkRGBA& to, double t) {
  auto byte = [](double c) { return std::round(c * 255.0) / 255.0; };
  return {byte(from.red + (to.red - from.red) * t), byte(from.green + (to.green - from.green) * t),
          byte(from.blue + (to.blue - from.blue) * t), 1.0};
}

}  // namespace

// A reference of its own keeps the label until this is destroyed, after
// the window that held it.
DimText::DimText(GtkLabel* label)
    : label_(GTK_LABEL(g_object_ref(label))), css_(gtk_css_provider_new()) {
  gtk_style_context_add_provider(gtk_widget_get_style_context(GTK_WIDGET(label_)),
                                 GTK_STYLE_PROVIDER(css_), GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_signal_connect(label_, "style-updated", G_CALLBACK(&DimText::onStyleUpdated), this);
  choose();
}

DimText::~DimText() {
  g_signal_handlers_disconnect_by_data(label_, this);
  g_object_unref(label_);
  g_object_unref(css_);
}

void DimText::onStyleUpdated(GtkWidget*, gpointer self) { static_cast<DimText*>(self)->choose(); }

// The theme's text colour taken towards the background, no further than a
// readable contrast allows (in steps of 1/255, as the CSS carries it). The
// label's own colour is this rule's, so the theme's is looked up by name.
void DimText::choose() {
  GtkWidget* widget = GTK_WIDGET(label_);
  GtkStyleContext* style = gtk_widget_get_style_context(widget);
  GdkRGBA text, background = backgroundBehind(widget);
  if (!gtk_style_context_lookup_color(style, "theme_fg_color", &text))
    text = relativeLuminance(background) > 0.5 ? GdkRGBA{0, 0, 0, 1} : GdkRGBA{1, 1, 1, 1};
  double t = kDimming;
  GdkRGBA dim = towards(text, background, t);
  while (t > 0 && contrastRatio(dim, background) < kReadableContrast)
    dim = towards(text, background, t = std::fmax(0.0, t - 1.0 / 255.0));
  char rule[96];
  snprintf(rule, sizeof(rule), "label { color: rgb(%d, %d, %d); }",
           static_cast<int>(std::lround(dim.red * 255)), static_cast<int>(std::lround(dim.green * 255)),
           static_cast<int>(std::lround(dim.blue * 255)));
  if (rule_ == rule) return;
  rule_ = rule;
  gtk_css_provider_load_from_data(css_, rule, -1, nullptr);
}
