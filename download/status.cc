#include "download/status.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include "agent/cache.h"
#include "util/translation.h"

namespace {

const char kFailedDownload[] =
    N_("Error during the download process.\nSee your system log for more information.");
const char kFailedUnzip[] = N_("Failed to unzip the installer.");

std::string percentText(double percent) {
  return sayf(_("Downloading %s%%"), localDecimal(percent, 0).c_str());
}

// Only a connection that was made can be lost: a wait after an attempt
// that never got an answer says the server could not be reached.
const char* waitPhrase(FetchWait why, bool answered) {
  switch (why) {
    case FetchWait::kServerBusy: return _("The server is busy");
    case FetchWait::kServerTimedOut: return _("The server timed out");
    case FetchWait::kConnectionLost: break;
  }
  return answered ? _("Connection lost") : _("Cannot connect");
}

// "Connection lost; retrying in 5 s".
std::string countdown(const std::string& phrase, int seconds) {
  return sayf(_("%s; retrying in %d s"), phrase.c_str(), seconds);
}

}  // namespace

std::string DownloadStatus::titleFor(const std::string& name) {
  /* TRANSLATORS: the window's title: the product's name, then "Setup". */
  return name.empty() ? _(kTitle) : sayf(_("%s Setup"), name.c_str());
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
  window_.setStatus(sayf(_("Connecting to %s\u2026"), hostOf(url).c_str()));
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
    window_.setStatus(_(kUntilStatus));  // no percentage to give
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
  updating_ = sayf(_("Updating the installer: %s of %s needed"), localBytes(needed).c_str(),
                   localBytes(total).c_str());
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
    window_.updateStatus(countdown(waitPhrase_, left));
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
  window_.setStatus(countdown(waitPhrase_, seconds));
  window_.setProgressIndeterminate(true);
  window_.setProgressAnimating(true);
  window_.displayIfNeeded();
  ticker_ = loop_.addTimer(1.0, [this] { tick(); });
}

std::string DownloadStatus::unpacking() {
  double took = clock_() - began_;
  int64_t amount = received_;
  stopTicking();
  window_.setStatus(_("Initializing the installer"));
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
  return sayf(triedAgain_ ? _("Downloaded the installer after trying again: %s in %s")
                          : _("Downloaded the installer: %s in %s"),
              localBytes(amount).c_str(), time);
}

// What a failed transfer means to a person, and what they can do.
bool DownloadStatus::downloadFailed(const FetchError& error) {
  std::string hostName = hostOf(error.url);
  const char* host = hostName.c_str();
  int status = error.status;
  const char* text = kFailedDownload;
  switch (error.failure) {
    case FetchFailure::kCannotReach:
      failed(sayf(_("Cannot reach %s."), host),
             again(_("Check the network connection or the proxy settings, then press Try Again."),
                   _("Check the network connection or the proxy settings, then run the installer "
                     "again.")),
             text, true);
      return true;
    case FetchFailure::kConnectionLost:
      failed(sayf(_("The connection to %s was lost."), host),
             again(_("Press Try Again: the download goes on where it stopped."),
                   _("Run the installer again: the download goes on where it stopped.")),
             text, true);
      return true;
    case FetchFailure::kServerStatus:
      if (status == 429 || status == 503) {
        failed(sayf(_("The server %s is busy."), host), waitAdvice(), text, true);
      } else if (status == 408 || status == 504) {
        failed(sayf(_("The server %s did not answer in time."), host), waitAdvice(), text, true);
      } else if (status >= 500) {
        failed(sayf(_("The server %s failed (HTTP status %d)."), host, status),
               waitAdvice() + " " + _("If it goes on, contact the vendor."), text, true);
      } else {
        failed(sayf(_("The server %s does not have the installer (HTTP status %d)."), host, status),
               _("Contact the vendor."), text, false);
        return false;
      }
      return true;
    case FetchFailure::kLocalWrite: {
      // "Cannot write <path>: <reason>", as the transfer says it: the
      // system's reason is already in the user's language.
      bool full = error.description.find("No space left") != std::string::npos;
      failed(full ? sayf(_("Not enough disk space: %s."), error.description.c_str())
                  : error.description + ".",
             full ? spaceAdvice() : _("Check the folder's permissions."), text, full);
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
      failed(sayf(_("The connection to %s cannot be trusted."), host),
             _("Check the computer's date and the network; if it goes on, contact the vendor."), text,
             false);
      return false;
    default:
      failed(sayf(_("The server %s did not send the installer correctly."), host),
             _("Contact the vendor."), text, false);
      return false;
  }
}

bool DownloadStatus::signatureFailed(const std::string& url) {
  failed(sayf(_("The installer from %s was damaged or is not signed by the product's key."),
              hostOf(url).c_str()),
         _("Do not try again; contact the vendor."), kFailedDownload, false);
  return false;
}

bool DownloadStatus::releaseKeptChanging(const std::string& url) {
  failed(sayf(_("The installer on %s changed while it was being downloaded."), hostOf(url).c_str()),
         waitAdvice(), kFailedDownload, true);
  return true;
}

bool DownloadStatus::unpackFailed(bool outOfSpace, const std::string& where) {
  if (outOfSpace) {
    failed(sayf(_("Not enough disk space to unpack the installer in %s."), where.c_str()),
           spaceAdvice(), kFailedUnzip, true);
    return true;
  }
  failed(_("The installer could not be unpacked."), _("Contact the vendor."), kFailedUnzip, false);
  return false;
}

bool DownloadStatus::noInstallScript() {
  failed(_(kNoInstallScript), _("Contact the vendor."), "", false);
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
  return again(_("Wait a few minutes, then press Try Again."),
               _("Wait a few minutes, then run the installer again."));
}

std::string DownloadStatus::spaceAdvice() const {
  return again(_("Free some disk space, then press Try Again."),
               _("Free some disk space, then run the installer again."));
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
  window_.setFailureDetail(advice, *text ? _(text) : "");
  window_.setControls(retryable ? WindowControls::kCloseOrTryAgain : WindowControls::kClose);
  window_.displayIfNeeded();
}
