#include "download/status.h"

#include <cstdio>
#include <utility>

namespace {

const char kFailedDownload[] =
    "Error during the download process.\nSee your system log for more information.";
const char kFailedUnzip[] = "Failed to unzip the installer.";
const char kUnpacking[] = "Initializing the installer";

std::string percentText(double percent) {
  char buffer[64];
  snprintf(buffer, sizeof(buffer), "Downloading %3.0f%%", percent);
  return buffer;
}

const char* waitPhrase(FetchWait why) {
  switch (why) {
    case FetchWait::kServerBusy: return "The server is busy";
    case FetchWait::kServerTimedOut: return "The server timed out";
    case FetchWait::kConnectionLost: break;
  }
  return "Connection lost";
}

}  // namespace

std::string DownloadStatus::titleFor(const std::string& name) {
  return name.empty() ? kTitle : name + " " + kTitle;
}

DownloadStatus::DownloadStatus(DownloadWindow& window, std::function<double()> clock)
    : window_(window), clock_(std::move(clock)) {}

void DownloadStatus::reset() {
  window_.setProgressValue(0.0);
  window_.setStatusSingleLine(true);
  window_.setFiguresWording(figuresWording());
}

// Every accepted response starts the count again from the bytes kept, so
// that a continued download goes on from where it was.
void DownloadStatus::started(const FetchStart& start) {
  received_ = start.kept;
  total_ = start.total;
  double now = clock_();
  meter_.start(start.kept, start.total, now);
  window_.setTransferFigures(meter_.figures(now));
  if (total_ == -1) {
    window_.setProgressIndeterminate(true);
  } else {
    window_.setProgressMax(static_cast<double>(total_));
    window_.setProgressIndeterminate(false);
    showPercent();
  }
  window_.setProgressAnimating(true);
  window_.setCancelEnabled(true);
}

void DownloadStatus::progress(int64_t received, uint64_t arrived) {
  received_ = received;
  double now = clock_();
  meter_.add(arrived, now);
  window_.setTransferFigures(meter_.figures(now));
  if (total_ != -1) showPercent();
}

void DownloadStatus::showPercent() {
  window_.setStatus(percentText(total_ > 0 ? received_ * 100.0 / total_ : 100.0));
  window_.setProgressValue(static_cast<double>(received_));
  window_.displayIfNeeded();
}

// One status line for the wait (a log gets one line, not a countdown).
void DownloadStatus::waiting(FetchWait why, int seconds) {
  window_.setTransferFigures(TransferFigures());
  window_.setStatus(std::string(waitPhrase(why)) + "; retrying in " + std::to_string(seconds) +
                    " s");
  window_.displayIfNeeded();
}

void DownloadStatus::unpacking() {
  window_.setStatus(kUnpacking);
  window_.setTransferFigures(TransferFigures());
  window_.setProgressIndeterminate(true);
  window_.setProgressAnimating(true);
  window_.setCancelEnabled(false);
  window_.displayIfNeeded();
}

void DownloadStatus::downloadFailed() { failed(kFailedDownload); }
void DownloadStatus::unpackFailed() { failed(kFailedUnzip); }

void DownloadStatus::failed(const char* text) {
  window_.setProgressAnimating(false);
  window_.setProgressIndeterminate(false);
  window_.setProgressValue(window_.progressMax());
  window_.setStatus(text);
  window_.setStatusRed(true);
  window_.setTransferFigures(TransferFigures());
  window_.displayIfNeeded();
}
