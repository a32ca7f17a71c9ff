#include "platform/display/window-terminal.h"

#include <cmath>
#include <string>

#include "platform/console.h"

namespace {

const int kBarWidth = 24;

class TerminalWindow : public DownloadWindow {
 public:
  TerminalWindow(Loop& loop, FILE* out, bool isTerminal)
      : loop_(loop), out_(out), tty_(isTerminal) {}
  ~TerminalWindow() override {
    stopAnimation();
    if (redrawTimer_) loop_.cancelTimer(redrawTimer_);
    if (closeTimer_) loop_.cancelTimer(closeTimer_);
    if (tty_) endStatusLine();
  }

  void setCloseHandler(std::function<void()> handler) override { closeHandler_ = handler; }
  void setSplash(const std::string&, double, double) override {}
  void setStatusSingleLine(bool) override {}
  void setStatus(const std::string& text) override {
    if (text == status_) return;
    status_ = text;
    changed();
  }
  void setStatusRed(bool red) override {
    if (red == red_) return;
    red_ = red;
    changed();
    if (red && !closeTimer_) closeTimer_ = loop_.addTimer(0, [this] {
      closeTimer_ = 0;
      close();
    });
  }
  void setProgressIndeterminate(bool indeterminate) override {
    indeterminate_ = indeterminate;
    updateAnimation();
    changed();
  }
  void setProgressMax(double max) override { max_ = max; }
  double progressMax() const override { return max_; }
  void setProgressValue(double value) override {
    value_ = value;
    if (barCells() != drawnCells_) changed();
  }
  void incrementProgress(double delta) override { setProgressValue(value_ + delta); }
  void setProgressAnimating(bool animating) override {
    animating_ = animating;
    updateAnimation();
  }
  void setCancelEnabled(bool) override {}
  void displayIfNeeded() override { flush(); }
  void close() override;

 private:
  void updateAnimation();
  void stopAnimation();
  void changed();
  void flush();
  void redraw();
  void drawInPlace();
  void drawPlainLine();
  int barCells() const;
  std::string bar() const;

  Loop& loop_;
  FILE* out_;
  bool tty_;
  std::function<void()> closeHandler_;
  bool closed_ = false;
  std::string status_;
  bool red_ = false;
  bool indeterminate_ = false;
  bool animating_ = false;
  double max_ = 100, value_ = 0;
  int drawnCells_ = -1;
  int spinner_ = 0;
  int printedTenth_ = -1;
  std::string printedStatus_;
  bool dirty_ = false;
  Loop::Handle redrawTimer_ = 0;
  Loop::Handle closeTimer_ = 0;
  Loop::Handle animationTimer_ = 0;
};

void TerminalWindow::close() {
  if (closed_) return;
  flush();
  closed_ = true;
  stopAnimation();
  if (redrawTimer_) loop_.cancelTimer(redrawTimer_);
  if (tty_) endStatusLine();
  if (closeHandler_) closeHandler_();
}

// Only a terminal shows an animation; a log gets no lines for it.
void TerminalWindow::updateAnimation() {
  bool wanted = tty_ && !closed_ && indeterminate_ && animating_;
  if (!wanted) return stopAnimation();
  if (animationTimer_) return;
  animationTimer_ = loop_.addTimer(0.1, [this] {
    animationTimer_ = 0;
    ++spinner_;
    changed();
    updateAnimation();
  });
}

void TerminalWindow::stopAnimation() {
  if (animationTimer_) loop_.cancelTimer(animationTimer_);
  animationTimer_ = 0;
}

// Changes made in one go (a failure sets the bar, the text and its colour)
// are drawn once, from the loop, or at once by displayIfNeeded().
void TerminalWindow::changed() {
  dirty_ = true;
  if (redrawTimer_ || closed_) return;
  redrawTimer_ = loop_.addTimer(0, [this] {
    redrawTimer_ = 0;
    flush();
  });
}

void TerminalWindow::flush() {
  if (!dirty_ || closed_) return;
  dirty_ = false;
  redraw();
}

void TerminalWindow::redraw() {
  if (tty_)
    drawInPlace();
  else
    drawPlainLine();
}

int TerminalWindow::barCells() const {
  if (max_ <= 0) return 0;
  double fraction = std::min(1.0, std::max(0.0, value_ / max_));
  return static_cast<int>(std::floor(fraction * kBarWidth));
}

std::string TerminalWindow::bar() const {
  if (indeterminate_) {
    std::string cells(kBarWidth, ' ');
    int position = spinner_ % (2 * (kBarWidth - 3));
    if (position >= kBarWidth - 3) position = 2 * (kBarWidth - 3) - position;
    cells.replace(position, 3, "===");
    return "[" + cells + "]";
  }
  return "[" + std::string(barCells(), '#') + std::string(kBarWidth - barCells(), '.') + "]";
}

void TerminalWindow::drawInPlace() {
  drawnCells_ = barCells();
  std::string text = status_;
  if (text.empty() && !(indeterminate_ && animating_)) return;
  if (red_) {
    fprintf(out_, "\r\033[K\033[31m%s\033[0m\n", text.c_str());
    setStatusLinePending(false);
  } else {
    fprintf(out_, "\r\033[K%s  %s", text.c_str(), bar().c_str());
    setStatusLinePending(true);
  }
  fflush(out_);
}

// Plain lines for a log: the text when it changes, and a percentage only
// once per tenth of the way, so a long download writes a bounded count.
void TerminalWindow::drawPlainLine() {
  drawnCells_ = barCells();
  if (status_.empty() || status_ == printedStatus_) return;
  int tenth = (max_ > 0 && !indeterminate_) ? static_cast<int>(10 * value_ / max_) : -1;
  bool progressOnly = !red_ && tenth >= 0 && tenth == printedTenth_ &&
                      status_.compare(0, 12, printedStatus_, 0, 12) == 0;
  if (progressOnly) return;
  printedTenth_ = tenth;
  printedStatus_ = status_;
  fprintf(out_, "%s\n", status_.c_str());
  fflush(out_);
}

}  // namespace

std::unique_ptr<DownloadWindow> newTerminalWindow(Loop& loop, FILE* out, bool isTerminal) {
  return std::make_unique<TerminalWindow>(loop, out, isTerminal);
}
