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

using namespace std::string_literals;

// Runs |loop| for |seconds|, the toolkit drawing and animating meanwhile,
// or until something else stops it: then true.
bool runFor(GtkLoop& loop, double seconds) {
  bool timedOut = false;
  Loop::Handle timer = loop.addTimer(seconds, [&] { timedOut = true, loop.stop(); });
  loop.run(), loop.cancelTimer(timer);
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
  return gtk_label_get_text(label) + " /"s + std::to_string(pango_layout_get_line_count(layout)) +
         (pango_layout_is_ellipsized(layout) ? " cut" : "");
}

// Each test starts with a window presented on the display it needs.
class GtkWindowTest : public ::testing::Test {
 protected:
  // Key presses need X11.
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

  // A PNG, removed after the test, of one-pixel columns of magenta and blue.
  std::string png(const char* name, int width, int height) {
    g_autoptr(GdkPixbuf) image = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
    guchar* pixels = gdk_pixbuf_get_pixels(image);
    const int stride = gdk_pixbuf_get_rowstride(image);
    for (int y = 0, x = 0; y < height; x = (x + 1) % width, y += x == 0)
      memcpy(pixels + y * stride + x * 3, x % 2 ? "\0\0\xff" : "\xff\0\xff", 3);
    made_.push_back(::testing::TempDir() + name + std::to_string(getpid()) + ".png");
    EXPECT_TRUE(gdk_pixbuf_save(image, made_.back().c_str(), "png", nullptr, nullptr));
    return made_.back();
  }

  // Which of the figures, the failure's parts and the buttons (by the names
  // a screen reader reads) are on screen.
  std::string onScreen() const {
    std::string shown;
    for (auto [name, part] : {std::pair<std::string, gpointer>{"figures", w_.detail},
                              {"bar", w_.progress}, {"failure", w_.failure},
                              {"advice", w_.advice}, {"more", w_.more},
                              {atkName(w_.tryAgain), w_.tryAgain}, {atkName(w_.cancel), w_.cancel}})
      if (gtk_widget_get_mapped(GTK_WIDGET(part))) shown += (shown.empty() ? "" : " ") + name;
    return shown;
  }

  // Through the X server and the toolkit's key dispatch, as a real press
  // comes (to any X window of the toplevel: the key goes to its focus).
  bool press(guint key) { return gtk_test_widget_send_key(GTK_WIDGET(w_.cancel), key, {}); }
  static bool visible(gpointer widget) { return gtk_widget_get_visible(GTK_WIDGET(widget)); }
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
  // A wait with these words pulses the bar (twice at least) and shows them;
  // nothing closes the window.
  auto waits = [&](const std::string& status) {
    window_->setStatus(status); const unsigned pulses = window_->progress().pulses();
    EXPECT_FALSE(runFor(loop_, 0.35)) << status;
    EXPECT_EQ(std::make_tuple(seen(w_.status), std::min(window_->progress().pulses() - pulses, 2u),
                              size(w_.window)), std::make_tuple(status + " /1", 2u, first));
  };
  window_->setProgressAnimating(true);
  EXPECT_FALSE(window_->progress().pulsing());  // a determinate bar does not pulse
  window_->setProgressIndeterminate(true), waits("Connecting to downloads.example.com\u2026");
  window_->setProgressAnimating(false);  // in the order the front end ends a wait
  EXPECT_FALSE(window_->progress().pulsing());
  window_->setProgressIndeterminate(false);

  // Half the bar, chunk by chunk, so that the failure below fills it: the
  // status text changes once a percent, the bar once a thousandth (give or
  // take one, as the fractions round).
  fractionUpdates = labelUpdates = 0, window_->setProgressMax(2e5);
  for (int chunk = 1; chunk <= 100000; ++chunk)
    window_->setStatus("Downloading " + std::to_string(chunk / 2000) + "%"),
        window_->incrementProgress(1.0);
  runFor(loop_, 0.05);
  EXPECT_EQ(std::make_tuple(seen(w_.status), labelUpdates, std::abs(fractionUpdates - 500) <= 1),
            std::make_tuple("Downloading 50% /1"s, 51, true)) << fractionUpdates << " bar updates";
  window_->setTransferFigures({10, 100, 0, -1, true});
  EXPECT_EQ(seen(w_.detail) + ": " + onScreen(), "no data for a while /1: figures bar Cancel");

  // Return does not cancel a download.
  EXPECT_TRUE(press(GDK_KEY_Return) && !runFor(loop_, 0.05));

  const std::string cause = "Cannot reach example.com.", general = "Error during the download "
                            "process.\nSee your system log for more information.";
  window_->setStatusSingleLine(false), window_->setStatus(cause);
  window_->setStatusRed(true);  // its own style must not cut the lines short
  window_->setFailureDetail("Check the network.", general), window_->setProgressShown(false);
  window_->setControls(WindowControls::kCloseOrTryAgain), runFor(loop_, 0.1);
  // The alert reads the labels' own texts, so this is what they show too.
  EXPECT_EQ(atkName(w_.failure), cause + "\nCheck the network.\n" + general);
  EXPECT_EQ(std::make_tuple(seen(w_.status), onScreen(), atk_object_get_role(alert), announced,
                            size(w_.window)),
            std::make_tuple(cause + " /1", "failure advice more Try Again Close"s,
                            ATK_ROLE_ALERT, 1, first));
  // Texts longer than their room are cut short rather than grow the window
  // or push the advice out; a new failure is announced anew.
  const std::string longer = "Cannot write " + std::string(300, 'x') + ".";
  window_->setStatus(longer), window_->setFailureDetail(longer, longer), runFor(loop_, 0.1);
  const std::string cut = longer + " /" + std::to_string(GtkDownloadWindow::kFailureLines) + " cut";
  EXPECT_EQ(std::make_tuple(seen(w_.status), seen(w_.advice), seen(w_.more), announced,
                            size(w_.window)), std::make_tuple(cut, cut, cut, 2, first));

  // Return presses Try Again where it is offered.
  ASSERT_TRUE(press(GDK_KEY_Return));
  runFor(loop_, 0.1);
  window_->setFailureDetail("", ""), window_->setProgressShown(true);  // as the front end goes on
  EXPECT_EQ(std::make_pair(triedAgain, onScreen()), std::make_pair(1, "figures bar Cancel"s));
  window_->setProgressIndeterminate(true), window_->setProgressAnimating(true);
  window_->setCancelEnabled(false);
  ASSERT_TRUE(press(GDK_KEY_Return) && press(GDK_KEY_Escape));
  waits("Initializing the installer");
  window_->setControls(WindowControls::kClose);
  EXPECT_EQ(onScreen(), "figures bar Close");

  // Its red is the theme's error colour, made readable (4.5:1 at least,
  // WCAG 2's contrast ratio) on the window's background in Adwaita's light
  // and dark variants.
  auto luminance = [](const GdkRGBA& c) {  // with the 0.05 the ratio adds to each
    auto lin = [](double v) { return v <= 0.04045 ? v / 12.92 : pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * lin(c.red) + 0.7152 * lin(c.green) + 0.0722 * lin(c.blue) + 0.05;
  };
  // A part's style property (a colour: freed by the caller) in its state.
  auto style = [](gpointer part, const char* property, auto* value) {
    GtkStyleContext* style = gtk_widget_get_style_context(GTK_WIDGET(part));
    gtk_style_context_get(style, gtk_style_context_get_state(style), property, value, nullptr);
  };
  for (bool dark : {false, true}) {
    g_object_set(gtk_settings_get_default(), "gtk-theme-name", "Adwaita",
                 "gtk-application-prefer-dark-theme", dark, nullptr);
    runFor(loop_, 0.05);
    g_autoptr(GdkRGBA) background = nullptr, red = nullptr, dim = nullptr;
    double opacity = 1;
    style(w_.window, "background-color", &background), style(w_.status, "color", &red);
    style(w_.detail, "color", &dim), style(w_.detail, "opacity", &opacity);
    // The figures as drawn: their colour at their opacity over the background.
    const double shown = opacity * dim->alpha, back = luminance(*background);
    const GdkRGBA drawn = {background->red + (dim->red - background->red) * shown,
                           background->green + (dim->green - background->green) * shown,
                           background->blue + (dim->blue - background->blue) * shown, 1};
    const double contrast = back / luminance(*red),
                 dimContrast = std::max(back / luminance(drawn), luminance(drawn) / back);
    // The variant did change (white on it stands out, 2:1 or more, only
    // when dark); readable on it; still red; the figures readable, and
    // dimmer than the theme's text (under 9:1 on Adwaita's either way).
    EXPECT_EQ(std::make_tuple(1.05 / back < 2.0, std::max(contrast, 1 / contrast) >= 4.5,
                              red->red - std::max(red->green, red->blue) > 0.3, dimContrast >= 4.5,
                              dimContrast < 9),
              std::make_tuple(!dark, true, true, true, true)) << dark << " " << contrast << " "
                                                             << dimContrast;
  }
  g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", FALSE, nullptr);
}

// A product's window. A screen reader finds a dialog named by its title,
// a progress bar with that name described by the status text and the
// splash named after the product (the title until there is one). A splash
// that cannot be read is left out (its size and sharpness: the Wayland
// test). The window the module opens appears only at the first display (or
// when the loop runs), with its splash, at its final size, and has the
// bundle's picture as its icon.
TEST_F(GtkWindowTest, AProductsWindowIsNamedWithItsSplashAndIcon) {
  auto accessible = [](gpointer widget) { return gtk_widget_get_accessible(GTK_WIDGET(widget)); };
  EXPECT_EQ(std::make_tuple(atk_object_get_role(accessible(w_.window)), atkName(w_.window),
                            atkName(w_.progress), atkName(w_.splash)),
            std::make_tuple(ATK_ROLE_DIALOG, "Installer"s, "Installer"s, "Installer"s));
  g_autoptr(AtkRelationSet) relations = atk_object_ref_relation_set(accessible(w_.progress));
  EXPECT_TRUE(atk_relation_set_contains_target(relations, ATK_RELATION_DESCRIBED_BY,
                                               accessible(w_.status)));
  window_->setProductName("Odd 'Name'");
  EXPECT_EQ(atkName(w_.splash), "Odd 'Name'");

  // Hidden until the loop runs (at the first display: the Wayland test),
  // then drawn first at its final height, splash and padding included.
  open(false), window_->setSplash(png("splash-", 800, 400), 400, 400);
  const bool early = visible(w_.window);
  runFor(loop_, 0.1);
  window_->setIconFile(png("icon-", 48, 48));  // an icon's width is -1 when there is none
  EXPECT_EQ(std::make_tuple(early, visible(w_.window), size(w_.window).second,
                            firstHeight_ > 200 + 2 * GtkDownloadWindow::kPadding,
                            gdk_pixbuf_get_width(gtk_window_get_icon(w_.window))),
            std::make_tuple(false, true, firstHeight_, true, 48));
  // A splash that cannot be read hides the one shown (counted in the height above).
  window_->setSplash("/nonexistent/splash.png", 400, 400);
  EXPECT_FALSE(visible(w_.splash));
}

// Every way of closing runs the close handler once and the loop ends; a
// cancel is one while Cancel is shown (Escape, the button, the window's
// close button), not after a failure, where Return presses Close (with no
// Try Again beside it). Return never cancels: DownloadWalksItsStates.
TEST_F(GtkWindowTest, EscapeCancelCloseAndTheCloseButtonCloseOnce) {
  const std::tuple<const char*, std::function<void()>, bool> ways[] = {
      {"Escape", [&] { EXPECT_TRUE(press(GDK_KEY_Escape)); }, true},
      {"the button twice", [&] { gtk_button_clicked(w_.cancel), gtk_button_clicked(w_.cancel); },
       true}, {"the close button", [&] { gtk_window_close(w_.window); }, true},
      {"Return on Close", [&] { window_->setControls(WindowControls::kClose);
                                EXPECT_TRUE(press(GDK_KEY_Return)); }, false}};
  for (const auto& [way, close, cancelled] : ways) {
    open(), close();
    // It ends (or the test fails rather than hang), once, the window gone.
    EXPECT_TRUE(runFor(loop_, 2.0) && closes_ == 1 && !visible(w_.window)) << way << " " << closes_;
    EXPECT_EQ(window_->cancelledByUser(), cancelled) << way;
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
  window_->setSplash(png("stripes-", 400 * scale, 200 * scale), 400, 400);
  window_->setControls(WindowControls::kCloseOrTryAgain), window_->displayIfNeeded();
  // Drawn, and at the output's scale once it knows which output it is on.
  auto ready = [&] { return firstHeight_ && gtk_widget_get_scale_factor(window) == scale; };
  for (int i = 0; i < 200 && !ready(); ++i) runFor(loop_, 0.02);
  runFor(loop_, 0.1);
  gdk_display_sync(display);  // the compositor has the last frame
  const std::string dir = ::testing::TempDir() + "shot-" + std::to_string(getpid());
  made_.insert(made_.end(), {dir + "/shot.png", dir});  // the directory goes after what is in it
  const std::string shoot = "mkdir " + dir + " && cd " + dir + " && weston-screenshooter";
  ASSERT_EQ(system((shoot + " && mv *.png shot.png").c_str()), 0);  // it names it by the time
  g_autoptr(GdkPixbuf) shot = gdk_pixbuf_new_from_file((dir + "/shot.png").c_str(), nullptr);
  ASSERT_NE(shot, nullptr);

  // The splash: the one box of magenta and blue pixels on the output (the
  // whole screenshot), as big as the output's scale makes it, each pixel in
  // the colour of its column (|odd|: those magenta in an odd column).
  const int width = gdk_pixbuf_get_width(shot), height = gdk_pixbuf_get_height(shot);
  const int stride = gdk_pixbuf_get_rowstride(shot), channels = gdk_pixbuf_get_n_channels(shot);
  int left = width, top = height, right = -1, bottom = -1, count = 0, odd = 0;
  for (int y = 0, x = 0; y < height; x = (x + 1) % width, y += x == 0) {
    const guchar* pixel = gdk_pixbuf_get_pixels(shot) + y * stride + x * channels;
    if (pixel[1] >= 32 || pixel[2] <= 224) continue;
    left = std::min(left, x), right = std::max(right, x), top = std::min(top, y), bottom = y;
    ++count, odd += (pixel[0] > 128) == (x % 2 == 1);
  }
  ASSERT_EQ(std::make_tuple(right - left + 1, bottom - top + 1, count, count ? odd % count : -1),
            std::make_tuple(400 * scale, 200 * scale, 400 * scale * 200 * scale, 0))
      << odd << " pixels magenta in an odd column";

  // Where the rest is, from the splash's place in the window: the window's
  // two parts, the toolkit's title bar and the content that holds the others
  // (Try Again's row last), its shadow aside.
  std::vector<GtkWidget*> parts;
  gtk_container_forall(GTK_CONTAINER(window), [](GtkWidget* part, gpointer all) {
    static_cast<std::vector<GtkWidget*>*>(all)->push_back(part); }, &parts);
  for (GtkWidget* part : parts) {
    int x = 0, y = 0;
    gtk_widget_translate_coordinates(part, GTK_WIDGET(w_.splash), 0, 0, &x, &y);
    x += left / scale, y += top / scale;
    EXPECT_TRUE(x >= 0 && y >= 0 && x + size(part).first <= width / scale &&
                y + size(part).second <= height / scale)
        << G_OBJECT_TYPE_NAME(part) << " at " << x << "," << y << ", off the output";
  }
  // Its first frame was already the whole of it.
  EXPECT_EQ(std::make_tuple(parts.size(), bool(gtk_widget_get_mapped(GTK_WIDGET(w_.tryAgain))),
                            size(window).second), std::make_tuple(size_t(2), true, firstHeight_));
}

}  // namespace
