// The GTK download window, checked through its real widgets on a real
// (virtual) display.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <string>

#include "gtk_test_support.h"
#include "platform/display/gtk/loop-gtk.h"
#include "platform/display/gtk/window-gtk.h"

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
  bool ellipsized() const { return pango_layout_is_ellipsized(gtk_label_get_layout(parts().status)); }
  bool pulsing() const { return window_->progress().pulsing(); }
  unsigned pulses() const { return window_->progress().pulses(); }
  // Counts |object|'s |signal| into |count| from now on.
  static void count(gpointer object, const char* signal, int* count) {
    g_signal_connect_swapped(object, signal, G_CALLBACK(+[](int* c) { ++*c; }), count);
  }
  void recreateWindow() {
    window_.reset();
    closes_ = 0;
    SetUp();
  }

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

// A fast download updates the state per chunk; the widgets change only
// when what a person sees changes.
TEST_F(GtkWindowTest, ShowsEachPercentAndRedrawsOnlyVisibleChanges) {
  int fractionUpdates = 0, labelUpdates = 0;
  count(parts().progress, "notify::fraction", &fractionUpdates);
  count(parts().status, "notify::label", &labelUpdates);
  window_->setProgressMax(1e5);
  for (int chunk = 1; chunk <= 100000; ++chunk) {
    char text[32];
    snprintf(text, sizeof(text), "Downloading %3.0f%%", chunk / 1000.0);
    window_->setStatus(text);
    window_->incrementProgress(1.0);
    if (chunk % 25000 == 0) {
      runFor(loop_, 0.02);
      EXPECT_EQ(status(), text);
      EXPECT_NEAR(fraction(), chunk / 1e5, 1e-3);
      EXPECT_EQ(statusLines(), 1);
    }
  }
  EXPECT_LE(fractionUpdates, 1001);
  EXPECT_LE(labelUpdates, 101);
}

TEST_F(GtkWindowTest, PulsesOnlyWhileIndeterminateAndAnimating) {
  window_->setProgressAnimating(true);
  EXPECT_FALSE(pulsing());  // a determinate bar does not pulse
  window_->setProgressIndeterminate(true);
  window_->setProgressAnimating(true);
  unsigned before = pulses();
  runFor(loop_, 0.35);
  EXPECT_GE(pulses(), before + 2);
  window_->setProgressAnimating(false);
  unsigned stopped = pulses();
  runFor(loop_, 0.25);
  EXPECT_EQ(pulses(), stopped);
}

TEST_F(GtkWindowTest, FailureIsRedOnTwoLinesWithAFullStillBar) {
  window_->setProgressMax(5000.0);
  window_->setProgressIndeterminate(true);
  window_->setProgressAnimating(true);
  showFailure();
  runFor(loop_, 0.1);
  EXPECT_EQ(status(), kFailure);
  EXPECT_TRUE(statusIsRed());
  EXPECT_EQ(statusLines(), 2);
  EXPECT_FALSE(ellipsized());
  EXPECT_DOUBLE_EQ(fraction(), 1.0);
  EXPECT_FALSE(pulsing());
  EXPECT_EQ(closes_, 0);  // stays for the user to read
}

TEST_F(GtkWindowTest, InitializingDisablesCancelAndPulses) {
  window_->setStatus("Initializing the installer");
  window_->setCancelEnabled(false);
  window_->setProgressIndeterminate(true);
  window_->setProgressAnimating(true);
  runFor(loop_, 0.25);
  EXPECT_FALSE(gtk_widget_get_sensitive(GTK_WIDGET(parts().cancel)));
  EXPECT_GE(pulses(), 2u);
  pressKey(parts().window, GDK_KEY_Return);
  runFor(loop_, 0.3);
  EXPECT_EQ(closes_, 0);
}

TEST_F(GtkWindowTest, SplashIsScaledToFitKeepingItsAspectOrLeftOut) {
  std::string png = writeTestPng(800, 400);
  window_->setSplash(png, 400, 400);
  removeTestPng(png);
  GdkPixbuf* pixbuf = gtk_image_get_pixbuf(parts().splash);
  ASSERT_NE(pixbuf, nullptr);
  EXPECT_EQ(gdk_pixbuf_get_width(pixbuf), 400);
  EXPECT_EQ(gdk_pixbuf_get_height(pixbuf), 200);
  EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(parts().splash)));
  recreateWindow();
  window_->setSplash("/nonexistent/splash.png", 400, 400);
  EXPECT_EQ(gtk_image_get_storage_type(parts().splash), GTK_IMAGE_EMPTY);
  EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(parts().splash)));
}

// Every way of closing runs the close handler once and the loop ends.
TEST_F(GtkWindowTest, ReturnCancelAndTheCloseButtonCloseOnce) {
  const std::pair<const char*, std::function<void()>> ways[] = {
      {"Return", [&] { pressKey(parts().window, GDK_KEY_Return); }},
      {"Cancel twice", [&] { gtk_button_clicked(parts().cancel), gtk_button_clicked(parts().cancel); }},
      {"close button", [&] { gtk_window_close(parts().window); }},
      {"close() twice", [&] { window_->close(), window_->close(); }},
  };
  for (const auto& [way, close] : ways) {
    recreateWindow();
    close();
    EXPECT_TRUE(runUntilStopped(loop_, 2.0)) << way;
    EXPECT_EQ(closes_, 1) << way;
    EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(parts().window))) << way;
  }
}

}  // namespace

// The figures show on a smaller line under the status text, which keeps
// its room while they are taken away (a failure, the unpacking).
TEST_F(GtkWindowTest, DetailLineShowsTheFiguresAndHidesWithoutThem) {
  FiguresWording wording;
  wording.detail = [](const TransferFigures& f) { return std::to_string(f.received) + " B"; };
  window_->setFiguresWording(wording);
  GtkWidget* detail = GTK_WIDGET(parts().detail);
  EXPECT_FALSE(gtk_widget_get_child_visible(detail));
  window_->setStatus("Downloading  42%");
  window_->setTransferFigures({420, 1000, 50, 11.6});
  runFor(loop_, 0.05);
  EXPECT_TRUE(gtk_widget_get_child_visible(detail));
  EXPECT_STREQ(gtk_label_get_text(parts().detail), "420 B");
  EXPECT_EQ(status(), "Downloading  42%");
  showFailure();
  window_->setTransferFigures(TransferFigures());
  runFor(loop_, 0.1);
  EXPECT_FALSE(gtk_widget_get_child_visible(detail));
  EXPECT_TRUE(statusIsRed());
  EXPECT_GT(gtk_widget_get_allocated_height(detail), 1);  // its room stays
}
