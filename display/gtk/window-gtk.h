#ifndef SETUP_DISPLAY_GTK_WINDOW_GTK_H_
#define SETUP_DISPLAY_GTK_WINDOW_GTK_H_

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <string>

#include "display/gtk/dim-gtk.h"
#include "display/gtk/progress-gtk.h"
#include "display/gtk/proxy_login-gtk.h"
#include "display/gtk/status-gtk.h"
#include "display/window.h"

// Names the program to the window system as |applicationId| (the window's
// class on X11, the application id on Wayland, as a launcher's
// StartupWMClass or file name gives it) and to people as |name|; empty
// strings leave the toolkit's defaults. Call it before the toolkit starts.
void setApplicationIdentity(const std::string& applicationId, const std::string& name);

// The widgets of a GtkDownloadWindow, for code that checks what is really
// on screen (the tests and the screenshot tool). Owned by the window.
struct GtkWindowParts {
  GtkWindow* window;
  GtkImage* splash;
  GtkLabel* status;
  GtkProgressBar* progress;
  GtkButton* cancel;    // Cancel, or Close after a failure
  GtkButton* tryAgain;  // shown beside Close after a failure that may mend
  GtkLabel* detail;     // the figures under the status text
  GtkWidget* failure;   // in place of the figures after a failure: advice and the rest
  GtkLabel* advice;
  GtkLabel* more;
};

// The download window as a GTK 3 toplevel: splash, status text, progress
// bar and a Cancel button. Return presses Try Again where it is offered,
// else Close after a failure, and nothing while Cancel is shown.
class GtkDownloadWindow : public DownloadWindow {
 public:
  // Room around and between the widgets, in pixels.
  static constexpr int kPadding = 18;
  // Between the status text and the bar it describes.
  static constexpr int kLabelGap = 8;
  // Width of the content when there is no splash to set it.
  static constexpr int kContentWidth = 400;
  // Lines for a failure's cause (the status text), and for each of its
  // advice and general words under it; a longer text is cut short with an
  // ellipsis rather than make the window grow, and a long cause (a path)
  // never pushes the advice out.
  static constexpr int kFailureLines = 3;

  // Builds the window, hidden, with the |title| the window manager shows
  // (also the progress bar's name for screen readers) and the status text
  // shown until one is set; gtk_init must have succeeded.
  GtkDownloadWindow(const std::string& title, const std::string& untilStatus);
  // Destroys the window without running the close handler.
  ~GtkDownloadWindow() override;
  GtkDownloadWindow(const GtkDownloadWindow&) = delete;
  GtkDownloadWindow& operator=(const GtkDownloadWindow&) = delete;

  // The window's icon from the picture at |path|; the stock installer icon
  // stays when it is empty or cannot be read.
  void setIconFile(const std::string& path);
  // The product's name as people read it: what a screen reader calls the
  // splash picture (the title when empty).
  void setProductName(const std::string& name);

  // Shows the window and waits, a second at most, until it is drawn. It
  // iterates the main context, so call it before any loop has timers or
  // watches: none of those must run in here.
  void present();
  // Shows the window at the first displayIfNeeded() or when the loop first
  // runs, whichever comes first, so that it appears with what was set
  // before (the splash above all) at its final size: a compositor that
  // placed a smaller window may leave the grown one partly off the screen.
  void presentOnFirstDisplay();

  // DownloadWindow, as documented there.
  void setCloseHandler(std::function<void()> handler) override;
  void setSplash(const std::string& path, double width, double height) override;
  void setStatusSingleLine(bool singleLine) override;
  void setStatus(const std::string& text) override;
  void updateStatus(const std::string& text) override { setStatus(text); }
  // Shown under the status text in place of the figures, and announced to
  // screen readers together with the status text.
  void setFailureDetail(const std::string& advice, const std::string& more) override;
  void setStatusRed(bool red) override;
  void setFiguresWording(FiguresWording wording) override;
  // Shows the detail line while there are figures, hides it (keeping its
  // room) when there are none.
  void setTransferFigures(const TransferFigures& figures) override;
  bool canBeClosedByUser() const override { return true; }
  // On standard error, where a person starting the program from a shell
  // still sees it.
  void logLine(const std::string& line) override;
  void logDetail(const std::string& line) override { logLine(line); }
  void setProgressIndeterminate(bool indeterminate) override;
  void setProgressMax(double max) override;
  double progressMax() const override;
  void setProgressValue(double value) override;
  void incrementProgress(double delta) override;
  void setProgressAnimating(bool animating) override;
  void setProgressShown(bool shown) override;
  void setCancelEnabled(bool enabled) override;
  void setControls(WindowControls controls) override;
  void setTryAgainHandler(std::function<void()> handler) override {
    tryAgain_ = std::move(handler);
  }
  // A ProxyLoginDialog over the window; its cancel is the window's Cancel.
  bool askProxyLogin(const ProxyLoginWords& words, ProxyLoginAnswer answer) override;
  // Lays out and paints pending changes synchronously, without running
  // any other callback of the loop.
  void displayIfNeeded() override;
  // Hides the window and runs the close handler, both only the first time.
  void close() override;
  bool cancelledByUser() const override { return cancelled_; }

  // The real widgets, for inspection.
  GtkWindowParts parts() const;
  // The progress model behind the bar (pulsing state, pulse count).
  const ProgressBar& progress() const { return progress_; }
  // The dialog of the last askProxyLogin(), or null.
  const ProxyLoginDialog* loginDialog() const { return login_.get(); }
  // Whether the window was closed, by any means.
  bool closed() const { return closed_; }

 private:
  static gboolean onDelete(GtkWidget* widget, GdkEvent* event, gpointer self);
  static gboolean onKeyPress(GtkWidget* widget, GdkEventKey* event, gpointer self);
  static void onCancel(GtkButton* button, gpointer self);
  static void onTryAgain(GtkButton* button, gpointer self);
  static void onScaleChanged(GObject* image, GParamSpec* property, gpointer self);
  static gboolean onShowSoon(gpointer self);
  static gboolean onFirstDraw(GtkWidget* widget, cairo_t* cairo, gpointer done);
  GtkWidget* buildContent();
  GtkWidget* buildText();
  GtkWidget* buildButtons();
  void describeForScreenReaders(const std::string& title);
  void announceFailure();
  void show();
  void closeByPerson();

  StatusLabel status_;
  ProgressBar progress_;
  GtkWindow* window_ = nullptr;
  GtkImage* splash_ = nullptr;
  GtkButton* cancel_ = nullptr;
  GtkButton* tryAgainButton_ = nullptr;
  GtkLabel* detail_ = nullptr;
  GtkWidget* failure_ = nullptr;
  GtkLabel* advice_ = nullptr;
  GtkLabel* more_ = nullptr;
  std::unique_ptr<DimText> dim_;  // the figures' colour
  std::string title_;
  std::string splashPath_;
  int splashWidth_ = 0, splashHeight_ = 0;
  FiguresWording wording_;
  std::function<void()> closeHandler_;
  std::function<void()> tryAgain_;
  std::unique_ptr<ProxyLoginDialog> login_;
  guint showSoon_ = 0;  // the pending show of presentOnFirstDisplay()
  bool closed_ = false;
  bool cancelled_ = false;  // closed by its person while Cancel was shown
  WindowControls controls_ = WindowControls::kCancel;
  bool changed_ = false;  // something displayIfNeeded has not drawn yet
};

#endif  // SETUP_DISPLAY_GTK_WINDOW_GTK_H_
