#include "platform/display/window-terminal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

namespace {

std::string contents(FILE* file) {
  fflush(file);
  rewind(file);
  std::string text;
  for (int c; (c = fgetc(file)) != EOF;) text += static_cast<char>(c);
  return text;
}

// What the display writes for 1000 chunks of a download, 10 ms apart, each
// changing the text, with a log line and a failure at the end.
std::string render(bool inPlace) {
  auto loop = newPollLoop();
  FILE* out = tmpfile();
  double clock = 0;
  TerminalOptions options;
  options.inPlace = options.colour = inPlace;
  options.clock = [&] { return clock; };
  auto window = newTerminalWindow(*loop, out, options);
  window->setProgressMax(1000);
  window->setProgressIndeterminate(false);
  for (int i = 0; i <= 1000; ++i, clock += 0.01) {
    char text[32];
    snprintf(text, sizeof(text), "Downloading %5.1f%%", i / 10.0);
    window->setStatus(text);
    window->setProgressValue(i);
    window->displayIfNeeded();
  }
  window->logLine("Download failed! Error - reset");
  window->setStatus("Error during the download process.\nSee your system log.");
  window->setStatusRed(true);
  window->close();
  EXPECT_FALSE(window->canBeClosedByUser());
  std::string text = contents(out);
  fclose(out);
  return text;
}

}  // namespace

TEST(TerminalWindow, LogGetsABoundedNumberOfPlainLines) {
  std::string text = render(false);
  EXPECT_EQ(text.find('\033'), std::string::npos);
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_LE(std::count(text.begin(), text.end(), '\n'), 15);
  EXPECT_NE(text.find("Downloading   0.0%\n"), std::string::npos);
  EXPECT_NE(text.find("Download failed! Error - reset\nError during the download process.\n"
                      "See your system log.\n"),
            std::string::npos);
}

// Ten seconds of chunks: at most ten redraws a second; the log line ends
// the status line first; the failure is red.
TEST(TerminalWindow, TerminalRedrawsInPlaceAtMostTenTimesASecond) {
  std::string text = render(true);
  size_t redraws = std::count(text.begin(), text.end(), '\r');
  EXPECT_GE(redraws, 90u);
  EXPECT_LE(redraws, 103u);
  EXPECT_NE(text.find("]\nDownload failed! Error - reset\n"), std::string::npos);
  EXPECT_NE(text.find("\033[31mError during the download process.\nSee your system log.\033[0m\n"),
            std::string::npos);
}
