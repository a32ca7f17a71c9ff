#include "download/progress.h"

#include <gtest/gtest.h>

// 1.25 MiB a second for ten seconds of a 48 MiB archive continued at 20
// MiB: a speed after a second, a time left after three; stalled after five
// seconds without a byte. Then a first burst and a link twenty times
// slower: no time left while the recent and the whole speed disagree,
// rather than one far too short.
TEST(ProgressMeter, SpeedFromTheResumePointTimeLeftOnceSteadyThenStalled) {
  ProgressMeter meter; meter.start(20 << 20, 48 << 20, 100.0);
  EXPECT_EQ(meter.figures(100.0).secondsLeft, -1);
  for (int tick = 1; tick <= 100; ++tick) {
    meter.add(1 << 17, 100.0 + tick / 10.0);  // 128 KiB every 0.1 s
    TransferFigures f = meter.figures(100.0 + tick / 10.0);
    // Never one chunk's figure; 0 while not known.
    EXPECT_NEAR(f.bytesPerSecond, tick >= 10 ? 1.25 * (1 << 20) : 0, 1.0) << tick;
    EXPECT_EQ(f.secondsLeft >= 0, tick >= 30) << tick;
  }
  TransferFigures f = meter.figures(110.0), stalled = meter.figures(115.0);
  EXPECT_NEAR(f.secondsLeft, (48 - 32.5) / 1.25, 0.01);
  // Both displays' words, before and after the stall.
  EXPECT_EQ(fitStatusLine(terminalPieces(f), 0) + "|" + windowWording(f) + "|" +
                (stalled.stalled ? "stalled" : "") + "|" +
                fitStatusLine(terminalPieces(stalled), 0) + "|" + windowWording(stalled),
            "34.1 MB of 50.3 MB  1.3 MB/s  0:12 left|"
            "34.1 MB of 50.3 MB \u2014 about 12 seconds left|stalled|"
            "34.1 MB of 50.3 MB  stalled|34.1 MB of 50.3 MB \u2014 waiting for the server\u2026");
  meter.start(0, 100 << 20, 0.0), meter.add(20 << 20, 0.5);
  for (int tick = 1; tick <= 80; ++tick) meter.add(1 << 16, 0.5 + tick / 10.0);  // 640 KiB/s
  f = meter.figures(8.5);
  EXPECT_EQ(std::make_pair(f.secondsLeft, f.bytesPerSecond > 0), std::make_pair(-1.0, true));
}

// The bar shrinks before it goes (on a real terminal of 80 columns:
// Progress.TerminalLineFitsTheWidthWithFiguresAndFewRedraws), then the
// speed and time left, then the figures; the status is cut last.
TEST(ProgressMeter, FitsTheLineToTheWidth) {
  TransferFigures known{21076377, 50331648, 5557452.8, 5.4}, unknown{21076377, -1, 5557452.8, -1};
  const struct { TransferFigures f; int width; std::string status, line; } cases[] = {
      {known, 200, "Downloading 42%", "Downloading 42%  [##########..............]  21.1 MB of "
                                      "50.3 MB  5.6 MB/s  0:05 left"},
      {known, 72, "Downloading 42%", "Downloading 42%  [#####.......]  21.1 MB of 50.3 MB  5.6 MB/s  "
                                     "0:05 left"},
      {known, 40, "Downloading 42%", "Downloading 42%  21.1 MB of 50.3 MB"},
      {known, 20, "Downloading 42%", "Downloading 42%"},
      {unknown, 80, "Downloading 42%", "Downloading 42%  [##########..............]  21.1 MB  "
                                       "5.6 MB/s"},
      {unknown, 12, "Downloading 42%", "Downloading "},
      // Wide characters take two columns each, and are never cut in half.
      {unknown, 11, "\u4e0b\u8f7d 42%", "\u4e0b\u8f7d 42%"}, {unknown, 6, "\u4e0b\u8f7d 42%", "\u4e0b\u8f7d 4"},
      {unknown, 3, "\u4e0b\u8f7d 42%", "\u4e0b"}};
  for (const auto& c : cases) {
    StatusLinePieces pieces = terminalPieces(c.f);
    pieces.status = c.status, pieces.bar = "[##########..............]";
    EXPECT_EQ(fitStatusLine(pieces, c.width), c.line) << c.width;
  }
  EXPECT_EQ(windowWording(unknown) + "|" + windowWording(TransferFigures()),
            "21.1 MB \u2014 5.6 MB/s|");
}
