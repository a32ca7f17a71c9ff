// The GTK download window, checked through its real widgets on a real
// (virtual) display.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <memory>
#include <string>

#include "gtk_test_support.h"
#include "platform/gtk/loop-gtk.h"
#include "platform/gtk/window-gtk.h"

namespace {

const char kFailure[] =
    "Error during the download process.\nSee your system log for more information.";

class GtkWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveDisplay()) GTEST_SKIP() << "no display for GTK (set DISPLAY or run under xvfb-run)";
    window_ = std::make_unique<GtkDownloadWindow>();
    window_->setCloseHandler([this] {
      ++closes_;
      loop_.stop();
    });
    window_->present();
  }

  GtkWindowParts parts() const { return window_->parts(); }
  double fraction() const { return gtk_progress_bar_get_fraction(parts().progress); }
  std::string status() const { return gtk_label_get_text(parts().status); }
  bool statusIsRed() const {
    GdkRGBA color = textColor(GTK_WIDGET(parts().status));
    return color.red > 0.6 && color.green < 0.3 && color.blue < 0.3;
  }
  int statusLines() const { return pango_layout_get_line_count(gtk_label_get_layout(parts().status)); }
  int windowWidth() const { return gtk_widget_get_allocated_width(GTK_WIDGET(parts().window)); }

  void showFailure() {
    window_->setStatusSingleLine(false);
    window_->setStatus(kFailure);
    window_->setStatusRed(true);
    window_->setProgressIndeterminate(false);
    window_->setProgressValue(window_->progressMax());
    window_->setProgressAnimating(false);
  }

  GtkLoop loop_;  // declared first: the window goes before the loop
  std::unique_ptr<GtkDownloadWindow> window_;
  int closes_ = 0;
};

TEST_F(GtkWindowTest, StartsAsAFinishedLookingWindow) {
  GtkWindowParts w = parts();
  EXPECT_STREQ(gtk_window_get_title(w.window), "Installer");
  EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(w.window)));
  EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(w.splash)));
  EXPECT_TRUE(gtk_widget_get_sensitive(GTK_WIDGET(w.cancel)));
  EXPECT_TRUE(gtk_widget_has_default(GTK_WIDGET(w.cancel)));
  EXPECT_STREQ(gtk_button_get_label(w.cancel), "_Cancel");
  EXPECT_EQ(gtk_container_get_border_width(GTK_CONTAINER(w.window)), 18u);
  EXPECT_DOUBLE_EQ(fraction(), 0.0);
  EXPECT_FALSE(window_->progress().pulsing());
  EXPECT_FALSE(statusIsRed());
}

TEST_F(GtkWindowTest, ShowsEachPercentOfADownload) {
  window_->setProgressMax(1000.0);
  for (int percent = 0; percent <= 100; percent += 25) {
    std::string text = "Downloading  " + std::to_string(percent) + "%";
    window_->setStatus(text);
    window_->setProgressValue(percent * 10.0);
    runFor(loop_, 0.05);
    EXPECT_EQ(status(), text);
    EXPECT_NEAR(fraction(), percent / 100.0, 1e-9);
    EXPECT_EQ(statusLines(), 1);
  }
  EXPECT_EQ(closes_, 0);
}

TEST_F(GtkWindowTest, ClampsTheFraction) {
  window_->setProgressMax(10.0);
  window_->setProgressValue(25.0);
  EXPECT_DOUBLE_EQ(fraction(), 1.0);
  window_->setProgressValue(-3.0);
  EXPECT_DOUBLE_EQ(fraction(), 0.0);
  window_->setProgressMax(0.0);
  window_->setProgressValue(5.0);
  EXPECT_DOUBLE_EQ(fraction(), 0.0);
}

TEST_F(GtkWindowTest, RedrawsOnlyVisibleProgressChanges) {
  int updates = 0;
  g_signal_connect_swapped(parts().progress, "notify::fraction",
                           G_CALLBACK(+[](int* count) { ++*count; }), &updates);
  window_->setProgressMax(1e6);
  for (int chunk = 0; chunk < 100000; ++chunk) window_->incrementProgress(1.0);
  EXPECT_NEAR(fraction(), 0.1, 0.001);
  EXPECT_LE(updates, 101);
  EXPECT_GE(updates, 90);
}

TEST_F(GtkWindowTest, LongStatusStaysOnOneLineWithoutWideningTheWindow) {
  window_->setStatus("Downloading  7%");
  runFor(loop_, 0.1);
  int width = windowWidth();
  window_->setStatus(std::string(300, 'x') + " Downloading  8%");
  runFor(loop_, 0.1);
  EXPECT_EQ(windowWidth(), width);
  EXPECT_EQ(statusLines(), 1);
  EXPECT_TRUE(pango_layout_is_ellipsized(gtk_label_get_layout(parts().status)));
}

TEST_F(GtkWindowTest, PulsesWhileIndeterminateAndAnimating) {
  window_->setProgressIndeterminate(true);
  window_->setProgressAnimating(true);
  EXPECT_TRUE(window_->progress().pulsing());
  unsigned before = window_->progress().pulses();
  runFor(loop_, 0.35);
  EXPECT_GE(window_->progress().pulses(), before + 2);
  gdouble step = 0;
  g_object_get(parts().progress, "pulse-step", &step, nullptr);
  EXPECT_GT(step, 0.0);

  window_->setProgressAnimating(false);
  EXPECT_FALSE(window_->progress().pulsing());
  unsigned stopped = window_->progress().pulses();
  runFor(loop_, 0.25);
  EXPECT_EQ(window_->progress().pulses(), stopped);
}

TEST_F(GtkWindowTest, DeterminateBarDoesNotPulse) {
  window_->setProgressAnimating(true);
  EXPECT_FALSE(window_->progress().pulsing());
}

TEST_F(GtkWindowTest, FailureIsRedOnTwoLinesWithAFullStillBar) {
  window_->setProgressMax(5000.0);
  window_->setProgressIndeterminate(true);
  window_->setProgressAnimating(true);
  showFailure();
  runFor(loop_, 0.1);
  EXPECT_EQ(status(), kFailure);
  EXPECT_TRUE(statusIsRed());
  EXPECT_TRUE(gtk_style_context_has_class(gtk_widget_get_style_context(GTK_WIDGET(parts().status)),
                                          StatusLabel::kFailedClass));
  EXPECT_EQ(statusLines(), 2);
  EXPECT_FALSE(pango_layout_is_ellipsized(gtk_label_get_layout(parts().status)));
  EXPECT_DOUBLE_EQ(fraction(), 1.0);
  EXPECT_FALSE(window_->progress().pulsing());
  EXPECT_EQ(closes_, 0);
}

TEST_F(GtkWindowTest, LineBreakShowsTwoLinesEvenInSingleLineMode) {
  window_->setStatusSingleLine(true);
  window_->setStatus(kFailure);
  runFor(loop_, 0.1);
  EXPECT_EQ(statusLines(), 2);
}

TEST_F(GtkWindowTest, RedGoesBackToTheNormalColour) {
  window_->setStatusRed(true);
  EXPECT_TRUE(statusIsRed());
  window_->setStatusRed(false);
  EXPECT_FALSE(statusIsRed());
}

TEST_F(GtkWindowTest, InitializingDisablesCancelAndPulses) {
  window_->setStatus("Initializing the installer");
  window_->setCancelEnabled(false);
  window_->setProgressIndeterminate(true);
  window_->setProgressAnimating(true);
  runFor(loop_, 0.25);
  EXPECT_EQ(status(), "Initializing the installer");
  EXPECT_FALSE(gtk_widget_get_sensitive(GTK_WIDGET(parts().cancel)));
  EXPECT_TRUE(window_->progress().pulsing());
  EXPECT_GE(window_->progress().pulses(), 2u);

  pressKey(parts().window, GDK_KEY_Return);
  runFor(loop_, 0.4);
  EXPECT_EQ(closes_, 0);
  EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(parts().window)));
}

TEST_F(GtkWindowTest, SplashIsScaledToFitKeepingItsAspect) {
  std::string png = writeTestPng(800, 400);
  window_->setSplash(png, 400, 400);
  removeTestPng(png);
  GdkPixbuf* pixbuf = gtk_image_get_pixbuf(parts().splash);
  ASSERT_NE(pixbuf, nullptr);
  EXPECT_EQ(gdk_pixbuf_get_width(pixbuf), 400);
  EXPECT_EQ(gdk_pixbuf_get_height(pixbuf), 200);
  EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(parts().splash)));
  EXPECT_FALSE(gtk_widget_get_can_focus(GTK_WIDGET(parts().splash)));
}

TEST_F(GtkWindowTest, StaysCentredWhenTheSplashArrives) {
  std::string png = writeTestPng(800, 500);
  window_->setSplash(png, 400, 400);
  removeTestPng(png);
  window_->displayIfNeeded();
  runFor(loop_, 0.3);
  GdkWindow* surface = gtk_widget_get_window(GTK_WIDGET(parts().window));
  GdkRectangle screen;
  gdk_monitor_get_geometry(
      gdk_display_get_monitor_at_window(gdk_window_get_display(surface), surface), &screen);
  int x = 0, y = 0;
  gdk_window_get_origin(surface, &x, &y);
  EXPECT_NEAR(x + gdk_window_get_width(surface) / 2, screen.x + screen.width / 2, 2);
  EXPECT_NEAR(y + gdk_window_get_height(surface) / 2, screen.y + screen.height / 2, 2);
}

TEST_F(GtkWindowTest, RepeatedStatusDoesNotTouchTheLabel) {
  int updates = 0;
  g_signal_connect_swapped(parts().status, "notify::label",
                           G_CALLBACK(+[](int* count) { ++*count; }), &updates);
  for (int chunk = 0; chunk < 1000; ++chunk) window_->setStatus("Downloading  5%");
  EXPECT_EQ(updates, 1);
}

TEST_F(GtkWindowTest, MissingSplashShowsNoImageAndChangesNothingElse) {
  window_->setStatus("Downloading  3%");
  runFor(loop_, 0.1);
  int width = windowWidth();
  window_->setSplash("/nonexistent/splash.png", 400, 400);
  runFor(loop_, 0.1);
  EXPECT_EQ(gtk_image_get_storage_type(parts().splash), GTK_IMAGE_EMPTY);
  EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(parts().splash)));
  EXPECT_EQ(status(), "Downloading  3%");
  EXPECT_EQ(windowWidth(), width);
  EXPECT_EQ(closes_, 0);
}

TEST_F(GtkWindowTest, ReturnPressesCancel) {
  pressKey(parts().window, GDK_KEY_Return);
  EXPECT_TRUE(runUntilStopped(loop_));
  EXPECT_EQ(closes_, 1);
  EXPECT_TRUE(window_->closed());
  EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(parts().window)));
}

TEST_F(GtkWindowTest, KeypadEnterPressesCancel) {
  pressKey(parts().window, GDK_KEY_KP_Enter);
  EXPECT_TRUE(runUntilStopped(loop_));
  EXPECT_EQ(closes_, 1);
}

TEST_F(GtkWindowTest, ActivatingTheDefaultPressesCancel) {
  EXPECT_TRUE(gtk_window_activate_default(parts().window));
  EXPECT_TRUE(runUntilStopped(loop_));
  EXPECT_EQ(closes_, 1);
}

TEST_F(GtkWindowTest, CancelButtonClosesOnce) {
  gtk_button_clicked(parts().cancel);
  gtk_button_clicked(parts().cancel);
  EXPECT_TRUE(runUntilStopped(loop_, 1.0));
  EXPECT_EQ(closes_, 1);
  EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(parts().window)));
}

TEST_F(GtkWindowTest, CloseButtonClosesOnceAndEndsTheLoop) {
  gtk_window_close(parts().window);
  EXPECT_TRUE(runUntilStopped(loop_));
  EXPECT_EQ(closes_, 1);
  EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(parts().window)));
  window_->close();
  EXPECT_EQ(closes_, 1);
}

TEST_F(GtkWindowTest, CloseRunsTheHandlerOnceAndStopsPulsing) {
  window_->setProgressIndeterminate(true);
  window_->setProgressAnimating(true);
  window_->close();
  window_->close();
  EXPECT_EQ(closes_, 1);
  EXPECT_FALSE(window_->progress().pulsing());
  EXPECT_TRUE(runUntilStopped(loop_, 1.0));  // the handler's stop() is kept
}

// Reads one pixel of the window as the X server has it.
guint32 pixelAt(GtkWidget* toplevel, int x, int y) {
  GdkPixbuf* pixbuf = gdk_pixbuf_get_from_window(gtk_widget_get_window(toplevel), x, y, 1, 1);
  const guchar* rgb = gdk_pixbuf_read_pixels(pixbuf);
  guint32 value = (rgb[0] << 16) | (rgb[1] << 8) | rgb[2];
  g_object_unref(pixbuf);
  return value;
}

TEST_F(GtkWindowTest, DisplayIfNeededPaintsWithoutTheLoop) {
  window_->setProgressMax(100.0);
  runFor(loop_, 0.2);
  GtkWidget* bar = GTK_WIDGET(parts().progress);
  int x = 0, y = 0;
  gtk_widget_translate_coordinates(bar, GTK_WIDGET(parts().window),
                                   gtk_widget_get_allocated_width(bar) / 2,
                                   gtk_widget_get_allocated_height(bar) / 2, &x, &y);
  guint32 empty = pixelAt(GTK_WIDGET(parts().window), x, y);
  window_->setProgressValue(100.0);
  window_->displayIfNeeded();
  EXPECT_NE(pixelAt(GTK_WIDGET(parts().window), x, y), empty);
}

}  // namespace
