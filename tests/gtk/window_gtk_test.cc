// The GTK download window, checked through its real widgets on a real
// (virtual) display, driven by the loop on GLib's main context: on X11
// under Xvfb, and under a headless Wayland compositor (under_weston.sh).
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "display/gtk/loop-gtk.h"
#include "display/gtk/window-gtk.h"

namespace {

// Runs |loop| until something calls stop(); false when that takes over
// |limit| seconds, so that a missing stop() fails the test, not hangs it.
bool runUntilStopped(GtkLoop& loop, double limit = 5.0) {
  bool timedOut = false;
  Loop::Handle watchdog = loop.addTimer(limit, [&] { timedOut = true, loop.stop(); });
  loop.run();
  loop.cancelTimer(watchdog);
  return !timedOut;
}

// Runs |loop| for |seconds|; the toolkit draws and animates meanwhile.
void runFor(GtkLoop& loop, double seconds) {
  loop.addTimer(seconds, [&loop] { loop.stop(); });
  loop.run();
}

bool onDisplayOf(const char* type) {
  GdkDisplay* display = gdk_display_get_default();
  return display && strcmp(G_OBJECT_TYPE_NAME(display), type) == 0;
}

// The WCAG 2 contrast ratio of two colours.
double contrast(const GdkRGBA& a, const GdkRGBA& b) {
  auto luminance = [](const GdkRGBA& c) {
    auto lin = [](double v) { return v <= 0.04045 ? v / 12.92 : pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * lin(c.red) + 0.7152 * lin(c.green) + 0.0722 * lin(c.blue) + 0.05;
  };
  return std::max(luminance(a), luminance(b)) / std::min(luminance(a), luminance(b));
}

// A PNG of one colour, or of one-pixel columns of magenta and blue.
struct TempPng {
  TempPng(const char* name, int width, int height, bool stripes = false)
      : path(::testing::TempDir() + name + std::to_string(getpid()) + ".png") {
    g_autoptr(GdkPixbuf) image = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
    gdk_pixbuf_fill(image, 0x1d4e89ff);
    guchar* pixels = gdk_pixbuf_get_pixels(image);
    const int stride = gdk_pixbuf_get_rowstride(image);
    for (int y = 0, x = 0; stripes && y < height; x = (x + 1) % width, y += x == 0)
      memcpy(pixels + y * stride + x * 3, x % 2 ? "\0\0\xff" : "\xff\0\xff", 3);
    saved = gdk_pixbuf_save(image, path.c_str(), "png", nullptr, nullptr);
  }
  ~TempPng() { unlink(path.c_str()); }
  std::string path;
  bool saved;
};

std::string atkName(gpointer widget) {
  const char* name = atk_object_get_name(gtk_widget_get_accessible(GTK_WIDGET(widget)));
  return name ? name : "";
}

// Every widget under |widget|, the toolkit's own (a title bar) included.
void eachWidget(GtkWidget* widget, const std::function<void(GtkWidget*)>& visit) {
  visit(widget);
  using Widgets = std::vector<GtkWidget*>;
  Widgets children;
  auto add = [](GtkWidget* child, gpointer out) { static_cast<Widgets*>(out)->push_back(child); };
  if (GTK_IS_CONTAINER(widget)) gtk_container_forall(GTK_CONTAINER(widget), add, &children);
  for (GtkWidget* child : children) eachWidget(child, visit);
}

class GtkWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // GDK's key simulation sends core X events, which it reads only on
    // the core devices, not through XInput 2. The theme is the one the
    // test sets, whatever the environment says.
    static const bool display = g_setenv("GDK_CORE_DEVICE_EVENTS", "1", TRUE) &&
                                (g_unsetenv("GTK_THEME"), gtk_init_check(nullptr, nullptr));
    if (!display) GTEST_SKIP() << "no display for GTK (set DISPLAY or run under xvfb-run)";
    if (!onDisplayOf("GdkX11Display")) GTEST_SKIP() << "key presses and WM_CLASS need X11";
    // Replaces an earlier one (a test may set up several in turn).
    window_ = std::make_unique<GtkDownloadWindow>("Installer", "Downloading the installer");
    closes_ = 0;
    window_->setCloseHandler([this] { ++closes_, loop_.stop(); });
    window_->present();
    w_ = window_->parts();
  }

  // Through the X server and the toolkit's key dispatch, as a real press
  // comes (to any X window of the toplevel: the key goes to its focus).
  bool press(guint key) { return gtk_test_widget_send_key(GTK_WIDGET(w_.cancel), key, {}); }
  PangoLayout* layout(GtkLabel* label) const { return gtk_label_get_layout(label); }
  int height() const { return gtk_widget_get_allocated_height(GTK_WIDGET(w_.window)); }

  GtkLoop loop_;  // declared first: the window goes before the loop
  std::unique_ptr<GtkDownloadWindow> window_;
  GtkWindowParts w_{};
  int closes_ = 0;
};

// A fast download updates the state per chunk; the widgets change only
// when what a person sees changes.
TEST_F(GtkWindowTest, ShowsEachPercentAndRedrawsOnlyVisibleChanges) {
  int fractionUpdates = 0, labelUpdates = 0;
  auto count = G_CALLBACK(+[](int* c) { ++*c; });
  g_signal_connect_swapped(w_.progress, "notify::fraction", count, &fractionUpdates);
  g_signal_connect_swapped(w_.status, "notify::label", count, &labelUpdates);
  window_->setProgressMax(1e5);
  for (int chunk = 1; chunk <= 100000; ++chunk) {
    const std::string text = "Downloading " + std::to_string(chunk / 1000) + "%";
    window_->setStatus(text);
    window_->incrementProgress(1.0);
    if (chunk % 25000 == 0) {
      runFor(loop_, 0.02);
      EXPECT_EQ(gtk_label_get_text(w_.status), text);
      EXPECT_NEAR(gtk_progress_bar_get_fraction(w_.progress), chunk / 1e5, 1e-3);
      EXPECT_EQ(pango_layout_get_line_count(layout(w_.status)), 1);
    }
  }
  EXPECT_LE(fractionUpdates, 1001);
  EXPECT_LE(labelUpdates, 101);
}

// Connecting, a wait counted down and the unpacking pulse the bar (only
// while it is indeterminate and animating), in one size of window; while
// unpacking Cancel is off, Return and Escape included. A countdown and a
// stalled transfer's words are shown as they come.
TEST_F(GtkWindowTest, WaitingStatesPulseAndShowWhatTheyAreGiven) {
  window_->setProgressAnimating(true);
  EXPECT_FALSE(window_->progress().pulsing());  // a determinate bar does not pulse
  const int before = height();
  window_->setFiguresWording({nullptr, [](const TransferFigures& f) {
    return std::string(f.stalled ? "no data for a while" : ""); }, nullptr});
  window_->setProgressIndeterminate(true);
  window_->setProgressAnimating(true);
  const std::pair<std::function<void()>, std::string> steps[] = {
      {[&] { window_->setStatus("Connecting to downloads.example.com\u2026"); },
       "Connecting to downloads.example.com\u2026"},
      {[&] { window_->setStatus("Retry in 3 s"), window_->updateStatus("Retry in 2 s"); },
       "Retry in 2 s"},
      {[&] { window_->setStatus("Initializing the installer"), window_->setCancelEnabled(false); },
       "Initializing the installer"},
  };
  window_->setTransferFigures({10, 100, 0, -1, true});
  for (const auto& [set, status] : steps) {
    unsigned pulses = window_->progress().pulses();
    set();
    window_->displayIfNeeded();
    if (!gtk_widget_get_sensitive(GTK_WIDGET(w_.cancel))) {
      ASSERT_TRUE(press(GDK_KEY_Return) && press(GDK_KEY_Escape));
    }
    runFor(loop_, 0.35);
    EXPECT_EQ(gtk_label_get_text(w_.status), status);
    EXPECT_GE(window_->progress().pulses(), pulses + 2) << status;
    EXPECT_EQ(height(), before) << status;
  }
  EXPECT_STREQ(gtk_label_get_text(w_.detail), "no data for a while");
  EXPECT_TRUE(gtk_widget_get_child_visible(GTK_WIDGET(w_.detail)));
  EXPECT_EQ(closes_, 0);
  window_->setProgressAnimating(false);
  unsigned stopped = window_->progress().pulses();
  runFor(loop_, 0.25);
  EXPECT_EQ(window_->progress().pulses(), stopped);
}

// A failure is red, on two whole lines over a full, still bar, with its
// cause and advice in the figures' place, announced to screen readers as
// an alert that comes into view, with Close and Try Again; the window keeps
// its size, whatever the length of the texts. Try Again asks the front end
// and leaves the window open with Cancel back.
TEST_F(GtkWindowTest, FailureShowsCauseAndAdviceAnnouncedWithCloseAndTryAgain) {
  window_->setFiguresWording({nullptr, [](const TransferFigures& f) {
    return std::to_string(f.received) + " B"; }, nullptr});
  window_->setStatus("Downloading  42%");
  window_->setTransferFigures({420, 1000, 50, 11.6});
  runFor(loop_, 0.05);
  EXPECT_STREQ(gtk_label_get_text(w_.detail), "420 B");
  const int size[] = {gtk_widget_get_allocated_width(GTK_WIDGET(w_.window)), height()};
  AtkObject* alert = gtk_widget_get_accessible(w_.failure);
  int announced = 0, triedAgain = 0;
  auto countShown = G_CALLBACK(+[](int* n, const char*, gboolean on) { *n += on; });
  g_signal_connect_swapped(alert, "state-change::showing", countShown, &announced);
  window_->setTryAgainHandler([&] { ++triedAgain; });
  const char failure[] = "Error during the download process.\nSee your system log for more.";
  window_->setProgressMax(5000.0);
  window_->setProgressAnimating(false);  // in the order the front end ends a download
  window_->setProgressIndeterminate(false);
  window_->setProgressValue(window_->progressMax());
  window_->setStatus(failure);
  window_->setStatusRed(true);
  window_->setTransferFigures(TransferFigures());
  window_->setFailureDetail("Cannot reach example.com.", "Check the network.");
  window_->setControls(WindowControls::kCloseOrTryAgain);
  window_->displayIfNeeded();
  runFor(loop_, 0.1);
  EXPECT_EQ(pango_layout_get_line_count(layout(w_.status)), 2);
  EXPECT_FALSE(pango_layout_is_ellipsized(layout(w_.status)));
  EXPECT_TRUE(gtk_style_context_has_class(gtk_widget_get_style_context(GTK_WIDGET(w_.status)),
                                          StatusLabel::kFailedClass));
  EXPECT_STREQ(gtk_label_get_text(w_.cause), "Cannot reach example.com.");
  EXPECT_STREQ(gtk_label_get_text(w_.advice), "Check the network.");
  for (GtkLabel* label : {w_.cause, w_.advice})
    EXPECT_TRUE(gtk_widget_get_mapped(GTK_WIDGET(label)));
  EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(w_.detail)));
  EXPECT_EQ(atk_object_get_role(alert), ATK_ROLE_ALERT);
  EXPECT_EQ(announced, 1);
  EXPECT_EQ(atkName(w_.failure),
            std::string(failure) + "\nCannot reach example.com.\nCheck the network.");
  EXPECT_EQ(atkName(w_.cancel), "Close");
  EXPECT_TRUE(gtk_widget_get_mapped(GTK_WIDGET(w_.tryAgain)));
  EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(w_.progress), 1.0);
  EXPECT_FALSE(window_->progress().pulsing());
  EXPECT_EQ(gtk_widget_get_allocated_width(GTK_WIDGET(w_.window)), size[0]);
  EXPECT_EQ(height(), size[1]);
  // Texts longer than their room are cut short rather than grow the window
  // or push the advice out; a new failure is announced anew.
  const std::string longer = "Cannot write " + std::string(300, 'x') + ".";
  window_->setFailureDetail(longer, longer);
  runFor(loop_, 0.1);
  for (GtkLabel* label : {w_.cause, w_.advice}) {
    EXPECT_TRUE(pango_layout_is_ellipsized(layout(label)));
    EXPECT_EQ(pango_layout_get_line_count(layout(label)), GtkDownloadWindow::kFailureLines);
  }
  EXPECT_EQ(announced, 2);
  EXPECT_EQ(height(), size[1]);
  gtk_button_clicked(w_.tryAgain);
  EXPECT_EQ(triedAgain, 1);
  window_->setFailureDetail("", "");  // as the front end goes on
  runFor(loop_, 0.05);
  EXPECT_EQ(closes_, 0);
  EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(w_.window)));
  EXPECT_EQ(atkName(w_.cancel), "Cancel");
  EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(w_.tryAgain)));
  EXPECT_FALSE(gtk_widget_get_visible(w_.failure));
  EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(w_.detail)));
  EXPECT_EQ(height(), size[1]);
}

// The red is the theme's error colour, made readable (4.5:1 at least) on
// the window's background in Adwaita's light and dark variants.
TEST_F(GtkWindowTest, FailureRedIsReadableOnTheLightAndTheDarkTheme) {
  GtkSettings* settings = gtk_settings_get_default();
  window_->setStatusRed(true);
  for (bool dark : {false, true}) {
    g_object_set(settings, "gtk-theme-name", "Adwaita", "gtk-application-prefer-dark-theme", dark,
                 nullptr);
    runFor(loop_, 0.05);
    GtkStyleContext* style = gtk_widget_get_style_context(GTK_WIDGET(w_.window));
    g_autoptr(GdkRGBA) background = nullptr;
    gtk_style_context_get(style, gtk_style_context_get_state(style),
                          GTK_STYLE_PROPERTY_BACKGROUND_COLOR, &background, nullptr);
    GdkRGBA red, themeRed;
    style = gtk_widget_get_style_context(GTK_WIDGET(w_.status));
    gtk_style_context_get_color(style, gtk_style_context_get_state(style), &red);
    ASSERT_TRUE(gtk_style_context_lookup_color(style, "error_color", &themeRed));
    EXPECT_EQ(contrast(*background, {1, 1, 1, 1}) < 2.0, !dark);  // the variant did change
    EXPECT_GE(contrast(red, *background), 4.5) << (dark ? "dark" : "light");
    EXPECT_GT(red.red - std::max(red.green, red.blue), 0.3) << "still red";
    g_autofree gchar* shown = gdk_rgba_to_string(&red);
    printf("Adwaita%s: the theme's error colour %.2f:1, shown %s %.2f:1\n", dark ? ":dark" : "",
           contrast(themeRed, *background), shown, contrast(red, *background));
  }
  g_object_set(settings, "gtk-application-prefer-dark-theme", FALSE, nullptr);
}

// A screen reader finds a dialog named by its title, a progress bar with a
// name described by the status text, the splash named after the product,
// and a name on every control a person can reach with the keyboard.
TEST_F(GtkWindowTest, ScreenReadersFindNamesRolesAndTheBarsDescription) {
  auto accessible = [](gpointer widget) { return gtk_widget_get_accessible(GTK_WIDGET(widget)); };
  EXPECT_EQ(atk_object_get_role(accessible(w_.window)), ATK_ROLE_DIALOG);
  EXPECT_EQ(atkName(w_.window), "Installer");
  EXPECT_EQ(atkName(w_.progress), "Installer");
  AtkRelationSet* relations = atk_object_ref_relation_set(accessible(w_.progress));
  EXPECT_TRUE(atk_relation_set_contains_target(relations, ATK_RELATION_DESCRIBED_BY,
                                               accessible(w_.status)));
  g_object_unref(relations);
  EXPECT_EQ(atkName(w_.splash), "Installer");
  window_->setProductName("Odd 'Name'");
  EXPECT_EQ(atkName(w_.splash), "Odd 'Name'");
  const std::pair<WindowControls, std::vector<std::string>> states[] = {
      {WindowControls::kCancel, {"Cancel"}},
      {WindowControls::kClose, {"Close"}},
      {WindowControls::kCloseOrTryAgain, {"Try Again", "Close"}},
  };
  for (const auto& [controls, expected] : states) {
    window_->setControls(controls);
    std::vector<std::string> buttons;
    eachWidget(GTK_WIDGET(w_.window), [&](GtkWidget* widget) {
      if (!gtk_widget_get_can_focus(widget) || !gtk_widget_is_visible(widget)) return;
      EXPECT_NE(atkName(widget), "") << G_OBJECT_TYPE_NAME(widget);
      if (GTK_IS_BUTTON(widget)) buttons.push_back(atkName(widget));
    });
    EXPECT_EQ(buttons, expected);
  }
}

// Decoded at the display's scale and fitted to the box keeping its aspect,
// or left out. A window the module opens appears only at the first
// display (or when the loop runs), with its splash, at its final size.
TEST_F(GtkWindowTest, SplashIsFittedAtTheDisplaysScaleAndInTheFirstFrame) {
  TempPng png("splash-", 800, 400);
  ASSERT_TRUE(png.saved);
  window_->setSplash(png.path, 400, 400);
  ASSERT_EQ(gtk_image_get_storage_type(w_.splash), GTK_IMAGE_SURFACE);
  cairo_surface_t* shown = nullptr;
  g_object_get(w_.splash, "surface", &shown, nullptr);
  const int scale = gtk_widget_get_scale_factor(GTK_WIDGET(w_.splash));
  double xScale = 0, yScale = 0;
  cairo_surface_get_device_scale(shown, &xScale, &yScale);
  EXPECT_EQ(xScale, scale);
  EXPECT_EQ(cairo_image_surface_get_width(shown), 400 * scale);
  cairo_surface_destroy(shown);
  runFor(loop_, 0.05);
  EXPECT_EQ(gtk_widget_get_allocated_width(GTK_WIDGET(w_.splash)), 400);
  EXPECT_EQ(gtk_widget_get_allocated_height(GTK_WIDGET(w_.splash)), 200);
  window_->setSplash("/nonexistent/splash.png", 400, 400);
  EXPECT_EQ(gtk_image_get_storage_type(w_.splash), GTK_IMAGE_EMPTY);
  EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(w_.splash)));
  for (bool byDisplay : {true, false}) {
    GtkDownloadWindow later("Installer", "Downloading the installer");
    GtkWidget* window = GTK_WIDGET(later.parts().window);
    int firstHeight = 0;
    g_signal_connect(window, "draw", G_CALLBACK((+[](GtkWidget* w, cairo_t*, int* h) {
      return *h = *h ? *h : gtk_widget_get_allocated_height(w), FALSE; })), &firstHeight);
    later.presentOnFirstDisplay();
    later.setSplash(png.path, 400, 400);
    EXPECT_FALSE(gtk_widget_get_visible(window));
    if (byDisplay) later.displayIfNeeded(); else runFor(loop_, 0.01);
    EXPECT_TRUE(gtk_widget_get_visible(window)) << (byDisplay ? "display" : "loop");
    runFor(loop_, 0.1);
    EXPECT_GT(firstHeight, 200 + 2 * GtkDownloadWindow::kPadding);
    EXPECT_EQ(gtk_widget_get_allocated_height(window), firstHeight);
  }
}

// A product's window carries its launcher's id as its class (the desktop
// matches the two by it) and the bundle's picture as its icon; a picture
// that cannot be read leaves the stock icon.
TEST_F(GtkWindowTest, WindowCarriesTheProductsIdAndIcon) {
  TempPng png("icon-", 48, 48);
  ASSERT_TRUE(png.saved);
  setApplicationIdentity("odd-name", "Odd 'Name'");
  GtkDownloadWindow product("Odd 'Name' Installer", "Downloading the installer");
  product.setIconFile(png.path);
  product.present();
  GtkWindow* window = product.parts().window;
  GdkPixbuf* icon = gtk_window_get_icon(window);
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(gdk_pixbuf_get_width(icon), 48);
  GdkAtom type;
  gint format = 0, length = 0;
  guchar* data = nullptr;
  ASSERT_TRUE(gdk_property_get(gtk_widget_get_window(GTK_WIDGET(window)),
                               gdk_atom_intern_static_string("WM_CLASS"), GDK_NONE, 0, 1024,
                               FALSE, &type, &format, &length, &data));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), length), std::string("odd-name\0odd-name\0", 18));
  g_free(data);
  EXPECT_STREQ(g_get_application_name(), "Odd 'Name'");
  window_->setIconFile("/nonexistent/icon.png");
  EXPECT_EQ(gtk_window_get_icon(w_.window), nullptr);
  EXPECT_STREQ(gtk_window_get_icon_name(w_.window), "system-software-install");
}

// Every way of closing runs the close handler once and the loop ends.
TEST_F(GtkWindowTest, ReturnEscapeCancelCloseAndTheCloseButtonCloseOnce) {
  auto failed = [&] { window_->setControls(WindowControls::kCloseOrTryAgain); };
  const std::pair<const char*, std::function<void()>> ways[] = {
      {"Return", [&] { ASSERT_TRUE(press(GDK_KEY_Return)); }},
      {"Escape", [&] { ASSERT_TRUE(press(GDK_KEY_Escape)); }},
      {"Cancel twice", [&] { gtk_button_clicked(w_.cancel), gtk_button_clicked(w_.cancel); }},
      {"Close", [&] { failed(), gtk_button_clicked(w_.cancel); }},
      {"Return on Close", [&] { failed(); ASSERT_TRUE(press(GDK_KEY_Return)); }},
      {"Escape on Close", [&] { failed(); ASSERT_TRUE(press(GDK_KEY_Escape)); }},
      {"close button", [&] { gtk_window_close(w_.window); }},
      {"close() twice", [&] { window_->close(), window_->close(); }},
  };
  for (const auto& [way, close] : ways) {
    SetUp();
    close();
    EXPECT_TRUE(runUntilStopped(loop_, 2.0)) << way;
    EXPECT_EQ(closes_, 1) << way;
    EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(w_.window))) << way;
  }
}

// What the compositor shows, through weston-screenshooter (allowed by
// weston's --debug); null when it cannot tell.
GdkPixbuf* screenshot() {
  g_autofree gchar* dir = g_dir_make_tmp("shot-XXXXXX", nullptr);
  const gchar* argv[] = {"weston-screenshooter", nullptr};
  gint status = -1;
  if (!dir || !g_spawn_sync(dir, const_cast<gchar**>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                            nullptr, nullptr, nullptr, &status, nullptr) || status != 0)
    return nullptr;
  GDir* listing = g_dir_open(dir, 0, nullptr);
  const gchar* name = g_dir_read_name(listing);
  std::string file = std::string(dir) + "/" + (name ? name : "");
  g_dir_close(listing);
  GdkPixbuf* shot = name ? gdk_pixbuf_new_from_file(file.c_str(), nullptr) : nullptr;
  if (name) unlink(file.c_str());
  rmdir(dir);
  return shot;
}

// Under a Wayland compositor, which places a window where it likes when it
// first appears: the whole window, title bar to buttons, lies within the
// output, and the splash is drawn with every pixel of the output's scale
// (its one-pixel columns survive). Run by under_weston.sh: a headless
// weston at scale 2.
TEST(GtkWaylandTest, WindowLiesWithinTheOutputWithASharpSplash) {
  static const bool display = gtk_init_check(nullptr, nullptr);
  if (!display || !onDisplayOf("GdkWaylandDisplay"))
    GTEST_SKIP() << "needs a Wayland display (tests/gtk/under_weston.sh gives it one)";
  if (!g_find_program_in_path("weston-screenshooter"))
    GTEST_SKIP() << "no weston-screenshooter (Debian package weston)";
  GdkMonitor* monitor = gdk_display_get_monitor(gdk_display_get_default(), 0);
  GdkRectangle output;
  gdk_monitor_get_geometry(monitor, &output);
  const int scale = gdk_monitor_get_scale_factor(monitor);
  TempPng png("stripes-", 400 * scale, 200 * scale, true);
  ASSERT_TRUE(png.saved);
  GtkLoop loop;
  GtkDownloadWindow window("Installer", "Downloading the installer");
  GtkWindowParts w = window.parts();
  bool drawn = false;
  auto setDrawn = G_CALLBACK((+[](bool* d) { return *d = true, FALSE; }));
  g_signal_connect_swapped(w.window, "draw", setDrawn, &drawn);
  window.presentOnFirstDisplay();  // as the module opens it, the splash set after
  window.setSplash(png.path, 400, 400);
  window.setControls(WindowControls::kCloseOrTryAgain);
  window.displayIfNeeded();
  // Drawn, and at the output's scale once it knows which output it is on.
  auto ready = [&] { return drawn && gtk_widget_get_scale_factor(GTK_WIDGET(w.window)) == scale; };
  for (int i = 0; i < 200 && !ready(); ++i) runFor(loop, 0.02);
  runFor(loop, 0.1);
  gdk_display_sync(gdk_display_get_default());  // the compositor has the last frame
  g_autoptr(GdkPixbuf) shot = screenshot();
  ASSERT_NE(shot, nullptr);
  ASSERT_EQ(gdk_pixbuf_get_width(shot), output.width * scale);

  // The splash: the one box of magenta and blue pixels on the screen.
  const int stride = gdk_pixbuf_get_rowstride(shot), channels = gdk_pixbuf_get_n_channels(shot);
  const guchar* pixels = gdk_pixbuf_get_pixels(shot);
  auto pixel = [&](int x, int y) { return pixels + y * stride + x * channels; };
  int left = INT_MAX, top = INT_MAX, right = -1, bottom = -1, count = 0;
  for (int y = 0; y < gdk_pixbuf_get_height(shot); ++y)
    for (int x = 0; x < gdk_pixbuf_get_width(shot); ++x)
      if (pixel(x, y)[1] < 32 && pixel(x, y)[2] > 224) {
        left = std::min(left, x), right = std::max(right, x), ++count;
        top = std::min(top, y), bottom = std::max(bottom, y);
      }
  ASSERT_EQ(right - left + 1, 400 * scale);
  ASSERT_EQ(bottom - top + 1, 200 * scale);
  EXPECT_EQ(count, 400 * scale * 200 * scale);
  int blurred = 0;
  for (int x = left; x <= right; ++x)
    blurred += (pixel(x, top + 7)[0] > 128) != ((x - left) % 2 == 0);
  EXPECT_EQ(blurred, 0) << "columns of the splash that are not its own pixels";

  // Where the rest is, from the splash's place in the window.
  int x0 = 0, y0 = 0, pieces = 0;
  gtk_widget_translate_coordinates(GTK_WIDGET(w.splash), GTK_WIDGET(w.window), 0, 0, &x0, &y0);
  x0 = left / scale - x0, y0 = top / scale - y0;
  eachWidget(GTK_WIDGET(w.window), [&](GtkWidget* widget) {
    if (widget == GTK_WIDGET(w.window) || !gtk_widget_get_mapped(widget)) return;
    int x = 0, y = 0;
    gtk_widget_translate_coordinates(widget, GTK_WIDGET(w.window), 0, 0, &x, &y);
    x += x0, y += y0, ++pieces;
    int right = x + gtk_widget_get_allocated_width(widget);
    int bottom = y + gtk_widget_get_allocated_height(widget);
    EXPECT_TRUE(x >= 0 && y >= 0 && right <= output.width && bottom <= output.height)
        << G_OBJECT_TYPE_NAME(widget) << " from " << x << "," << y << " to " << right << ","
        << bottom << ", off the " << output.width << "x" << output.height << " output";
  });
  EXPECT_GT(pieces, 10);
  EXPECT_TRUE(gtk_widget_get_mapped(GTK_WIDGET(w.tryAgain)));
}

}  // namespace
