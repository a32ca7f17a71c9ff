#include "download/progress.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "util/text_columns.h"
#include "util/translation.h"

namespace {

const double kSpeedWindow = 5.0;   // seconds the speed is averaged over
const double kSampleEvery = 0.25;  // seconds between kept samples
const double kSpeedAfter = 1.0;     // seconds of data before a speed is shown
const double kTimeLeftAfter = 3.0;  // and before a time left is
const double kStalledAfter = 5.0;   // seconds without a byte: stalled

std::string scaled(int64_t bytes, double base, const char* const units[]) {
  if (bytes < base) return std::to_string(bytes) + " B";
  double value = bytes / base;
  int unit = 0;
  while (value >= base && units[unit + 1]) value /= base, ++unit;
  char text[32];
  snprintf(text, sizeof(text), "%.1f %s", value, units[unit]);
  return text;
}

std::string clockTime(double seconds) {
  long s = std::lround(seconds);
  char text[32];
  if (s >= 3600)
    snprintf(text, sizeof(text), "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    snprintf(text, sizeof(text), "%ld:%02ld", s / 60, s % 60);
  return text;
}

std::string roughTime(double seconds) {
  long s = std::lround(seconds);
  if (s < 60) {
    long n = std::max(1L, s);
    return sayf(P_("about %ld second left", "about %ld seconds left", n), n);
  }
  if (s < 3600) {
    long n = (s + 30) / 60;
    return sayf(P_("about %ld minute left", "about %ld minutes left", n), n);
  }
  long n = (s + 1800) / 3600;
  return sayf(P_("about %ld hour left", "about %ld hours left", n), n);
}

// "20.1 MB of 48.0 MB", or the amount alone when the whole is unknown.
std::string amountOf(const TransferFigures& figures) {
  if (figures.total < 0) return localBytes(figures.received);
  return sayf(_("%s of %s"), localBytes(figures.received).c_str(),
              localBytes(figures.total).c_str());
}

std::string perSecond(double bytesPerSecond) {
  return sayf(_("%s/s"), localBytes(std::llround(bytesPerSecond)).c_str());
}

std::string joined(const std::vector<const std::string*>& pieces) {
  std::string line;
  for (const std::string* piece : pieces) {
    if (piece->empty()) continue;
    if (!line.empty()) line += "  ";
    line += *piece;
  }
  return line;
}

}  // namespace

void ProgressMeter::start(int64_t kept, int64_t total, double now) {
  received_ = kept_ = kept;
  total_ = total;
  started_ = lastArrival_ = now;
  samples_.assign(1, {now, kept});
}

void ProgressMeter::add(uint64_t bytes, double now) {
  received_ += static_cast<int64_t>(bytes);
  lastArrival_ = now;
  if (samples_.empty() || now - samples_.back().first >= kSampleEvery)
    samples_.push_back({now, received_});
  while (samples_.size() > 2 && samples_[1].first <= now - kSpeedWindow) samples_.pop_front();
}

// The speed only once a second of data has come (a first chunk alone says
// nothing of the link). The time left goes by the slower of the recent and
// the whole attempt's speed, and only while the two roughly agree: after a
// first burst on a lossy link the recent speed promises far too much, and
// no time left is better than a wrong one.
TransferFigures ProgressMeter::figures(double now) const {
  TransferFigures figures;
  figures.received = received_;
  figures.total = total_;
  double elapsed = now - started_;
  if (now - lastArrival_ >= kStalledAfter && received_ != total_) {
    figures.stalled = true;
    return figures;
  }
  if (samples_.empty() || elapsed < kSpeedAfter) return figures;
  double span = now - samples_.front().first;
  if (span <= 0) return figures;
  figures.bytesPerSecond = (received_ - samples_.front().second) / span;
  double average = (received_ - kept_) / elapsed;
  double slower = std::min(average, figures.bytesPerSecond);
  if (total_ >= 0 && elapsed >= kTimeLeftAfter && slower > 0 &&
      std::max(average, figures.bytesPerSecond) <= 2 * slower)
    figures.secondsLeft = std::max<int64_t>(0, total_ - received_) / slower;
  return figures;
}

std::string formatSiBytes(int64_t bytes) {
  static const char* const units[] = {"kB", "MB", "GB", "TB", nullptr};
  return scaled(bytes, 1000, units);
}

std::string localBytes(int64_t bytes) {
  // The units as the user's language writes them ("Mo" in French).
  static const char* const units[] = {N_("%s kB"), N_("%s MB"), N_("%s GB"), N_("%s TB")};
  if (bytes < 1000) return sayf(_("%s B"), std::to_string(bytes).c_str());
  double value = bytes / 1000.0;
  size_t unit = 0;
  while (value >= 1000 && unit + 1 < sizeof(units) / sizeof(*units)) value /= 1000, ++unit;
  // Rounded as the English text rounds it ("999.95 kB" is "1000.0 kB").
  return sayf(_(units[unit]), localDecimal(value, 1).c_str());
}

StatusLinePieces terminalPieces(const TransferFigures& figures) {
  StatusLinePieces pieces;
  if (figures.received < 0) return pieces;
  pieces.amount = amountOf(figures);
  if (figures.stalled) pieces.speed = _("stalled");
  if (figures.bytesPerSecond > 0) pieces.speed = perSecond(figures.bytesPerSecond);
  if (figures.secondsLeft >= 0)
    pieces.left = sayf(_("%s left"), clockTime(figures.secondsLeft).c_str());
  return pieces;
}

// |bar| ("[" cells "]", one byte a cell) resampled to |width| columns.
std::string shrinkBar(const std::string& bar, int width) {
  int inner = static_cast<int>(bar.size()) - 2, cells = width - 2;
  if (inner <= 0 || cells >= inner) return bar;
  std::string shrunk = "[";
  for (int i = 0; i < cells; ++i) shrunk += bar[1 + i * inner / cells];
  return shrunk + "]";
}

// The bar shrinks to the room left (ten cells at least) before anything
// goes; then the bar, the speed, the time left and the amount go in turn.
std::string fitStatusLine(StatusLinePieces p, int width) {
  std::string* dropOrder[] = {&p.bar, &p.speed, &p.left, &p.amount};
  std::string line = joined({&p.status, &p.bar, &p.amount, &p.speed, &p.left});
  if (width > 0 && !p.bar.empty() && textColumns(line) > width) {
    int room = width - (textColumns(line) - textColumns(p.bar));
    if (room >= 12) {
      p.bar = shrinkBar(p.bar, room);
      line = joined({&p.status, &p.bar, &p.amount, &p.speed, &p.left});
    }
  }
  for (std::string* piece : dropOrder) {
    if (width <= 0 || textColumns(line) <= width) return line;
    piece->clear();
    line = joined({&p.status, &p.bar, &p.amount, &p.speed, &p.left});
  }
  return textColumns(line) <= width ? line : cutToColumns(line, width);
}

std::string windowWording(const TransferFigures& figures) {
  if (figures.received < 0) return "";
  std::string text = amountOf(figures);
  if (figures.stalled)
    text += " \u2014 " + std::string(_("waiting for the server\u2026"));
  else if (figures.secondsLeft >= 0)
    text += " \u2014 " + roughTime(figures.secondsLeft);
  else if (figures.total < 0 && figures.bytesPerSecond > 0)
    text += " \u2014 " + perSecond(figures.bytesPerSecond);
  return text;
}

int progressStretch(const TransferFigures& figures) {
  if (figures.received < 0) return -1;
  if (figures.total > 0) return static_cast<int>(10 * figures.received / figures.total);
  int stretch = 0;
  for (int64_t mark = 1 << 20; figures.received >= mark && stretch < 20; mark *= 4) ++stretch;
  return stretch;
}

FiguresWording figuresWording() {
  FiguresWording wording;
  wording.line = [](const std::string& status, const std::string& bar,
                    const TransferFigures& figures, int width) {
    StatusLinePieces pieces = terminalPieces(figures);
    pieces.status = status;
    pieces.bar = width > 0 ? bar : "";
    return fitStatusLine(pieces, width);
  };
  wording.detail = windowWording;
  wording.stretch = progressStretch;
  return wording;
}
