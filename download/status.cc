#include "download/status.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include "agent/cache.h"

namespace {

const char kFailedDownload[] =
    "Error during the download process.\nSee your system log for more information.";
const char kFailedUnzip[] = "Failed to unzip the installer.";
const char kUnpacking[] = "Initializing the installer";

std::string percentText(double percent) {
  char buffer[64];
  snprintf(buffer, sizeof(buffer), "Downloading %.0f%%", percent);
  return buffer;
}

// Only a connection that was made can be lost: a wait after an attempt
// that never got an answer says the server could not be reached.
const char* waitPhrase(FetchWait why, bool answered) {
  switch (why) {
    case FetchWait::kServerBusy: return "The server is busy";
    case FetchWait::kServerTimedOut: return "The server timed out";
    case FetchWait::kConnectionLost: break;
  }
  return answered ? "Connection lost" : "Cannot connect";
}

}  // namespace

std::string DownloadStatus::titleFor(const std::string& name) {
  return name.empty() ? kTitle : name + " Setup";
}

DownloadStatus::DownloadStatus(DownloadWindow& window, Loop& loop, std::function<double()> clock)
    : window_(window), loop_(loop), clock_(std::move(clock)) {}

DownloadStatus::~DownloadStatus() { stopTicking(); }

std::string hostOf(const std::string& url) {
  size_t begin = url.find("://");
  begin = begin == std::string::npos ? 0 : begin + 3;
  size_t end = url.find_first_of("/?#", begin);
  std::string host = url.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
  size_t at = host.rfind('@');  // never a user name or password
  return at == std::string::npos ? host : host.substr(at + 1);
}

void DownloadStatus::reset() {
  window_.setProgressValue(0.0);
  window_.setStatusSingleLine(true);
  window_.setFiguresWording(figuresWording());
}

void DownloadStatus::connecting(const std::string& url) {
  stopTicking();
  answered_ = false;
  window_.setStatus("Connecting to " + hostOf(url) + "\u2026");
  window_.setProgressIndeterminate(true);
  window_.setProgressAnimating(true);
  window_.displayIfNeeded();
}

// Every accepted response starts the count again from the bytes kept, so
// that a continued download goes on from where it was.
std::string DownloadStatus::started(const FetchStart& start) {
  answered_ = true;
  // The archive's end comes first: it decides between a whole download
  // and an update by delta, so the run is still connecting until then.
  if (start.tailStart > 0) return "";
  stopTicking();
  updating_.clear();
  received_ = start.kept;
  total_ = start.total;
  double now = clock_();
  began_ = now;
  flowing_ = true;
  meter_.start(start.kept, start.total, now);
  window_.setTransferFigures(meter_.figures(now));
  if (total_ == -1) {
    window_.setStatus(kUntilStatus);  // no percentage to give
    window_.setProgressIndeterminate(true);
  } else {
    window_.setProgressMax(static_cast<double>(total_));
    window_.setProgressIndeterminate(false);
    showPercent();
  }
  window_.setProgressAnimating(true);
  window_.setCancelEnabled(true);
  ticker_ = loop_.addTimer(1.0, [this] { tick(); });
  if (start.kept <= 0) return "";
  return "Resuming at " + formatSiBytes(start.kept) +
         (total_ >= 0 ? " of " + formatSiBytes(total_) : "");
}

void DownloadStatus::progress(int64_t received, uint64_t arrived) {
  received_ = received;
  double now = clock_();
  meter_.add(arrived, now);
  window_.setTransferFigures(meter_.figures(now));
  if (total_ != -1) showPercent();
}

void DownloadStatus::updating(int64_t needed, int64_t total) {
  started({0, needed, "", ""});
  updating_ = "Updating the installer: " + formatSiBytes(needed) + " of " + formatSiBytes(total) +
              " needed";
  showPercent();
}

void DownloadStatus::showPercent() {
  window_.setStatus(!updating_.empty() ? updating_
                                       : percentText(total_ > 0 ? received_ * 100.0 / total_ : 100.0));
  window_.setProgressValue(static_cast<double>(received_));
  window_.displayIfNeeded();
}

// Once a second: the countdown of a wait, or the figures of a transfer
// whose bytes may have stopped coming.
void DownloadStatus::tick() {
  ticker_ = 0;
  double now = clock_();
  if (!waitPhrase_.empty()) {
    int left = static_cast<int>(std::ceil(waitUntil_ - now));
    if (left < 1) return;
    window_.updateStatus(waitPhrase_ + "; retrying in " + std::to_string(left) + " s");
  } else if (flowing_) {
    window_.setTransferFigures(meter_.figures(now));
  } else {
    return;
  }
  window_.displayIfNeeded();
  ticker_ = loop_.addTimer(1.0, [this] { tick(); });
}

void DownloadStatus::stopTicking() {
  if (ticker_) loop_.cancelTimer(ticker_);
  ticker_ = 0;
  waitPhrase_.clear();
  flowing_ = false;
}

// One status line for the wait, counted down where it is redrawn in place
// (a log gets one line); the bar pulses meanwhile.
void DownloadStatus::waiting(FetchWait why, int seconds) {
  bool answered = answered_ || flowing_;
  stopTicking();
  answered_ = false;
  waitPhrase_ = waitPhrase(why, answered);
  waitUntil_ = clock_() + seconds;
  window_.setTransferFigures(TransferFigures());
  window_.setStatus(waitPhrase_ + "; retrying in " + std::to_string(seconds) + " s");
  window_.setProgressIndeterminate(true);
  window_.setProgressAnimating(true);
  window_.displayIfNeeded();
  ticker_ = loop_.addTimer(1.0, [this] { tick(); });
}

std::string DownloadStatus::unpacking() {
  double took = clock_() - began_;
  int64_t amount = received_;
  stopTicking();
  window_.setStatus(kUnpacking);
  window_.setTransferFigures(TransferFigures());
  window_.setProgressIndeterminate(true);
  window_.setProgressAnimating(true);
  window_.setCancelEnabled(false);
  // Drawn from the loop, after the caller has logged the summary: the
  // summary tells what came before the unpacking.
  long seconds = std::lround(std::max(0.0, took));
  char time[32];
  snprintf(time, sizeof(time), "%ld:%02ld", seconds / 60, seconds % 60);
  // After a failure on screen, the story the log tells ends with the try
  // that worked.
  return (triedAgain_ ? "Downloaded the installer after trying again: "
                      : "Downloaded the installer: ") +
         formatSiBytes(amount) + " in " + time;
}

// What a failed transfer means to a person, and what they can do.
bool DownloadStatus::downloadFailed(const FetchError& error) {
  std::string host = hostOf(error.url);
  std::string status = std::to_string(error.status);
  const char* text = kFailedDownload;
  switch (error.failure) {
    case FetchFailure::kCannotReach:
      failed("Cannot reach " + host + ".",
             again("Check the network connection or the proxy settings, then press Try Again.",
                   "Check the network connection or the proxy settings, then run the installer "
                   "again."),
             text, true);
      return true;
    case FetchFailure::kConnectionLost:
      failed("The connection to " + host + " was lost.",
             again("Press Try Again: the download goes on where it stopped.",
                   "Run the installer again: the download goes on where it stopped."),
             text, true);
      return true;
    case FetchFailure::kServerStatus:
      if (error.status == 429 || error.status == 503) {
        failed("The server " + host + " is busy.", waitAdvice(), text, true);
      } else if (error.status == 408 || error.status == 504) {
        failed("The server " + host + " did not answer in time.", waitAdvice(), text, true);
      } else if (error.status >= 500) {
        failed("The server " + host + " failed (HTTP status " + status + ").",
               waitAdvice() + " If it goes on, contact the vendor.", text, true);
      } else {
        failed("The server " + host + " does not have the installer (HTTP status " + status +
                   ").",
               "Contact the vendor.", text, false);
        return false;
      }
      return true;
    case FetchFailure::kLocalWrite: {
      // "Cannot write <path>: <reason>", as the transfer says it.
      bool full = error.description.find("No space left") != std::string::npos;
      failed(full ? "Not enough disk space: " + error.description + "." : error.description + ".",
             full ? spaceAdvice() : "Check the folder's permissions.", text, full);
      return full;
    }
    case FetchFailure::kProxyAuth: {
      // A terminal cannot be asked (a password typed there would echo), so
      // it is told what to set; the variable is the one libcurl reads first.
      std::string variable = error.url.compare(0, 6, "https:") == 0 ? "https_proxy" : "http_proxy";
      failed("The proxy " + error.proxy +
                 (error.credentialsRefused ? " did not accept the user name and password."
                                           : " asks for a user name and password."),
             window_.canBeClosedByUser()
                 ? "Check the user name and password, then press Try Again."
                 : "Set " + variable + " to http://USER:PASSWORD@" + error.proxy +
                       " (or the user name and password in the desktop's proxy settings), "
                       "then run the installer again.",
             text, true);
      return true;
    }
    case FetchFailure::kRefused:
      failed("The connection to " + host + " cannot be trusted.",
             "Check the computer's date and the network; if it goes on, contact the vendor.", text,
             false);
      return false;
    default:
      failed("The server " + host + " did not send the installer correctly.",
             "Contact the vendor.", text, false);
      return false;
  }
}

bool DownloadStatus::signatureFailed(const std::string& url) {
  failed("The installer from " + hostOf(url) + " was damaged or is not signed by the product's key.",
         "Do not try again; contact the vendor.", kFailedDownload, false);
  return false;
}

bool DownloadStatus::releaseKeptChanging(const std::string& url) {
  failed("The installer on " + hostOf(url) + " changed while it was being downloaded.",
         waitAdvice(), kFailedDownload, true);
  return true;
}

bool DownloadStatus::unpackFailed(bool outOfSpace, const std::string& where) {
  if (outOfSpace) {
    failed("Not enough disk space to unpack the installer in " + where + ".", spaceAdvice(),
           kFailedUnzip, true);
    return true;
  }
  failed("The installer could not be unpacked.", "Contact the vendor.", kFailedUnzip, false);
  return false;
}

bool DownloadStatus::noInstallScript() {
  failed(kNoInstallScript, "Contact the vendor.", "", false);
  return false;
}

bool DownloadStatus::notEnoughSpace(const std::string& shortfall) {
  failed(shortfall + ".", spaceAdvice(), kFailedDownload, true);
  return true;
}

void DownloadStatus::retrying() {
  triedAgain_ = true;
  window_.setStatusRed(false);
  window_.setStatusSingleLine(true);
  window_.setFailureDetail("", "");
  window_.setProgressShown(true);
  window_.setControls(WindowControls::kCancel);
}

// Where trying again can help, a window offers Try Again beside the
// advice; a terminal's run has ended, so the advice says to run it again.
bool DownloadStatus::askProxyLogin(const std::string& proxy, bool again,
                                   ProxyLoginAnswer answer) {
  ProxyLoginWords words;
  words.title = "Proxy Login";
  words.message = "The proxy " + proxy +
                  (again ? " did not accept the user name and password. Enter them again."
                         : " asks for a user name and password.");
  words.user = "User name:";
  words.password = "Password:";
  words.proceed = "Continue";
  words.cancel = "Cancel";
  return window_.askProxyLogin(words, std::move(answer));
}

std::string DownloadStatus::again(const char* withButton, const char* withoutButton) const {
  return window_.canBeClosedByUser() ? withButton : withoutButton;
}

std::string DownloadStatus::waitAdvice() const {
  return again("Wait a few minutes, then press Try Again.",
               "Wait a few minutes, then run the installer again.");
}

std::string DownloadStatus::spaceAdvice() const {
  return again("Free some disk space, then press Try Again.",
               "Free some disk space, then run the installer again.");
}

// The cause is what a person reads first, in red, then what to do; the
// general words come last. A bar that stopped where the run failed says
// nothing true any more (a screen reader would read a full one as done),
// so it goes.
void DownloadStatus::failed(const std::string& cause, const std::string& advice,
                            const char* text, bool retryable) {
  stopTicking();
  window_.setProgressAnimating(false);
  window_.setProgressIndeterminate(false);
  window_.setProgressShown(false);
  window_.setStatusSingleLine(false);
  window_.setStatus(cause);
  window_.setStatusRed(true);
  window_.setTransferFigures(TransferFigures());
  window_.setFailureDetail(advice, text);
  window_.setControls(retryable ? WindowControls::kCloseOrTryAgain : WindowControls::kClose);
  window_.displayIfNeeded();
}
