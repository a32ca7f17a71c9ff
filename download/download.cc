#include "download/download.h"

#include <time.h>
#include <unistd.h>

#include <random>

#include "agent/partial.h"
#include "agent/sourcing.h"
#include "display/window.h"
#include "download/bootstrap.h"
#include "download/keys.h"
#include "platform/background.h"
#include "platform/clock.h"
#include "platform/proxy.h"
#include "platform/system.h"
#include "platform/task.h"
#include "util/constants.h"
#include "util/launch.h"

namespace {

double uniformRandom() {
  static std::mt19937_64 generator(std::random_device{}());
  return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
}

DownloadPlatform withDefaults(DownloadPlatform platform) {
  if (!platform.net.loop) platform.net.loop = platform.loop;
  if (!platform.net.random) platform.net.random = uniformRandom;
  if (!platform.net.wallClock) platform.net.wallClock = [] { return time(nullptr); };
  if (!platform.net.log) platform.net.log = [](const std::string&) {};
  if (!platform.clock) platform.clock = monotonicSeconds;
  if (!platform.net.clock) platform.net.clock = platform.clock;
  return platform;
}

}  // namespace

DownloadPlatform realDownloadPlatform(Loop& loop, DownloadWindow& window, ErrorReport report) {
  DownloadPlatform platform;
  platform.loop = &loop;
  platform.window = &window;
  platform.net.loop = &loop;
  platform.net.startTransfer = [&loop](const TransferRequest& request, TransferDelegate& delegate) {
    return startTransfer(loop, request, delegate);
  };
  platform.net.log = [&window](const std::string& line) {
    systemLog(line);
    window.logLine(line);
  };
  platform.launchTask = launchTask;
  platform.runInBackground = [&loop](const std::string& line, std::function<void(int)> done) {
    std::shared_ptr<BackgroundCommand> command = runInBackground(loop, line, std::move(done));
    return command ? std::function<void()>([command]() mutable { command.reset(); })
                   : std::function<void()>();
  };
  platform.resourceDir = getBundleLocation();
  platform.arguments = processArguments();
  platform.report = report;
  platform.proxies.lookUp = [&loop](const std::string& url, double seconds, DesktopProxiesDone done) {
    return lookUpDesktopProxies(loop, url, seconds, std::move(done));
  };
  return platform;
}

Download::Download(DownloadPlatform platform, double idleTimeout)
    : platform_(withDefaults(std::move(platform))),
      loop_(*platform_.loop),
      window_(*platform_.window),
      idleTimeout_(idleTimeout),
      status_(window_, loop_, platform_.clock),
      archive_(platform_.net, *this),
      unpacking_(platform_.runInBackground, platform_.report, systemLog),
      proxy_(loop_, platform_.proxies, platform_.net.log) {
  platform_.net.startTransfer = proxy_.through(platform_.net.startTransfer);
}

Download::~Download() {
  if (closeTimer_) loop_.cancelTimer(closeTimer_);
}

void Download::init() {
  status_.reset();
  installAgentLocation = downloadTo;
  window_.setCloseHandler([this] { windowWillClose(); });
  window_.setTryAgainHandler([this] { tryAgain(); });
}

void Download::applicationDidFinishLaunching() {
  const std::string& resources = platform_.resourceDir;
  if (resources.empty()) return;
  std::string splash = appendPathComponent(resources, "splash.png");
  if (fileExists(splash)) {
    window_.setSplash(splash, 400.0, 400.0);
    window_.displayIfNeeded();
  }
  // The built-in keys and those beside the product: the agent must come
  // signed by one of them.
  std::vector<PublicKey> keys;
  std::string error;
  if (!bundleKeys(resources, &keys, &error)) {
    if (platform_.report) platform_.report(error, true);
    return;
  }
  signature_ = std::make_unique<SignatureCheck>(platform_.net, std::move(keys));
  started_ = true;  // the loop runs while the desktop is asked for a proxy
  proxy_.choose(downloadFrom, [this] { downloadFromURL(downloadFrom); });
}

void Download::windowWillClose() {
  proxy_.cancel();
  archive_.cancel();
  if (signature_) signature_->cancel();
  if (unpacking_.running()) unpacking_.stop();
  loop_.stop();
}

// A current-looking cached agent is asked about with its stamp; bytes of an
// earlier run's broken download are continued. A cache that another user
// could have planted in is neither read nor written: the archive goes to
// the work directory and the agent is unpacked beside it.
void Download::downloadFromURL(const std::string& url) {
  url_ = url;
  archivePath_ = installAgentLocation;
  status_.connecting(url);
  FetchRequest request;
  request.url = url;
  request.idleTimeout = idleTimeout_;
  if (platform_.useCache) {
    std::string cacheDir = getInstallAgentCacheDir();
    if (!installAgentDirOnDisk().empty() && cachedAgentWasChecked())
      stamp_ = readValidationString(cacheDir);
    // A date is sent alone: servers that have ETags want both to match.
    request.ifModifiedSince = stampedDate(stamp_);
    if (request.ifModifiedSince.empty()) request.ifNoneMatch = stamp_;
    if (!part_) part_ = std::make_unique<KeptPart>(cacheDir);  // Try Again keeps its own
    if (part_->locked()) {
      archivePath_ = part_->path();
      request.part = part_.get();
      request.keptBytes = part_->keptFor(url, &request.keptEtag, &request.keptTotal);
    } else {
      part_.reset();  // another run is downloading into it
    }
  }
  request.destination = archivePath_;
  started_ = true;
  archive_.start(request);
}

// A response without a validator never matches a stamp.
bool Download::fetchWantsBody(const FetchStart& offered) {
  validationString = validationStringFor(offered.etag, offered.lastModified);
  return !startCachedAgentIfCurrent();
}

bool Download::fetchNotModified() {
  validationString = stamp_;
  return startCachedAgentIfCurrent();
}

bool Download::startCachedAgentIfCurrent() {
  if (!platform_.useCache || !cachedAgentWasChecked()) return false;
  // With keys, an agent is replaced only by one whose signature checks; an
  // agent that is not current is otherwise removed.
  agent_ = holdCachedAgentIfCurrent(validationString, !signature_->required());
  if (agent_.dir().empty()) return false;
  window_.close();
  fireInstallAgent();
  return true;
}

// Without keys every cached agent counts; with keys, only one checked with
// one of them when it was cached.
bool Download::cachedAgentWasChecked() {
  if (!signature_->required()) return true;
  SignatureInfo info;
  std::string error;
  return checkStoredSignature(readAgentSignature(), signature_->keys(), &info, &error);
}

void Download::fetchAccepted(const FetchStart& start) {
  received_ = start.kept;
  continued_ = start.kept > 0;
  signature_->archiveStarted(archivePath_);
  std::string resumed = status_.started(start);
  if (!resumed.empty()) platform_.net.log(resumed);
}

void Download::fetchProgress(int64_t received) {
  signature_->archiveWritten(received);
  status_.progress(received, static_cast<uint64_t>(received - received_));
  received_ = received;
}

void Download::fetchWaiting(FetchWait why, int seconds) { status_.waiting(why, seconds); }

void Download::fetchFailed(const FetchError& error) {
  logFailure(error.description, error.url);
  offerToTryAgain(status_.downloadFailed(error));
}

void Download::fetchFinished() {
  if (!signature_->required()) return startUnpacking();
  signature_->check(
      url_, downloadTo + ".minisig", idleTimeout_, readAgentSignature(), agentSignatureTime(),
      [this](FetchWait why, int seconds) { status_.waiting(why, seconds); },
      [this](const std::string& error, const std::string& url) { signatureChecked(error, url); });
}

// A failed check removes the archive and leaves the cache as it was.
void Download::signatureChecked(const std::string& error, const std::string& url) {
  if (error.empty()) return startUnpacking();
  if (part_) part_->discard();
  unlink(archivePath_.c_str());
  if (fetchWholeOnceMore()) return;
  logFailure(error, url);
  offerToTryAgain(status_.signatureFailed(url_));
}

// An archive that continued bytes kept earlier and then fails (the kept
// bytes damaged on disk, a file changed under the same ETag) is fetched
// once more from its first byte before the run fails.
bool Download::fetchWholeOnceMore() {
  if (!continued_ || refetched_) return false;
  refetched_ = true;
  continued_ = false;
  platform_.net.log("The continued archive did not check; downloading it again from the start. " +
                    url_);
  if (part_) part_->discard();
  FetchRequest request;
  request.url = url_;
  request.destination = archivePath_;
  request.idleTimeout = idleTimeout_;
  request.part = part_.get();
  archive_.start(request);
  return true;
}

void Download::logFailure(const std::string& description, const std::string& url) {
  platform_.net.log("Download failed! Error - " + description + " " + url);
}

// A window waits for its person, who may try again where that can help;
// nobody may be watching a terminal: the run ends with the message shown.
void Download::offerToTryAgain(bool helps) {
  canTryAgain_ = helps;
  if (window_.canBeClosedByUser() || closeTimer_) return;
  closeTimer_ = loop_.addTimer(0, [this] {
    closeTimer_ = 0;
    window_.close();
  });
}

// Where a failure left the window: the download once more, continuing
// what is kept.
void Download::tryAgain() {
  if (!canTryAgain_) return;
  canTryAgain_ = continued_ = refetched_ = false;
  status_.retrying();
  downloadFromURL(url_);
}

void Download::startUnpacking() {
  window_.logLine(status_.unpacking());
  std::string workAgentDir =
      stripLastComponent(installAgentLocation) + FILE_SEPARATOR + INSTALL_AGENT_DIR_NAME;
  unpacking_.start(archivePath_, platform_.useCache, workAgentDir, validationString,
                   signature_->signature(), stripLastComponent(installAgentLocation) + "/unzip.log",
                   [this](AgentHold placed) { agentPlaced(std::move(placed)); });
}

void Download::agentPlaced(AgentHold placed) {
  agent_ = std::move(placed);
  if (agent_.dir().empty() && fetchWholeOnceMore()) return;
  if (agent_.dir().empty()) {
    std::string where = platform_.useCache ? getInstallAgentCacheDir()
                                           : stripLastComponent(installAgentLocation);
    return offerToTryAgain(status_.unpackFailed(unpacking_.outOfSpace(), where));
  }
  fireInstallAgent();
  loop_.stop();
}

// Starts the agent where it was found or placed; a path looked up again
// could meanwhile have been changed by a concurrent run.
void Download::fireInstallAgent() {
  if (!agent_.dir().empty()) {
    installAgentLocation = agent_.dir();
    const std::vector<std::string>& all = platform_.arguments;
    std::vector<std::string> user(all.begin() + (all.empty() ? 0 : 1), all.end());
    std::vector<std::string> arguments = installAgentArguments(platform_.resourceDir, user);
    arguments.insert(arguments.begin(), getInstallAgentExecutable(installAgentLocation));
    agent_.shareWithChildren();
    agentTask_ = platform_.launchTask("/bin/sh", arguments);
  }
  if (agentTask_ < 0 && platform_.report) platform_.report("Failed to start the instal agent", true);
}
