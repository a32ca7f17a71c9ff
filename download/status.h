#ifndef SETUP_DOWNLOAD_STATUS_H_
#define SETUP_DOWNLOAD_STATUS_H_

#include <cstdint>
#include <functional>
#include <string>

#include "display/window.h"
#include "download/fetch.h"
#include "download/progress.h"

// Everything the download window says, worded here and nowhere else: the
// title, the percentage and figures, a retry's wait, the unpacking and the
// failure texts. The front end reports where the run stands; this puts it on
// the window.
class DownloadStatus {
 public:
  // The window's title, and its status until the server has answered.
  static constexpr const char* kTitle = "Installer";
  static constexpr const char* kUntilStatus = "Downloading the installer";
  // The title for a product known by |name| (empty: kTitle).
  static std::string titleFor(const std::string& name);

  // |clock|: seconds that never jump, for the speed.
  DownloadStatus(DownloadWindow& window, std::function<double()> clock);

  // A fresh window: empty bar, one-line status, the figures' wording.
  void reset();
  // A body starts, continuing |start.kept| of |start.total| bytes (-1: unknown).
  void started(const FetchStart& start);
  void progress(int64_t received, uint64_t arrived);
  void waiting(FetchWait why, int seconds);
  void unpacking();
  void downloadFailed();
  void unpackFailed();

 private:
  void failed(const char* text);
  void showPercent();

  DownloadWindow& window_;
  std::function<double()> clock_;
  ProgressMeter meter_;
  int64_t received_ = 0;
  int64_t total_ = -1;
};

#endif  // SETUP_DOWNLOAD_STATUS_H_
