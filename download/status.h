#ifndef SETUP_DOWNLOAD_STATUS_H_
#define SETUP_DOWNLOAD_STATUS_H_

#include <cstdint>
#include <functional>
#include <string>

#include "display/window.h"
#include "platform/loop.h"
#include "download/fetch.h"
#include "download/progress.h"
#include "util/translation.h"

// Everything the download window says, worded here and nowhere else: the
// title, the percentage and figures, a retry's wait, the unpacking and the
// failure texts. The front end reports where the run stands; this puts it on
// the window.
class DownloadStatus {
 public:
  // The window's title, and its status until the server has answered.
  static constexpr const char* kTitle = N_("Installer");
  static constexpr const char* kUntilStatus = N_("Downloading the installer");
  // The title for a product known by |name| ("Sample Product Setup"; empty:
  // kTitle). A terminal's first line names the product the same way.
  static std::string titleFor(const std::string& name);

  // |clock|: seconds that never jump, for the speed; |loop| runs the
  // once-a-second refresh of a countdown and of a stalled transfer.
  DownloadStatus(DownloadWindow& window, Loop& loop, std::function<double()> clock);
  ~DownloadStatus();

  // Texts are in the user's language (kTitle and kUntilStatus are looked up
// where they are shown); the lines it returns for the log stay English.
// A fresh window: empty bar, one-line status, the figures' wording.
  void reset();
  // Before the server has answered: "Connecting to <host>…", pulsing.
  void connecting(const std::string& url);
  // A body starts, continuing |start.kept| of |start.total| bytes (-1:
  // unknown). Returns the line to log when it continues kept bytes.
  std::string started(const FetchStart& start);
  void progress(int64_t received, uint64_t arrived);
  // An update by delta starts: |needed| bytes of the |total| of the archive
  // will be fetched, and progress() counts those.
  void updating(int64_t needed, int64_t total);
  // A wait before the next attempt, counted down.
  void waiting(FetchWait why, int seconds);
  // The archive is whole: unpacking starts. Returns the summary line.
  std::string unpacking();

  // Failures: what happened in red, under it what to do, then the
  // general words. Each returns whether trying again may help.
  bool downloadFailed(const FetchError& error);
  bool signatureFailed(const std::string& url);
  // The archive at |url| changed under every download of this run.
  bool releaseKeptChanging(const std::string& url);
  bool unpackFailed(bool outOfSpace, const std::string& where);
  // The archive unpacked, but holds no "install" script at its top level.
  bool noInstallScript();
  // Before the body: |shortfall| says what is needed, where, what is free.
  bool notEnoughSpace(const std::string& shortfall);
  // Asks the person at the window for the user name and password of
  // |proxy| ("host:port"); |again|: those sent were refused. False where
  // nobody can be asked (DownloadWindow::askProxyLogin).
  bool askProxyLogin(const std::string& proxy, bool again, ProxyLoginAnswer answer);
  // The window shows the download again after a failure (Try Again).
  void retrying();

 private:
  void failed(const std::string& cause, const std::string& advice, const char* text,
              bool retryable);
  std::string again(const char* withButton, const char* withoutButton) const;
  std::string waitAdvice() const;
  std::string spaceAdvice() const;
  void showPercent();
  void tick();
  void stopTicking();

  DownloadWindow& window_;
  Loop& loop_;
  std::function<double()> clock_;
  std::string updating_;  // the status text of an update by delta
  ProgressMeter meter_;
  int64_t received_ = 0;
  int64_t total_ = -1;
  double began_ = 0;     // when this attempt's body began
  Loop::Handle ticker_ = 0;
  std::string waitPhrase_;  // while a retry is waited for: its phrase
  double waitUntil_ = 0;
  bool flowing_ = false;    // a body is arriving
  bool answered_ = false;   // the server answered since the last wait
  bool triedAgain_ = false;  // Try Again was pressed
};

// The host of |url| (with its port), for messages.
std::string hostOf(const std::string& url);

#endif  // SETUP_DOWNLOAD_STATUS_H_
