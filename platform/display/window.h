#ifndef SETUP_PLATFORM_DISPLAY_WINDOW_H_
#define SETUP_PLATFORM_DISPLAY_WINDOW_H_

#include <functional>
#include <string>

// The download window: splash image, status text, progress bar and a
// Cancel control. Implemented by a GTK window and by a terminal display.
// All calls come from the loop's thread. Implementations redraw only what a
// person can see change, so callers may update state on every data chunk.
class DownloadWindow {
 public:
  virtual ~DownloadWindow() = default;

  // Called exactly once when the window closes, whoever closes it
  // (the user, Cancel, Return, a signal, or close()).
  virtual void setCloseHandler(std::function<void()> handler) = 0;

  // Shows the PNG at |path| scaled to fit |width| x |height| keeping its
  // aspect; the user cannot replace it.
  virtual void setSplash(const std::string& path, double width, double height) = 0;

  // Status text. |singleLine| true keeps it to one line.
  virtual void setStatusSingleLine(bool singleLine) = 0;
  virtual void setStatus(const std::string& text) = 0;
  // Failure texts are red; everything else uses the normal colour. A display
  // that nobody may be watching (the terminal) closes itself after a red text.
  virtual void setStatusRed(bool red) = 0;

  // Progress bar.
  virtual void setProgressIndeterminate(bool indeterminate) = 0;
  virtual void setProgressMax(double max) = 0;
  virtual double progressMax() const = 0;
  virtual void setProgressValue(double value) = 0;
  virtual void incrementProgress(double delta) = 0;
  virtual void setProgressAnimating(bool animating) = 0;

  // Cancel control. Return presses it; pressing it closes the window.
  virtual void setCancelEnabled(bool enabled) = 0;

  // Puts pending changes on screen now.
  virtual void displayIfNeeded() = 0;

  // Closes the window (runs the close handler if it has not run yet).
  virtual void close() = 0;
};

#endif  // SETUP_PLATFORM_DISPLAY_WINDOW_H_
