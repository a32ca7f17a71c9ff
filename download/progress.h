#ifndef SETUP_DOWNLOAD_PROGRESS_H_
#define SETUP_DOWNLOAD_PROGRESS_H_

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "display/window.h"

// Measures a transfer: bytes so far, the speed over the last few seconds
// and the time left. Times are seconds on a clock that never jumps.
class ProgressMeter {
 public:
  // A (re)started transfer that already holds |kept| of |total| bytes
  // (-1: unknown); the speed counts only what arrives from now on.
  void start(int64_t kept, int64_t total, double now);
  void add(uint64_t bytes, double now);
  // The speed after a second of data, the time left after three while the
  // recent speed agrees with the whole attempt's; stalled after five
  // seconds without a byte.
  TransferFigures figures(double now) const;

 private:
  int64_t received_ = 0;
  int64_t kept_ = 0;
  int64_t total_ = -1;
  double started_ = 0;
  double lastArrival_ = 0;
  std::deque<std::pair<double, int64_t>> samples_;  // (time, received), oldest first
};

// "20.1 MB" (powers of 1000, one decimal from kB on), as desktop file
// managers count: the one unit system of every text, window and terminal.
std::string formatSiBytes(int64_t bytes);

// formatSiBytes in the user's language: its units and decimal sign
// ("20,1 MB" in German, "20,1 Mo" in French); the log keeps formatSiBytes.
std::string localBytes(int64_t bytes);

// The pieces of the terminal's status line in the order they are shown.
struct StatusLinePieces {
  std::string status, bar, amount, speed, left;
};
// The figures in terminal wording: "20.1 MB of 48.0 MB", "5.3 MB/s",
// "0:05 left"; pieces without a value stay empty.
StatusLinePieces terminalPieces(const TransferFigures& figures);
// The pieces joined in at most |width| columns (no limit for width <= 0):
// the bar shrinks to fit, down to ten cells; then the bar goes, then the
// speed, then the time left, then the amount; a status text still too long
// is cut.
std::string fitStatusLine(StatusLinePieces pieces, int width);
// "20.1 MB of 48.0 MB — about 5 seconds left", shorter when less is known.
std::string windowWording(const TransferFigures& figures);
// Tenths of the way, or for an unknown length quadruplings from 1 MiB.
int progressStretch(const TransferFigures& figures);
// The wording above, for the displays.
FiguresWording figuresWording();

#endif  // SETUP_DOWNLOAD_PROGRESS_H_
