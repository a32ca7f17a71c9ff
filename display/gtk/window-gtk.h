#ifndef SETUP_DISPLAY_GTK_WINDOW_GTK_H_
#define SETUP_DISPLAY_GTK_WINDOW_GTK_H_

#include <gtk/gtk.h>

#include <functional>
#include <string>

#include "display/gtk/progress-gtk.h"
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
  GtkButton* cancel;
  GtkLabel* detail;  // the figures under the status text
};

// The download window as a GTK 3 toplevel: splash, status line, progress
// bar and a Cancel button that is also the default (Return) button.
class GtkDownloadWindow : public DownloadWindow {
 public:
  // Room around and between the widgets, in pixels.
  static constexpr int kPadding = 18;
  // Between the status line and the bar it describes.
  static constexpr int kLabelGap = 8;
  // Width of the content when there is no splash to set it.
  static constexpr int kContentWidth = 400;

  // Builds the window, hidden, with the |title| the window manager shows
  // and the status text shown until one is set; gtk_init must have succeeded.
  GtkDownloadWindow(const std::string& title, const std::string& untilStatus);
  // Destroys the window without running the close handler.
  ~GtkDownloadWindow() override;
  GtkDownloadWindow(const GtkDownloadWindow&) = delete;
  GtkDownloadWindow& operator=(const GtkDownloadWindow&) = delete;

  // The window's icon from the picture at |path|; the stock installer icon
  // stays when it is empty or cannot be read.
  void setIconFile(const std::string& path);

  // Shows the window centred on screen and waits, a second at most, until
  // it is drawn. It iterates the main context, so call it before any loop
  // has timers or watches: none of those must run in here.
  void present();

  // DownloadWindow, as documented there.
  void setCloseHandler(std::function<void()> handler) override;
  void setSplash(const std::string& path, double width, double height) override;
  void setStatusSingleLine(bool singleLine) override;
  void setStatus(const std::string& text) override;
  void updateStatus(const std::string& text) override { setStatus(text); }
  void setFailureDetail(const std::string& cause, const std::string& advice) override;
  void setStatusRed(bool red) override;
  void setFiguresWording(FiguresWording wording) override;
  // Shows the detail line while there are figures, hides it (keeping its
  // room) when there are none.
  void setTransferFigures(const TransferFigures& figures) override;
  bool canBeClosedByUser() const override { return true; }
  // On standard error, where a person starting the program from a shell
  // still sees it.
  void logLine(const std::string& line) override;
  void setProgressIndeterminate(bool indeterminate) override;
  void setProgressMax(double max) override;
  double progressMax() const override;
  void setProgressValue(double value) override;
  void incrementProgress(double delta) override;
  void setProgressAnimating(bool animating) override;
  void setCancelEnabled(bool enabled) override;
  void setControls(WindowControls controls) override;
  void setTryAgainHandler(std::function<void()> handler) override { tryAgain_ = std::move(handler); }
  // Lays out and paints pending changes synchronously, without running
  // any other callback of the loop.
  void displayIfNeeded() override;
  // Hides the window and runs the close handler, both only the first time.
  void close() override;

  // The real widgets, for inspection.
  GtkWindowParts parts() const;
  // The progress model behind the bar (pulsing state, pulse count).
  const ProgressBar& progress() const { return progress_; }
  // Whether the window was closed, by any means.
  bool closed() const { return closed_; }

 private:
  static gboolean onDelete(GtkWidget* widget, GdkEvent* event, gpointer self);
  static void onCancel(GtkButton* button, gpointer self);
  static gboolean onFirstDraw(GtkWidget* widget, cairo_t* cairo, gpointer done);
  GtkWidget* buildContent();
  GtkWidget* buildButtons();

  StatusLabel status_;
  ProgressBar progress_;
  GtkWindow* window_ = nullptr;
  GtkImage* splash_ = nullptr;
  GtkButton* cancel_ = nullptr;
  GtkLabel* detail_ = nullptr;
  FiguresWording wording_;
  std::function<void()> closeHandler_;
  std::function<void()> tryAgain_;
  bool closed_ = false;
  bool changed_ = false;  // something displayIfNeeded has not drawn yet
};

#endif  // SETUP_DISPLAY_GTK_WINDOW_GTK_H_
