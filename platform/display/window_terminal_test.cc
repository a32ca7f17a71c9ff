#include "platform/display/window-terminal.h"
#include "platform/signal_watch.h"

#include <gtest/gtest.h>
#include <signal.h>

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

// Drives a window through a whole download of |chunks| equal parts.
void download(DownloadWindow& window, int chunks) {
  window.setProgressMax(chunks);
  window.setProgressIndeterminate(false);
  for (int i = 0; i <= chunks; ++i) {
    char text[32];
    snprintf(text, sizeof(text), "Downloading %3.0f%%", i * 100.0 / chunks);
    window.setStatus(text);
    if (i) window.incrementProgress(1);
    window.displayIfNeeded();
  }
  window.setStatus("Initializing the installer");
  window.setProgressIndeterminate(true);
  window.displayIfNeeded();
}

// What the display writes for a download of 100 000 chunks.
std::string render(bool isTerminal) {
  auto loop = newPollLoop();
  FILE* out = tmpfile();
  auto window = newTerminalWindow(*loop, out, isTerminal);
  download(*window, 100000);
  std::string text = contents(out);
  fclose(out);
  return text;
}

}  // namespace

TEST(TerminalWindow, LogGetsABoundedNumberOfPlainLines) {
  std::string text = render(false);
  EXPECT_EQ(text.find('\033'), std::string::npos);
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_LE(std::count(text.begin(), text.end(), '\n'), 13);
  EXPECT_NE(text.find("Downloading   0%\n"), std::string::npos);
  EXPECT_NE(text.find("Downloading 100%\nInitializing the installer\n"), std::string::npos);
}

TEST(TerminalWindow, TerminalRedrawsInPlaceOnlyWhenSomethingVisibleChanges) {
  std::string text = render(true);
  size_t redraws = std::count(text.begin(), text.end(), '\r');
  EXPECT_GE(redraws, 100u);
  EXPECT_LE(redraws, 140u);  // a percent or a bar cell, not every chunk
  EXPECT_EQ(text.find('\n'), std::string::npos);
}

TEST(TerminalWindow, FailureIsRedAndClosesTheWindow) {
  auto loop = newPollLoop();
  FILE* out = tmpfile();
  auto window = newTerminalWindow(*loop, out, true);
  int closes = 0;
  window->setCloseHandler([&] { ++closes; loop->stop(); });
  window->setStatus("Error during the download process.\nSee your system log.");
  window->setStatusRed(true);
  loop->addTimer(5, [&] { loop->stop(); });
  loop->run();
  EXPECT_EQ(closes, 1);
  EXPECT_NE(contents(out).find("\033[31mError during the download process.\nSee your system log.\033[0m\n"),
            std::string::npos);
  fclose(out);
}
