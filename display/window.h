#ifndef SETUP_DISPLAY_WINDOW_H_
#define SETUP_DISPLAY_WINDOW_H_

#include <cstdint>
#include <functional>
#include <string>

// Where a transfer stands. received < 0: nothing to show (no transfer, a
// failure, or the unpacking after it).
struct TransferFigures {
  int64_t received = -1;
  int64_t total = -1;           // -1 when the server announced no length
  double bytesPerSecond = 0;    // smoothed over the last few seconds; 0: not known yet
  double secondsLeft = -1;      // -1 while there is not enough to go by
  bool stalled = false;         // no byte for a while: speed and time left mean nothing
};

// The controls under the bar: Cancel while something runs; Close after a
// failure; Close and Try Again after a failure that trying again may mend.
enum class WindowControls { kCancel, kClose, kCloseOrTryAgain };

// How the front end words the figures; a display calls these when it draws,
// so that what a person reads is decided in one place.
struct FiguresWording {
  // The terminal's status line: |status|, then |bar|, then the figures, in
  // at most |width| columns (no limit for width <= 0, and then no bar).
  std::function<std::string(const std::string& status, const std::string& bar,
                            const TransferFigures& figures, int width)>
      line;
  // The graphical window's second line under the status text.
  std::function<std::string(const TransferFigures& figures)> detail;
  // The stretch of the way the figures are in: a log gets one line per stretch.
  std::function<int(const TransferFigures& figures)> stretch;
};

// The words of the dialog that asks for a proxy's user name and password.
struct ProxyLoginWords {
  std::string title, message, user, password, proceed, cancel;
};

// What a person typed there. The caller clears it when done with it.
using ProxyLoginAnswer = std::function<void(std::string& user, std::string& password)>;

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
  // The same status again with a changed figure (a countdown): shown where
  // the status is redrawn in place, left out of a log.
  virtual void updateStatus(const std::string& text) = 0;
  // Under a failure's status text (its cause): what the person can do, then
  // the general words, each a paragraph; a screen reader announces the
  // failure. Empty strings take it away.
  virtual void setFailureDetail(const std::string& advice, const std::string& more) = 0;
  // Failure texts are red; everything else uses the normal colour.
  virtual void setStatusRed(bool red) = 0;

  // Transfer figures beside the status text, worded by |wording|; figures
  // with received < 0 take them away.
  virtual void setFiguresWording(FiguresWording wording) = 0;
  virtual void setTransferFigures(const TransferFigures& figures) = 0;

  // Whether a person can close this display (a window can; the terminal
  // display may have nobody watching it, so the front end ends the run).
  virtual bool canBeClosedByUser() const = 0;

  // A line for the person at the display (the product's name, what the
  // download brought), written where the display's own output does not
  // garble it: in place of the terminal's status line, which is drawn again
  // under it, broken into lines of the terminal's width.
  virtual void logLine(const std::string& line) = 0;
  // A line of the run's log, which the system log has too: written as
  // logLine() does where standard error is a log (a file, or beside a
  // window), left out where a person watches a terminal's status line,
  // which says the same in fewer words.
  virtual void logDetail(const std::string& line) = 0;

  // Progress bar.
  virtual void setProgressIndeterminate(bool indeterminate) = 0;
  virtual void setProgressMax(double max) = 0;
  virtual double progressMax() const = 0;
  virtual void setProgressValue(double value) = 0;
  virtual void incrementProgress(double delta) = 0;
  virtual void setProgressAnimating(bool animating) = 0;
  // Whether the bar is shown (at first it is); hidden it keeps its room.
  virtual void setProgressShown(bool shown) = 0;

  // Cancel control; pressing it closes the window. Return never presses
  // it: a key meant for another window must not end a download.
  virtual void setCancelEnabled(bool enabled) = 0;
  // Which controls are shown (Cancel at first). Escape presses Cancel or
  // Close; Close closes the window.
  virtual void setControls(WindowControls controls) = 0;
  // Called, on the loop's thread, when Try Again is pressed; the window
  // stays open and shows Cancel again.
  virtual void setTryAgainHandler(std::function<void()> handler) = 0;

  // Asks for a proxy's user name and password in a dialog over the window,
  // worded by |words|: Return (or its button) hands |answer| what was typed,
  // from the loop; Escape (or its Cancel) closes the window as Cancel does,
  // and |answer| is never called. False, and nothing shown, where nobody
  // can be asked (the terminal display).
  virtual bool askProxyLogin(const ProxyLoginWords& /*words*/, ProxyLoginAnswer /*answer*/) {
    return false;
  }

  // Puts pending changes on screen now.
  virtual void displayIfNeeded() = 0;

  // Closes the window (runs the close handler if it has not run yet).
  virtual void close() = 0;
  // Whether the person closed it while Cancel was offered (Cancel, Escape,
  // the window's close button): the run was cancelled, not failed. A
  // terminal's cancel is a signal, which the program sees itself.
  virtual bool cancelledByUser() const = 0;
};

#endif  // SETUP_DISPLAY_WINDOW_H_
