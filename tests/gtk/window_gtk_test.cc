// The GTK download window, checked through its real widgets on a real
// (virtual) display, driven by the loop on GLib's main context.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

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

class GtkWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // GDK's key simulation sends core X events, which it reads only on
    // the core devices, not through XInput 2.
    static const bool display =
        g_setenv("GDK_CORE_DEVICE_EVENTS", "1", TRUE) && gtk_init_check(nullptr, nullptr);
    if (!display) GTEST_SKIP() << "no display for GTK (set DISPLAY or run under xvfb-run)";
    window_ = std::make_unique<GtkDownloadWindow>("Installer", "Downloading the installer");  // replaces an earlier one
    closes_ = 0;
    window_->setCloseHandler([this] { ++closes_, loop_.stop(); });
    window_->present();
    w_ = window_->parts();
  }

  // Through the X server and the toolkit's key dispatch, as a real press
  // comes (to any X window of the toplevel: the key goes to its focus).
  bool pressReturn() { return gtk_test_widget_send_key(GTK_WIDGET(w_.cancel), GDK_KEY_Return, {}); }
  PangoLayout* statusLayout() const { return gtk_label_get_layout(w_.status); }

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
      EXPECT_EQ(pango_layout_get_line_count(statusLayout()), 1);
    }
  }
  EXPECT_LE(fractionUpdates, 1001);
  EXPECT_LE(labelUpdates, 101);
}

// Before there is anything to count, the bar pulses (only while it is
// indeterminate and animating) and Cancel is off, Return included.
TEST_F(GtkWindowTest, InitializingPulsesWithCancelOff) {
  window_->setProgressAnimating(true);
  EXPECT_FALSE(window_->progress().pulsing());  // a determinate bar does not pulse
  window_->setStatus("Initializing the installer");
  window_->setCancelEnabled(false);
  window_->setProgressIndeterminate(true);
  window_->setProgressAnimating(true);
  unsigned before = window_->progress().pulses();
  ASSERT_TRUE(pressReturn());
  runFor(loop_, 0.35);
  EXPECT_FALSE(gtk_widget_get_sensitive(GTK_WIDGET(w_.cancel)));
  EXPECT_GE(window_->progress().pulses(), before + 2);
  EXPECT_EQ(closes_, 0);
  window_->setProgressAnimating(false);
  unsigned stopped = window_->progress().pulses();
  runFor(loop_, 0.25);
  EXPECT_EQ(window_->progress().pulses(), stopped);
}

// A failure is red, on two whole lines over a full, still bar, and stays
// for the user to read. The figures line under the status text hides then
// but keeps its room.
TEST_F(GtkWindowTest, FailureIsRedOnTwoLinesOverAFullStillBarWithoutFigures) {
  auto detailText = [](const TransferFigures& f) { return std::to_string(f.received) + " B"; };
  window_->setFiguresWording({nullptr, detailText, nullptr});
  GtkWidget* detail = GTK_WIDGET(w_.detail);
  EXPECT_FALSE(gtk_widget_get_child_visible(detail));
  window_->setStatus("Downloading  42%");
  window_->setTransferFigures({420, 1000, 50, 11.6});
  runFor(loop_, 0.05);
  EXPECT_TRUE(gtk_widget_get_child_visible(detail));
  EXPECT_STREQ(gtk_label_get_text(w_.detail), "420 B");
  EXPECT_STREQ(gtk_label_get_text(w_.status), "Downloading  42%");
  const int height = gtk_widget_get_allocated_height(GTK_WIDGET(w_.window));
  window_->setProgressMax(5000.0);
  window_->setProgressIndeterminate(true);
  window_->setProgressAnimating(true);
  const char failure[] =
      "Error during the download process.\nSee your system log for more information.";
  window_->setProgressAnimating(false);  // in the order the download ends
  window_->setProgressIndeterminate(false);
  window_->setProgressValue(window_->progressMax());
  window_->setStatus(failure);
  window_->setStatusRed(true);
  window_->setTransferFigures(TransferFigures());
  runFor(loop_, 0.1);
  EXPECT_STREQ(gtk_label_get_text(w_.status), failure);
  GtkStyleContext* style = gtk_widget_get_style_context(GTK_WIDGET(w_.status));
  GdkRGBA color;
  gtk_style_context_get_color(style, gtk_style_context_get_state(style), &color);
  EXPECT_TRUE(color.red > 0.6 && color.green < 0.3 && color.blue < 0.3);
  EXPECT_EQ(pango_layout_get_line_count(statusLayout()), 2);
  EXPECT_FALSE(pango_layout_is_ellipsized(statusLayout()));
  EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(w_.progress), 1.0);
  EXPECT_FALSE(window_->progress().pulsing());
  EXPECT_EQ(closes_, 0);
  EXPECT_FALSE(gtk_widget_get_child_visible(detail));
  // The window keeps its size: the failure text has its room, and so has
  // the figures line while hidden.
  EXPECT_EQ(gtk_widget_get_allocated_height(GTK_WIDGET(w_.window)), height);
}

TEST_F(GtkWindowTest, SplashIsScaledToFitKeepingItsAspectOrLeftOut) {
  const std::string png = ::testing::TempDir() + "splash-" + std::to_string(getpid()) + ".png";
  g_autoptr(GdkPixbuf) image = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 800, 400);
  gdk_pixbuf_fill(image, 0x1d4e89ff);
  ASSERT_TRUE(gdk_pixbuf_save(image, png.c_str(), "png", nullptr, nullptr));
  window_->setSplash(png, 400, 400);
  unlink(png.c_str());
  GdkPixbuf* shown = gtk_image_get_pixbuf(w_.splash);
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(gdk_pixbuf_get_width(shown), 400);
  EXPECT_EQ(gdk_pixbuf_get_height(shown), 200);
  EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(w_.splash)));
  window_->setSplash("/nonexistent/splash.png", 400, 400);
  EXPECT_EQ(gtk_image_get_storage_type(w_.splash), GTK_IMAGE_EMPTY);
  EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(w_.splash)));
}

// A product's window carries its launcher's id as its class (the desktop
// matches the two by it) and the bundle's picture as its icon; a picture
// that cannot be read leaves the stock icon.
TEST_F(GtkWindowTest, WindowCarriesTheProductsIdAndIcon) {
  const std::string png = ::testing::TempDir() + "icon-" + std::to_string(getpid()) + ".png";
  g_autoptr(GdkPixbuf) image = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 48, 48);
  gdk_pixbuf_fill(image, 0x1d4e89ff);
  ASSERT_TRUE(gdk_pixbuf_save(image, png.c_str(), "png", nullptr, nullptr));
  setApplicationIdentity("odd-name", "Odd 'Name'");
  GtkDownloadWindow product("Odd 'Name' Installer", "Downloading the installer");
  product.setIconFile(png);
  unlink(png.c_str());
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
TEST_F(GtkWindowTest, ReturnCancelAndTheCloseButtonCloseOnce) {
  const std::pair<const char*, std::function<void()>> ways[] = {
      {"Return", [&] { ASSERT_TRUE(pressReturn()); }},
      {"Cancel twice", [&] { gtk_button_clicked(w_.cancel), gtk_button_clicked(w_.cancel); }},
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

}  // namespace
