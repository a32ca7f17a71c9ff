#include "download/download.h"

#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <cmath>
#include <cstdio>
#include <random>

#include "agent/cache.h"
#include "agent/extract.h"
#include "agent/partial.h"
#include "download/hash_behind.h"
#include "bootstrap/constants.h"
#include "download/bootstrap.h"
#include "platform/background.h"
#include "platform/clock.h"
#include "platform/loop.h"
#include "platform/system.h"
#include "platform/task.h"
#include "platform/display/window.h"
#include "util/exe_path.h"
#include "util/launch.h"

namespace {

const char kFailedDownload[] =
    "Error during the download process.\nSee your system log for more information.";
const char kFailedUnzip[] = "Failed to unzip the installer.";

std::string percentText(double percent) {
  char buffer[64];
  snprintf(buffer, sizeof(buffer), "Downloading %3.0f%%", percent);
  return buffer;
}

double uniformRandom() {
  static std::mt19937_64 generator(std::random_device{}());
  return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
}

DownloadPlatform withDefaults(DownloadPlatform platform) {
  if (!platform.random) platform.random = uniformRandom;
  if (!platform.wallClock) platform.wallClock = [] { return time(nullptr); };
  if (!platform.clock) platform.clock = monotonicSeconds;
  return platform;
}

bool fileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

DownloadPlatform realDownloadPlatform(Loop& loop, DownloadWindow& window) {
  DownloadPlatform platform;
  platform.loop = &loop;
  platform.window = &window;
  platform.startTransfer = [&loop](const TransferRequest& request, TransferDelegate& delegate) {
    return startTransfer(loop, request, delegate);
  };
  platform.launchTask = launchTask;
  platform.runInBackground = [&loop](const std::string& line, std::function<void(int)> done) {
    std::shared_ptr<BackgroundCommand> command = runInBackground(loop, line, std::move(done));
    return command ? std::function<void()>([command]() mutable { command.reset(); })
                   : std::function<void()>();
  };
  platform.log = [&window](const std::string& line) {
    systemLog(line);
    window.logLine(line);
  };
  platform.mainBundle = getMainBundle;
  platform.arguments = processArguments();
  platform.report = report_error_main;
  return platform;
}

Download::Download(DownloadPlatform platform, double idleTimeout)
    : platform_(withDefaults(std::move(platform))),
      loop_(*platform_.loop),
      window_(*platform_.window),
      idleTimeout_(idleTimeout),
      retry_(platform_.random) {}

Download::~Download() {
  if (retryTimer_) loop_.cancelTimer(retryTimer_);
  if (closeTimer_) loop_.cancelTimer(closeTimer_);
  if (unpacking_) endUnpacking();
}

void Download::init() {
  bytesReceived = 0;
  window_.setProgressValue(0.0);
  window_.setStatusSingleLine(true);
  window_.setFiguresWording(figuresWording());
  installAgentLocation = downloadTo;
  // A cache that another user could have planted in is neither read nor
  // written: the agent is unpacked beside the archive, in the work directory.
  useCache_ = platform_.useCache;
  window_.setCloseHandler([this] { windowWillClose(); });
}

void Download::applicationDidFinishLaunching() {
  MainBundle bundle;
  if (!platform_.mainBundle(&bundle)) return;
  std::string splash = appendPathComponent(bundle.resourcePath, "splash.png");
  if (fileExists(splash)) {
    window_.setSplash(splash, 400.0, 400.0);
    window_.displayIfNeeded();
  }
  // Keys beside the product: the agent must come signed by one of them.
  std::string keyFile = appendPathComponent(bundle.resourcePath, "InstallAgent.pub");
  std::string error;
  if (fileExists(keyFile) && !loadPublicKeys(keyFile, &keys_, &error)) {
    if (platform_.report) platform_.report(error, true);
    return;
  }
  downloadFromURL(downloadFrom);
}

void Download::windowWillClose() {
  closed_ = true;
  if (theDownload) theDownload->cancel();
  if (unpacking_) endUnpacking();
  loop_.stop();
}

void Download::downloadFromURL(const std::string& url) {
  url_ = failingUrl_ = url;
  if (useCache_) {
    // A current-looking cached agent is asked about with its stamp; bytes of
    // an earlier run's broken download are continued.
    std::string cacheDir = getInstallAgentCacheDir();
    if (!installAgentDirOnDisk().empty() && cachedAgentWasChecked())
      stamp_ = readValidationString(cacheDir);
    part_ = std::make_unique<KeptPart>(cacheDir);
    if (part_->locked()) {
      installAgentLocation = part_->path();
      offset_ = part_->keptFor(url, &partEtag_, &fileLength);
    } else {
      part_.reset();  // another run is downloading into it
    }
  }
  startAttempt();
}

void Download::startAttempt() {
  retryTimer_ = 0;
  TransferRequest request;
  request.url = fetchingSignature_ ? url_ + ".minisig" : url_;
  request.destination = fetchingSignature_ ? signaturePath() : installAgentLocation;
  request.idleTimeout = idleTimeout_;
  request.keepPartial = true;  // what is not kept, failure() removes
  conditional_ = offset_ == 0 && !stamp_.empty();
  if (conditional_) request.ifNoneMatch = stamp_;
  if (offset_ > 0) {
    request.rangeStart = offset_;
    request.ifRange = partEtag_;
  }
  attemptBytes_ = 0;
  retry_.attemptStarted();
  theDownload = platform_.startTransfer(request, *this);
}

void Download::transferDidReceiveResponse(const TransferResponse& response) {
  failingUrl_ = response.url.empty() ? failingUrl_ : response.url;
  if (fetchingSignature_) return signatureResponse(response);
  if (response.status == 304) return notModified(response);
  if (isTransientStatus(response.status)) return retryAfterStatus(response);
  if (response.status == 416 && offset_ > 0) return restartFromZero();
  if (response.status < 200 || response.status > 299) {
    // An error page is not an archive: fail now, before it is stored.
    theDownload->cancel();
    return downloadDidFail("The server answered with HTTP status " +
                               std::to_string(response.status) + ".",
                           failingUrl_);
  }
  validationString = response.etag;
  if (isCachedAgentCurrent()) {
    theDownload->cancel();
    window_.close();
    fireInstallAgent();
    return;
  }
  if (!acceptBody(response)) return restartFromZero();
  showProgressStart();
}

// A 304 says the cached agent is current, unless it names another ETag.
void Download::notModified(const TransferResponse& response) {
  theDownload->cancel();
  if (!conditional_)
    return downloadDidFail("The server answered with HTTP status 304.", failingUrl_);
  bool sameEtag = response.etag.empty() || response.etag == stamp_;
  validationString = stamp_;
  stamp_.clear();  // asked once; the next attempt carries no condition
  if (sameEtag && isCachedAgentCurrent()) {
    window_.close();
    fireInstallAgent();
    return;
  }
  startAttempt();
}

// Where the body goes: after the kept bytes for a 206 that continues them,
// else over them. False for a 206 that does not fit what is kept.
bool Download::acceptBody(const TransferResponse& response) {
  if (response.status == 206) {
    if (offset_ == 0 || response.rangeStart != offset_ || response.rangeTotal != fileLength)
      return false;
    theDownload->writeBodyAt(offset_);
    hashAsItArrives();
    return true;
  }
  offset_ = 0;
  fileLength = response.expectedLength;
  partEtag_ = isStrongEtag(response.etag) ? response.etag : "";
  if (part_) part_->forget();
  theDownload->writeBodyAt(0);
  if (part_ && !partEtag_.empty() && fileLength > 0) part_->describe(url_, partEtag_, fileLength);
  hashAsItArrives();
  return true;
}

// Hashing starts at the file's first byte, so a continued part is hashed
// once, when this run continues it.
void Download::hashAsItArrives() {
  hash_.reset();
  if (!keys_.empty()) hash_ = std::make_unique<HashBehind>(installAgentLocation);
}

// The kept bytes cannot be continued: once more from the start, at once.
void Download::restartFromZero() {
  theDownload->cancel();
  if (part_) part_->discard();
  offset_ = 0;
  partEtag_.clear();
  startAttempt();
}

void Download::retryAfterStatus(const TransferResponse& response) {
  theDownload->cancel();
  std::string reason = "The server answered with HTTP status " + std::to_string(response.status) + ".";
  double wait = retry_.backoffSeconds();
  if (response.status == 429 || response.status == 503) {
    double asked = retryAfterSeconds(response.retryAfter, platform_.wallClock());
    if (asked > 60)
      return downloadDidFail(reason + " It asked to be tried again in " +
                                 std::to_string(static_cast<long long>(asked)) + " s.",
                             failingUrl_);
    if (asked >= 0) wait = std::max(1.0, asked);
  }
  retryOrFail(reason, response.status == 408 ? "The server timed out" : "The server is busy", wait);
}

// Another attempt after |wait| seconds, continuing the kept bytes, unless
// the bounds say the download has failed.
void Download::retryOrFail(const std::string& reason, const std::string& phrase, double wait) {
  int64_t reached = offset_ + attemptBytes_;
  if (!retry_.mayRetry(reached)) return downloadDidFail(reason, failingUrl_);
  offset_ = partEtag_.empty() ? 0 : reached;
  int seconds = std::max(1, static_cast<int>(std::ceil(wait)));
  platform_.log("Download interrupted: " + reason + " Retrying in " + std::to_string(seconds) +
                " s. " + failingUrl_);
  waitThenRetry(phrase, seconds);
}

// One status line for the wait (a log gets one line, not a countdown);
// Cancel works throughout.
void Download::waitThenRetry(const std::string& phrase, int seconds) {
  clearFigures();
  window_.setStatus(phrase + "; retrying in " + std::to_string(seconds) + " s");
  window_.displayIfNeeded();
  retryTimer_ = loop_.addTimer(seconds, [this] { startAttempt(); });
}

// A response without an ETag never matches a stamp; an agent that is not
// current is removed.
bool Download::isCachedAgentCurrent() {
  if (!useCache_ || !cachedAgentWasChecked()) return false;
  // With keys, an agent is replaced only by one whose signature checks.
  agent_ = holdCachedAgentIfCurrent(validationString, keys_.empty());
  return !agent_.dir().empty();
}

// Without keys every cached agent counts; with keys, only one checked with
// one of them when it was cached.
bool Download::cachedAgentWasChecked() {
  SignatureInfo info;
  std::string error;
  return keys_.empty() || checkStoredSignature(readAgentSignature(), keys_, &info, &error);
}

// Every accepted response starts the count again from the bytes kept, so
// that a continued download goes on from where it was.
void Download::showProgressStart() {
  bytesReceived = offset_;
  meter_.start(offset_, fileLength, platform_.clock());
  window_.setTransferFigures(meter_.figures(platform_.clock()));
  if (fileLength == -1) {
    window_.setProgressIndeterminate(true);
  } else {
    window_.setProgressMax(static_cast<double>(fileLength));
    window_.setProgressIndeterminate(false);
    showProgress();
  }
  window_.setProgressAnimating(true);
}

void Download::showProgress() {
  window_.setStatus(percentText(bytesReceived * 100.0 / fileLength));
  window_.setProgressValue(static_cast<double>(bytesReceived));
  window_.displayIfNeeded();
}

void Download::transferDidReceiveData(uint64_t length) {
  attemptBytes_ += length;
  if (fetchingSignature_) {
    if (attemptBytes_ > static_cast<int64_t>(kMaxSignatureBytes)) signatureTooLarge();
    return;
  }
  if (hash_) hash_->written(offset_ + attemptBytes_);
  bytesReceived = offset_ + attemptBytes_;
  double now = platform_.clock();
  meter_.add(length, now);
  window_.setTransferFigures(meter_.figures(now));
  if (fileLength != -1) showProgress();
}

void Download::clearFigures() { window_.setTransferFigures(TransferFigures()); }

void Download::failure(const std::string& message) {
  window_.setProgressAnimating(false);
  window_.setProgressIndeterminate(false);
  window_.setProgressValue(window_.progressMax());
  window_.setStatus(message);
  window_.setStatusRed(true);
  clearFigures();
  window_.displayIfNeeded();
  // Nobody may be watching a terminal: the run ends with the message shown.
  if (!window_.canBeClosedByUser() && !closeTimer_)
    closeTimer_ = loop_.addTimer(0, [this] {
      closeTimer_ = 0;
      window_.close();
    });
}

// An idle connection is worth another try only when it had given bytes: a
// server that never answers fails after the idle limit.
void Download::transferDidFail(const TransferError& error) {
  failingUrl_ = error.failingUrl;
  bool transient = error.fault == TransferFault::kNetwork ||
                   (error.fault == TransferFault::kIdle && attemptBytes_ > 0);
  if (transient) return retryOrFail(error.description, "Connection lost", retry_.backoffSeconds());
  downloadDidFail(error.description, error.failingUrl);
}

// Bytes of an archive with a strong ETag stay in the cache for a later run;
// anything else received is removed.
void Download::downloadDidFail(const std::string& description, const std::string& url) {
  if (!keepsPart()) unlink(installAgentLocation.c_str());
  platform_.log("Download failed! Error - " + description + " " + url);
  failure(kFailedDownload);
}

bool Download::keepsPart() const { return part_ && !partEtag_.empty(); }

void Download::transferDidFinish() {
  if (fetchingSignature_) return checkSignature();
  int64_t received = offset_ + attemptBytes_;
  std::string count = "Received " + std::to_string(received) + " bytes of the " +
                      std::to_string(fileLength) + " announced.";
  if (fileLength != -1 && received < fileLength)  // the connection closed early
    return retryOrFail(count, "Connection lost", retry_.backoffSeconds());
  if (fileLength != -1 && received > fileLength) {
    // Too long: not the archive the server announced.
    partEtag_.clear();
    if (part_) part_->discard();
    return downloadDidFail(count, failingUrl_);
  }
  if (part_) part_->forget();  // whole: nothing to continue
  if (!keys_.empty()) return fetchSignature();
  startUnpacking();
}

void Download::startUnpacking() {
  window_.setStatus("Initializing the installer");
  clearFigures();
  window_.setProgressIndeterminate(true);
  window_.setProgressAnimating(true);
  window_.setCancelEnabled(false);
  window_.displayIfNeeded();
  unpack();
}

// The signature is fetched like the archive (same rules, same retries),
// from the archive's URL and ".minisig"; the archive goes if it fails.
void Download::fetchSignature() {
  fetchingSignature_ = true;
  partEtag_.clear();
  offset_ = 0;
  stamp_.clear();
  retry_ = RetryPolicy(platform_.random);
  startAttempt();
}

std::string Download::signaturePath() const { return downloadTo + ".minisig"; }

void Download::signatureResponse(const TransferResponse& response) {
  if (isTransientStatus(response.status)) return retryAfterStatus(response);
  if (response.status < 200 || response.status > 299) {
    theDownload->cancel();
    return signatureFailed("No signature for the archive (HTTP status " +
                           std::to_string(response.status) + ").", failingUrl_);
  }
  if (response.expectedLength > static_cast<int64_t>(kMaxSignatureBytes))
    return signatureTooLarge();
  theDownload->writeBodyAt(0);
}

void Download::signatureTooLarge() {
  theDownload->cancel();
  signatureFailed("The signature is larger than " + std::to_string(kMaxSignatureBytes) +
                      " bytes.", failingUrl_);
}

void Download::checkSignature() {
  std::string text, error;
  bool read = readRegularFile(signaturePath(), kMaxSignatureBytes + 1, &text);
  unlink(signaturePath().c_str());
  ArchiveVerifier& verifier = hash_->finish(&error);
  SignatureInfo info;
  if (!read) error = "Cannot read the signature.";
  if (error.empty() && verifier.verify(text, keys_, &info, &error) &&
      !isRollback(info, readAgentSignature(), &error)) {
    signature_ = text;
    return startUnpacking();
  }
  signatureFailed(error, url_);
}

// A failed check removes the archive and leaves the cache as it was.
void Download::signatureFailed(const std::string& reason, const std::string& url) {
  unlink(signaturePath().c_str());
  partEtag_.clear();
  if (part_) part_->discard();
  downloadDidFail(reason, url);
}

// Unpacking runs in a child process watched by the loop, so that the
// window stays responsive and closing it can end the unpacking.
void Download::unpack() {
  std::string workAgentDir = stripLastComponent(installAgentLocation) + FILE_SEPARATOR +
                             INSTALL_AGENT_DIR_NAME;
  unpackDir_ = useCache_ ? makeStagingDir() : workAgentDir;
  if (unpackDir_.empty()) return failure(kFailedUnzip);
  if (!fileExists(installAgentLocation)) return finishUnpack(false);
  unpacking_ = true;
  ErrorReport report = platform_.report;
  std::function<void()> stop = platform_.runInBackground(
      unzipCommandLine(installAgentLocation, unpackDir_, "unzip"),
      [this, report](int status) { finishUnpack(checkUnzipStatus(status, report)); });
  if (!stop) return finishUnpack(checkUnzipStatus(-1, report));
  if (unpacking_) stopUnpacking_ = std::move(stop);
}

void Download::finishUnpack(bool unpacked) {
  unpacking_ = false;
  // The archive is not needed once unpacked; the agent may run for long.
  unlink(installAgentLocation.c_str());
  if (!unpacked || !placeAgent()) {
    if (useCache_) removeItemAtPath(unpackDir_);
    failure(kFailedUnzip);
    return;
  }
  loop_.addTimer(3.0, [this] { waitForInstallAgentToStart(); });
  fireInstallAgent();
  loop_.stop();
}

// Ends the unpacking and everything it started; nothing of it stays.
void Download::endUnpacking() {
  unpacking_ = false;
  std::function<void()> stop = std::move(stopUnpacking_);
  stopUnpacking_ = nullptr;
  if (stop) stop();
  unlink(installAgentLocation.c_str());
  removeItemAtPath(unpackDir_);
}

bool Download::placeAgent() {
  if (!useCache_) {
    agent_ = AgentHold(unpackDir_ + FILE_SEPARATOR, -1, false);
    return true;
  }
  agent_ = installStagedAgent(unpackDir_, validationString, signature_);
  return !agent_.dir().empty();
}

void Download::waitForInstallAgentToStart() { window_.close(); }

// Starts the agent where it was found or placed; a path looked up again
// could meanwhile have been changed by a concurrent run.
void Download::fireInstallAgent() {
  if (agent_.dir().empty()) {
    if (platform_.report) platform_.report("Failed to start the instal agent", true);
    return;
  }
  installAgentLocation = agent_.dir();
  MainBundle bundle;
  if (platform_.mainBundle(&bundle)) {
    const std::vector<std::string>& all = platform_.arguments;
    std::vector<std::string> user(all.begin() + (all.empty() ? 0 : 1), all.end());
    std::vector<std::string> arguments = installAgentArguments(bundle.resourcePath, user);
    arguments.insert(arguments.begin(), getInstallAgentExecutable(installAgentLocation));
    agentTask_ = platform_.launchTask("/bin/sh", arguments);
  }
  if (agentTask_ < 0 && platform_.report) platform_.report("Failed to start the instal agent", true);
}
