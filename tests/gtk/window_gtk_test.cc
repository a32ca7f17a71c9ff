// The GTK download window, checked through its real widgets on a real
// (virtual) display, driven by the loop on GLib's main context: on X11
// under Xvfb, and under a headless Wayland compositor (under_weston.sh).
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "display/gtk/loop-gtk.h"
#include "display/gtk/window-gtk.h"

namespace {

using Names = std::vector<std::string>;
using namespace std::string_literals;

// Runs |loop| for |seconds|, the toolkit drawing and animating meanwhile,
// or until something else stops it: then true.
bool runFor(GtkLoop& loop, double seconds) {
  bool timedOut = false;
  Loop::Handle timer = loop.addTimer(seconds, [&] { timedOut = true, loop.stop(); });
  loop.run();
  loop.cancelTimer(timer);
  return !timedOut;
}

std::string atkName(gpointer widget) {
  const char* name = atk_object_get_name(gtk_widget_get_accessible(GTK_WIDGET(widget)));
  return name ? name : "";
}

// A label as a person reads it: its text, its line count, and "cut" when
// it is ellipsized.
std::string seen(GtkLabel* label) {
  PangoLayout* layout = gtk_label_get_layout(label);
  return std::string(gtk_label_get_text(label)) + " /" +
         std::to_string(pango_layout_get_line_count(layout)) +
         (pango_layout_is_ellipsized(layout) ? " cut" : "");
}

// Every widget under |widget|, the toolkit's own (a title bar) included;
// |visit| only looks, so the tree does not change under the walk.
using Visit = std::function<void(GtkWidget*)>;
void eachWidget(GtkWidget* widget, const Visit& visit) {
  visit(widget);
  auto next = [](GtkWidget* child, gpointer v) { eachWidget(child, *static_cast<Visit*>(v)); };
  if (GTK_IS_CONTAINER(widget))
    gtk_container_forall(GTK_CONTAINER(widget), next, const_cast<Visit*>(&visit));
}

// Each test starts with a window presented on the display it needs.
class GtkWindowTest : public ::testing::Test {
 protected:
  // Key presses and WM_CLASS need X11.
  virtual const char* displayType() const { return "GdkX11Display"; }

  void SetUp() override {
    // GDK's key simulation sends core X events, which it reads only on
    // the core devices, not through XInput 2. The theme is the one the
    // test sets, whatever the environment says.
    static const bool display = g_setenv("GDK_CORE_DEVICE_EVENTS", "1", TRUE) &&
                                (g_unsetenv("GTK_THEME"), gtk_init_check(nullptr, nullptr));
    if (!display || strcmp(G_OBJECT_TYPE_NAME(gdk_display_get_default()), displayType()) != 0)
      GTEST_SKIP() << "needs a " << displayType() << " (ctest -L gtk runs it on one)";
    open();
  }
  void TearDown() override { for (const std::string& made : made_) remove(made.c_str()); }

  // A new window in place of the last: shown now, or as the module shows
  // it (at the first display or when the loop runs).
  void open(bool now = true) {
    window_ = std::make_unique<GtkDownloadWindow>("Installer", "Downloading the installer");
    closes_ = firstHeight_ = 0;
    window_->setCloseHandler([this] { ++closes_, loop_.stop(); });
    w_ = window_->parts();
    g_signal_connect(w_.window, "draw", G_CALLBACK((+[](GtkWidget* w, cairo_t*, int* h) {
      return *h = *h ? *h : gtk_widget_get_allocated_height(w), FALSE; })), &firstHeight_);
    if (now) window_->present(); else window_->presentOnFirstDisplay();
  }

  // A PNG, removed after the test, of one colour or of one-pixel columns
  // of magenta and blue.
  std::string png(const char* name, int width, int height, bool stripes = false) {
    g_autoptr(GdkPixbuf) image = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
    gdk_pixbuf_fill(image, 0x1d4e89ff);
    guchar* pixels = gdk_pixbuf_get_pixels(image);
    const int stride = gdk_pixbuf_get_rowstride(image);
    for (int y = 0, x = 0; stripes && y < height; x = (x + 1) % width, y += x == 0)
      memcpy(pixels + y * stride + x * 3, x % 2 ? "\0\0\xff" : "\xff\0\xff", 3);
    made_.push_back(::testing::TempDir() + name + std::to_string(getpid()) + ".png");
    EXPECT_TRUE(gdk_pixbuf_save(image, made_.back().c_str(), "png", nullptr, nullptr));
    return made_.back();
  }

  // The names of the buttons on screen, each control that takes the focus
  // checked for a name on the way.
  Names buttons() const {
    Names names;
    eachWidget(GTK_WIDGET(w_.window), [&](GtkWidget* widget) {
      if (!gtk_widget_get_can_focus(widget) || !gtk_widget_get_mapped(widget)) return;
      EXPECT_NE(atkName(widget), "") << G_OBJECT_TYPE_NAME(widget);
      if (GTK_IS_BUTTON(widget)) names.push_back(atkName(widget));
    });
    return names;
  }
  // Which of the figures and the failure's parts are on screen.
  std::string onScreen() const {
    std::string parts;
    for (auto [name, part] : {std::pair<const char*, gpointer>{"figures ", w_.detail},
                              {"failure ", w_.failure}, {"cause ", w_.cause}, {"advice", w_.advice}})
      if (gtk_widget_get_mapped(GTK_WIDGET(part))) parts += name;
    return parts;
  }

  // Through the X server and the toolkit's key dispatch, as a real press
  // comes (to any X window of the toplevel: the key goes to its focus).
  bool press(guint key) { return gtk_test_widget_send_key(GTK_WIDGET(w_.cancel), key, {}); }
  static std::pair<int, int> size(gpointer widget) {
    return {gtk_widget_get_allocated_width(GTK_WIDGET(widget)),
            gtk_widget_get_allocated_height(GTK_WIDGET(widget))};
  }

  GtkLoop loop_;  // declared first: the window goes before the loop
  std::unique_ptr<GtkDownloadWindow> window_;
  GtkWindowParts w_{};
  int closes_ = 0, firstHeight_ = 0;  // the latter: the window's height in its first frame
  std::vector<std::string> made_;  // files, then the directories they are in
};

// One window through a download's states in the front end's order, keeping
// its size whatever the texts: connecting (as a retry's countdown, through
// the same calls) pulses the bar (only while it is indeterminate and
// animating) and shows its words; a fast download's widgets change only when
// what a person sees changes; a stalled transfer's words; a failure, red on
// two whole lines over a full bar, its cause and advice in the figures'
// place, announced as an alert that comes into view, with Close and Try
// Again; Try Again asks the front end and leaves the window open with Cancel
// back; while unpacking Cancel is off, Return and Escape included; a failure
// that trying again cannot mend has Close alone, and a red people can read
// whatever the theme.
TEST_F(GtkWindowTest, ADownloadWalksItsStatesInAWindowOfOneSize) {
  const auto first = size(w_.window);
  int fractionUpdates = 0, labelUpdates = 0, announced = 0, triedAgain = 0;
  auto count = G_CALLBACK(+[](int* n) { ++*n; });
  g_signal_connect_swapped(w_.progress, "notify::fraction", count, &fractionUpdates);
  g_signal_connect_swapped(w_.status, "notify::label", count, &labelUpdates);
  AtkObject* alert = gtk_widget_get_accessible(w_.failure);
  auto countShown = G_CALLBACK(+[](int* n, const char*, gboolean on) { *n += on; });
  g_signal_connect_swapped(alert, "state-change::showing", countShown, &announced);
  window_->setTryAgainHandler([&] { ++triedAgain; });
  window_->setFiguresWording({nullptr, [](const TransferFigures& f) {
    return std::string(f.stalled ? "no data for a while" : ""); }, nullptr});
  // A wait pulses the bar (twice at least) and shows its words; nothing
  // closes the window.
  auto waits = [&](const std::string& status) {
    const unsigned pulses = window_->progress().pulses();
    EXPECT_FALSE(runFor(loop_, 0.35)) << status;
    EXPECT_EQ(std::make_tuple(seen(w_.status), std::min(window_->progress().pulses() - pulses, 2u),
                              size(w_.window)), std::make_tuple(status + " /1", 2u, first));
  };
  window_->setProgressAnimating(true);
  EXPECT_FALSE(window_->progress().pulsing());  // a determinate bar does not pulse
  window_->setProgressIndeterminate(true);
  window_->setStatus("Connecting to downloads.example.com\u2026");
  waits("Connecting to downloads.example.com\u2026");
  window_->setProgressAnimating(false);  // in the order the front end ends a wait
  EXPECT_FALSE(window_->progress().pulsing());
  window_->setProgressIndeterminate(false);

  // Half the bar, chunk by chunk, so that the failure below fills it: the
  // status text changes once a percent, the bar once a thousandth (give or
  // take one, as the fractions round).
  fractionUpdates = labelUpdates = 0;
  window_->setProgressMax(2e5);
  for (int chunk = 1; chunk <= 100000; ++chunk)
    window_->setStatus("Downloading " + std::to_string(chunk / 2000) + "%"),
        window_->incrementProgress(1.0);
  runFor(loop_, 0.05);
  EXPECT_EQ(std::make_pair(seen(w_.status), labelUpdates), std::make_pair("Downloading 50% /1"s, 51));
  EXPECT_NEAR(gtk_progress_bar_get_fraction(w_.progress), 0.5, 1e-3);
  EXPECT_NEAR(fractionUpdates, 500, 1);
  window_->setTransferFigures({10, 100, 0, -1, true});
  EXPECT_EQ(gtk_label_get_text(w_.detail) + onScreen(), "no data for a whilefigures ");

  const std::string failure = "Error during the download process.\nSee your system log for more.";
  window_->setProgressValue(window_->progressMax());
  window_->setStatus(failure);
  window_->setStatusRed(true);  // its own style must not cut the lines short
  window_->setFailureDetail("Cannot reach example.com.", "Check the network.");
  window_->setControls(WindowControls::kCloseOrTryAgain);
  runFor(loop_, 0.1);
  // The alert reads the labels' own texts, so this is what they show too.
  EXPECT_EQ(atkName(w_.failure), failure + "\nCannot reach example.com.\nCheck the network.");
  EXPECT_EQ(std::make_tuple(seen(w_.status), onScreen(), atk_object_get_role(alert), buttons(),
                            announced, gtk_progress_bar_get_fraction(w_.progress), size(w_.window)),
            std::make_tuple(failure + " /2", "failure cause advice"s, ATK_ROLE_ALERT,
                            Names{"Try Again", "Close"}, 1, 1.0, first));
  // Texts longer than their room are cut short rather than grow the window
  // or push the advice out; a new failure is announced anew.
  const std::string longer = "Cannot write " + std::string(300, 'x') + ".";
  window_->setFailureDetail(longer, longer);
  runFor(loop_, 0.1);
  const std::string cut = longer + " /" + std::to_string(GtkDownloadWindow::kFailureLines) + " cut";
  EXPECT_EQ(std::make_tuple(seen(w_.cause), seen(w_.advice), announced, size(w_.window)),
            std::make_tuple(cut, cut, 2, first));

  gtk_button_clicked(w_.tryAgain);
  EXPECT_EQ(triedAgain, 1);
  window_->setFailureDetail("", "");  // as the front end goes on
  EXPECT_EQ(std::make_pair(buttons(), onScreen()), std::make_pair(Names{"Cancel"}, "figures "s));
  window_->setProgressIndeterminate(true);
  window_->setProgressAnimating(true);
  window_->setStatus("Initializing the installer");
  window_->setCancelEnabled(false);
  ASSERT_TRUE(press(GDK_KEY_Return) && press(GDK_KEY_Escape));
  waits("Initializing the installer");
  window_->setControls(WindowControls::kClose);
  EXPECT_EQ(buttons(), Names{"Close"});

  // Its red is the theme's error colour, made readable (4.5:1 at least,
  // WCAG 2's contrast ratio) on the window's background in Adwaita's light
  // and dark variants.
  auto luminance = [](const GdkRGBA& c) {  // with the 0.05 the ratio adds to each
    auto lin = [](double v) { return v <= 0.04045 ? v / 12.92 : pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * lin(c.red) + 0.7152 * lin(c.green) + 0.0722 * lin(c.blue) + 0.05;
  };
  for (bool dark : {false, true}) {
    g_object_set(gtk_settings_get_default(), "gtk-theme-name", "Adwaita",
                 "gtk-application-prefer-dark-theme", dark, nullptr);
    runFor(loop_, 0.05);
    GdkRGBA* background = nullptr, red;
    GtkStyleContext* style = gtk_widget_get_style_context(GTK_WIDGET(w_.window));
    gtk_style_context_get(style, gtk_style_context_get_state(style), "background-color", &background, nullptr);
    style = gtk_widget_get_style_context(GTK_WIDGET(w_.status));
    gtk_style_context_get_color(style, gtk_style_context_get_state(style), &red);
    const double back = luminance(*background), contrast = back / luminance(red);
    gdk_rgba_free(background);
    // The variant did change (white on it stands out, 2:1 or more, only
    // when dark); readable on it; still red.
    EXPECT_EQ(std::make_tuple(1.05 / back < 2.0, std::max(contrast, 1 / contrast) >= 4.5,
                              red.red - std::max(red.green, red.blue) > 0.3),
              std::make_tuple(!dark, true, true)) << dark << " " << contrast;
  }
  g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", FALSE, nullptr);
}

// A product's window. A screen reader finds a dialog named by its title,
// a progress bar with that name described by the status text and the
// splash named after the product (the title until there is one). The
// splash is decoded at the display's scale and fitted to its box keeping
// its aspect, or left out. The window the module opens appears only at the
// first display (or when the loop runs), with its splash, at its final
// size. The desktop finds the launcher's id as its class (it matches the
// two by it) and the bundle's picture as its icon, or the stock icon when
// the picture cannot be read.
TEST_F(GtkWindowTest, AProductsWindowIsNamedWithItsSplashAndIcon) {
  auto accessible = [](gpointer widget) { return gtk_widget_get_accessible(GTK_WIDGET(widget)); };
  EXPECT_EQ(atk_object_get_role(accessible(w_.window)), ATK_ROLE_DIALOG);
  EXPECT_EQ((Names{atkName(w_.window), atkName(w_.progress), atkName(w_.splash)}),
            Names(3, "Installer"));
  g_autoptr(AtkRelationSet) relations = atk_object_ref_relation_set(accessible(w_.progress));
  EXPECT_TRUE(atk_relation_set_contains_target(relations, ATK_RELATION_DESCRIBED_BY,
                                               accessible(w_.status)));
  window_->setProductName("Odd 'Name'");
  EXPECT_EQ(atkName(w_.splash), "Odd 'Name'");
  window_->setIconFile("/nonexistent/icon.png");
  EXPECT_EQ(gtk_window_get_icon(w_.window), nullptr);
  EXPECT_STREQ(gtk_window_get_icon_name(w_.window), "system-software-install");

  const std::string splash = png("splash-", 800, 400);
  window_->setSplash(splash, 400, 400);
  ASSERT_EQ(gtk_image_get_storage_type(w_.splash), GTK_IMAGE_SURFACE);
  // Its pixels, against the room it takes below: its device scale.
  cairo_surface_t* shown = nullptr;
  g_object_get(w_.splash, "surface", &shown, nullptr);
  EXPECT_EQ(cairo_image_surface_get_width(shown), 400 * gtk_widget_get_scale_factor(GTK_WIDGET(w_.splash)));
  cairo_surface_destroy(shown);
  runFor(loop_, 0.05);
  EXPECT_EQ(size(w_.splash), std::make_pair(400, 200));
  window_->setSplash("/nonexistent/splash.png", 400, 400);
  EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(w_.splash)));

  setApplicationIdentity("odd-name", "Odd 'Name'");
  for (bool byDisplay : {true, false}) {
    open(false);
    window_->setSplash(splash, 400, 400);
    EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(w_.window)));
    if (byDisplay) window_->displayIfNeeded(); else runFor(loop_, 0.01);
    EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(w_.window))) << (byDisplay ? "display" : "loop");
    runFor(loop_, 0.1);
    EXPECT_GT(firstHeight_, 200 + 2 * GtkDownloadWindow::kPadding);
    EXPECT_EQ(size(w_.window).second, firstHeight_);
  }
  window_->setIconFile(png("icon-", 48, 48));
  GdkPixbuf* icon = gtk_window_get_icon(w_.window);
  EXPECT_EQ(icon ? gdk_pixbuf_get_width(icon) : 0, 48);
  GdkAtom type; gint format = 0, length = 0;
  g_autofree guchar* data = nullptr;
  ASSERT_TRUE(gdk_property_get(gtk_widget_get_window(GTK_WIDGET(w_.window)),
                               gdk_atom_intern_static_string("WM_CLASS"), GDK_NONE, 0, 1024,
                               FALSE, &type, &format, &length, &data));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), length) + g_get_application_name(),
            std::string("odd-name\0odd-name\0Odd 'Name'", 28));
}

// Every way of closing runs the close handler once and the loop ends,
// while Cancel shows and after a failure, when it reads Close.
TEST_F(GtkWindowTest, ReturnEscapeCancelCloseAndTheCloseButtonCloseOnce) {
  const std::pair<const char*, std::function<void()>> ways[] = {
      {"Return", [&] { EXPECT_TRUE(press(GDK_KEY_Return)); }},
      {"Escape", [&] { EXPECT_TRUE(press(GDK_KEY_Escape)); }},
      {"the button twice", [&] { gtk_button_clicked(w_.cancel), gtk_button_clicked(w_.cancel); }},
      {"the close button", [&] { gtk_window_close(w_.window); }},
      {"close() twice", [&] { window_->close(), window_->close(); }},
  };
  for (auto controls : {WindowControls::kCancel, WindowControls::kCloseOrTryAgain}) {
    for (const auto& [way, close] : ways) {
      open();
      window_->setControls(controls);
      close();
      // It ends (or the test fails rather than hang), once, the window gone.
      const bool ended = runFor(loop_, 2.0);
      EXPECT_EQ(std::make_tuple(ended, closes_, gtk_widget_get_visible(GTK_WIDGET(w_.window))),
                std::make_tuple(true, 1, FALSE)) << way << " on " << gtk_button_get_label(w_.cancel);
    }
  }
}

class GtkWaylandTest : public GtkWindowTest {
  const char* displayType() const override { return "GdkWaylandDisplay"; }
};

// Under a Wayland compositor, which places a window where it likes when it
// first appears: the whole window, title bar to buttons, lies within the
// output, and the splash is drawn with every pixel of the output's scale
// (its one-pixel columns survive). Run by under_weston.sh: a headless
// weston at scale 2, which lets weston-screenshooter take the screen.
TEST_F(GtkWaylandTest, WindowLiesWithinTheOutputWithASharpSplash) {
  if (system("command -v weston-screenshooter >/dev/null") != 0)
    GTEST_SKIP() << "no weston-screenshooter (Debian package weston)";
  GdkDisplay* display = gdk_display_get_default();
  const int scale = gdk_monitor_get_scale_factor(gdk_display_get_monitor(display, 0));
  open(false);  // as the module opens it, the splash set after
  GtkWidget* window = GTK_WIDGET(w_.window);
  window_->setSplash(png("stripes-", 400 * scale, 200 * scale, true), 400, 400);
  window_->setControls(WindowControls::kCloseOrTryAgain);
  window_->displayIfNeeded();
  // Drawn, and at the output's scale once it knows which output it is on.
  auto ready = [&] { return firstHeight_ && gtk_widget_get_scale_factor(window) == scale; };
  for (int i = 0; i < 200 && !ready(); ++i) runFor(loop_, 0.02);
  runFor(loop_, 0.1);
  gdk_display_sync(display);  // the compositor has the last frame
  g_autofree gchar* dir = g_dir_make_tmp("shot-XXXXXX", nullptr);
  ASSERT_NE(dir, nullptr);
  const std::string file = dir + "/shot.png"s;  // weston names it by the time
  made_.insert(made_.end(), {file, dir});  // the directory goes after what is in it
  ASSERT_EQ(system(("cd "s + dir + " && weston-screenshooter && mv *.png shot.png").c_str()), 0);
  g_autoptr(GdkPixbuf) shot = gdk_pixbuf_new_from_file(file.c_str(), nullptr);
  ASSERT_NE(shot, nullptr);

  // The splash: the one box of magenta and blue pixels on the output (the
  // whole screenshot), as big as the output's scale makes it.
  const int width = gdk_pixbuf_get_width(shot), height = gdk_pixbuf_get_height(shot);
  auto pixel = [&](int x, int y) {
    return gdk_pixbuf_get_pixels(shot) + y * gdk_pixbuf_get_rowstride(shot) + x * gdk_pixbuf_get_n_channels(shot);
  };
  int left = width, top = height, right = -1, bottom = -1, count = 0;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      if (pixel(x, y)[1] < 32 && pixel(x, y)[2] > 224)
        left = std::min(left, x), right = std::max(right, x), ++count, top = std::min(top, y), bottom = y;
  ASSERT_EQ(std::make_tuple(right - left + 1, bottom - top + 1, count),
            std::make_tuple(400 * scale, 200 * scale, 400 * scale * 200 * scale));
  int blurred = 0;
  for (int x = left; x <= right; ++x)
    blurred += (pixel(x, top + 7)[0] > 128) != ((x - left) % 2 == 0);
  EXPECT_EQ(blurred, 0) << "columns of the splash that are not its own pixels";

  // Where the rest is, from the splash's place in the window.
  int x0 = 0, y0 = 0, pieces = 0;
  gtk_widget_translate_coordinates(GTK_WIDGET(w_.splash), window, 0, 0, &x0, &y0);
  eachWidget(window, [&](GtkWidget* widget) {
    int x = 0, y = 0;
    if (widget == window || !gtk_widget_get_mapped(widget)) return;
    gtk_widget_translate_coordinates(widget, window, 0, 0, &x, &y);
    x += left / scale - x0, y += top / scale - y0, ++pieces;
    EXPECT_TRUE(x >= 0 && y >= 0 && x + size(widget).first <= width / scale &&
                y + size(widget).second <= height / scale)
        << G_OBJECT_TYPE_NAME(widget) << " at " << x << "," << y << ", off the output";
  });
  EXPECT_GT(pieces, 10);
  EXPECT_TRUE(gtk_widget_get_mapped(GTK_WIDGET(w_.tryAgain)));
}

}  // namespace
