#include "display/window-terminal.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/terminal_width.h"
#include "util/text_columns.h"

namespace {

const int kBarWidth = 24;
const double kRedrawEvery = 0.1;  // seconds: at most ten redraws a second

class TerminalWindow : public DownloadWindow {
 public:
  TerminalWindow(Loop& loop, FILE* out, TerminalOptions options)
      : loop_(loop), out_(out), options_(std::move(options)) {
    if (!options_.clock) options_.clock = monotonicSeconds;
    if (!options_.columns) options_.columns = [] { return 80; };
  }
  ~TerminalWindow() override {
    stopAnimation();
    if (redrawTimer_) loop_.cancelTimer(redrawTimer_);
    endLine();
  }

  void setCloseHandler(std::function<void()> handler) override { closeHandler_ = handler; }
  void setSplash(const std::string&, double, double) override {}
  void setStatusSingleLine(bool) override {}
  void setStatus(const std::string& text) override {
    if (text == status_) return;
    status_ = text;
    changed();
  }
  void updateStatus(const std::string& text) override {
    if (options_.inPlace) return setStatus(text);
    status_ = printedLine_ = text;  // a log keeps its earlier line
  }
  // After the red text, as plain lines: the advice, then the rest.
  void setFailureDetail(const std::string& advice, const std::string& more) override {
    advice_ = advice;
    more_ = more;
    changed();
  }
  void setControls(WindowControls) override {}
  void setTryAgainHandler(std::function<void()>) override {}
  void setStatusRed(bool red) override {
    if (red == red_) return;
    red_ = red;
    changed();
  }
  void setFiguresWording(FiguresWording wording) override { wording_ = std::move(wording); }
  void setTransferFigures(const TransferFigures& figures) override {
    figures_ = figures;
    changed();
  }
  bool canBeClosedByUser() const override { return false; }
  // Never reads the terminal: a script or a pipe may hold standard input,
  // and a password typed there would echo. The failure says what to set.
  bool askProxyLogin(const ProxyLoginWords&, ProxyLoginAnswer) override { return false; }
  void logLine(const std::string& line) override;
  void logDetail(const std::string& line) override {
    if (!options_.inPlace) logLine(line);
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
    changed();
  }
  void incrementProgress(double delta) override { setProgressValue(value_ + delta); }
  void setProgressAnimating(bool animating) override {
    animating_ = animating;
    updateAnimation();
  }
  void setProgressShown(bool shown) override {
    barShown_ = shown;
    changed();
  }
  void setCancelEnabled(bool) override {}
  void displayIfNeeded() override { flush(false); }
  void close() override;
  bool cancelledByUser() const override { return false; }

 private:
  void updateAnimation();
  void stopAnimation();
  void changed();
  void flush(bool now);
  void drawInPlace();
  void drawPlainLine();
  void endLine();
  std::string line(int width) const;
  int stretch() const;
  int barCells() const;
  std::string bar() const;
  void printLines(const std::string& text);
  int width() const { return std::max(1, options_.columns() - 1); }

  Loop& loop_;
  FILE* out_;
  TerminalOptions options_;
  FiguresWording wording_;
  TransferFigures figures_;
  std::function<void()> closeHandler_;
  bool closed_ = false;
  std::string status_;
  bool red_ = false;
  bool indeterminate_ = false;
  bool animating_ = false;
  double max_ = 100, value_ = 0;
  int spinner_ = 0;
  bool dirty_ = false;
  double lastDraw_ = -1e9;
  std::string drawnLine_;     // in place: what the status line shows
  bool linePending_ = false;  // in place: a status line without its newline
  std::string advice_, more_;  // under a failure
  bool barShown_ = true;
  // Plain lines: what the last one showed.
  std::string printedLine_;
  int printedStretch_ = -2;
  double printedValue_ = 0;
  int64_t printedReceived_ = -1;
  Loop::Handle redrawTimer_ = 0;
  Loop::Handle animationTimer_ = 0;
};

// A status line still being redrawn goes with the display (the front end
// has logged what stays); a failure's red text stays.
void TerminalWindow::close() {
  if (closed_) return;
  flush(true);
  closed_ = true;
  stopAnimation();
  if (redrawTimer_) loop_.cancelTimer(redrawTimer_);
  redrawTimer_ = 0;
  if (linePending_ && !red_) {
    fputs("\r\033[K", out_);
    fflush(out_);
    linePending_ = false;
  }
  endLine();
  if (closeHandler_) closeHandler_();
}

// The log line takes the status line's place, which is drawn again under
// it: no copy of the status is left behind.
void TerminalWindow::logLine(const std::string& text) {
  if (linePending_) fputs("\r\033[K", out_);
  linePending_ = false;
  printLines(text);
  fflush(out_);
  drawnLine_.clear();
  changed();
}

// In place, every line fits the terminal (its last column left free, as
// for the status line); a log takes the text as it is.
void TerminalWindow::printLines(const std::string& text) {
  if (!options_.inPlace) {
    fprintf(out_, "%s\n", text.c_str());
    return;
  }
  for (const std::string& line : wrapToColumns(text, width())) fprintf(out_, "%s\n", line.c_str());
}

void TerminalWindow::endLine() {
  if (!linePending_) return;
  fputc('\n', out_);
  fflush(out_);
  linePending_ = false;
}

// Only a terminal shows an animation; a log gets no lines for it.
void TerminalWindow::updateAnimation() {
  bool wanted = options_.inPlace && !closed_ && indeterminate_ && animating_;
  if (!wanted) return stopAnimation();
  if (animationTimer_) return;
  animationTimer_ = loop_.addTimer(kRedrawEvery, [this] {
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
// are drawn once, from the loop, or by displayIfNeeded().
void TerminalWindow::changed() {
  dirty_ = true;
  if (redrawTimer_ || closed_) return;
  double wait = lastDraw_ + kRedrawEvery - options_.clock();
  redrawTimer_ = loop_.addTimer(options_.inPlace ? std::max(0.0, wait) : 0, [this] {
    redrawTimer_ = 0;
    flush(false);
  });
}

// In place, a redraw sooner than a tenth of a second after the last one
// waits for the timer that changed() set; a failure is drawn at once.
void TerminalWindow::flush(bool now) {
  if (!dirty_ || closed_) return;
  double t = options_.clock();
  if (options_.inPlace && !now && !red_ && t - lastDraw_ < kRedrawEvery) return;
  dirty_ = false;
  if (options_.inPlace) {
    lastDraw_ = t;
    drawInPlace();
  } else {
    drawPlainLine();
  }
}

std::string TerminalWindow::line(int width) const {
  std::string shownBar = width > 0 && barShown_ && (max_ > 0 || indeterminate_) ? bar() : "";
  if (wording_.line) return wording_.line(status_, shownBar, figures_, width);
  return shownBar.empty() ? status_ : status_ + "  " + shownBar;
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

// The last column stays free: some terminals wrap a line that fills it.
void TerminalWindow::drawInPlace() {
  if (red_) {
    const char* on = options_.colour ? "\033[31m" : "";
    const char* off = options_.colour ? "\033[0m" : "";
    fputs("\r\033[K", out_);
    for (const std::string& text : wrapToColumns(status_, width()))
      fprintf(out_, "%s%s%s\n", on, text.c_str(), off);
    for (const std::string* text : {&advice_, &more_})
      if (!text->empty()) printLines(*text);
    linePending_ = false;
    drawnLine_.clear();
  } else {
    std::string text = line(width());
    if (text == drawnLine_ || (status_.empty() && figures_.received < 0 && !indeterminate_)) return;
    fprintf(out_, "\r\033[K%s", text.c_str());
    drawnLine_ = text;
    linePending_ = true;
  }
  fflush(out_);
}

int TerminalWindow::stretch() const {
  if (figures_.received >= 0 && wording_.stretch) return wording_.stretch(figures_);
  return (max_ > 0 && !indeterminate_) ? static_cast<int>(10 * value_ / max_) : -1;
}

// Plain lines for a log: a line when the text says something new (a retry,
// a resume, a failure), else one per stretch of the way, so that a long
// download writes a bounded count.
void TerminalWindow::drawPlainLine() {
  std::string text = line(0);
  int now = stretch();
  bool progressed = value_ > printedValue_ || figures_.received > printedReceived_;
  if (text.empty() || text == printedLine_) return;
  if (!red_ && now == printedStretch_ && progressed) return;
  printedLine_ = text;
  printedStretch_ = now;
  printedValue_ = value_;
  if (figures_.received >= 0) printedReceived_ = figures_.received;
  fprintf(out_, "%s\n", text.c_str());
  if (red_)
    for (const std::string* more : {&advice_, &more_})
      if (!more->empty()) printLines(*more);
  fflush(out_);
}

}  // namespace

TerminalOptions terminalOptionsFor(FILE* out) {
  TerminalOptions options;
  const char* term = getenv("TERM");
  const char* noColour = getenv("NO_COLOR");
  int fd = fileno(out);
  options.inPlace = isatty(fd) && !(term && strcmp(term, "dumb") == 0);
  options.colour = options.inPlace && !(noColour && *noColour);
  options.columns = [fd] { return terminalColumns(fd); };
  return options;
}

std::unique_ptr<DownloadWindow> newTerminalWindow(Loop& loop, FILE* out, TerminalOptions options) {
  return std::make_unique<TerminalWindow>(loop, out, std::move(options));
}
