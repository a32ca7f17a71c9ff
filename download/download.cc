#include "download/download.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "agent/cache.h"
#include "agent/extract.h"
#include "bootstrap/constants.h"
#include "download/bootstrap.h"
#include "platform/background.h"
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
  platform.log = systemLog;
  platform.mainBundle = getMainBundle;
  platform.arguments = processArguments();
  platform.report = report_error_main;
  return platform;
}

Download::Download(DownloadPlatform platform, double idleTimeout)
    : platform_(std::move(platform)),
      loop_(*platform_.loop),
      window_(*platform_.window),
      idleTimeout_(idleTimeout) {}

Download::~Download() {
  if (unpacking_) endUnpacking();
}

void Download::init() {
  bytesReceived = 0;
  window_.setProgressValue(0.0);
  window_.setStatusSingleLine(true);
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
  downloadFromURL(downloadFrom);
}

void Download::windowWillClose() {
  closed_ = true;
  if (theDownload) theDownload->cancel();
  if (unpacking_) endUnpacking();
  loop_.stop();
}

void Download::downloadFromURL(const std::string& url) {
  TransferRequest request;
  request.url = url;
  request.destination = installAgentLocation;
  request.idleTimeout = idleTimeout_;
  failingUrl_ = url;
  theDownload = platform_.startTransfer(request, *this);
}

void Download::transferDidReceiveResponse(const TransferResponse& response) {
  validationString = response.etag;
  fileLength = response.expectedLength;
  failingUrl_ = response.url.empty() ? failingUrl_ : response.url;
  if (response.status < 200 || response.status > 299) {
    // An error page is not an archive: fail now, before it is stored.
    theDownload->cancel();
    return downloadDidFail("The server answered with HTTP status " +
                               std::to_string(response.status) + ".",
                           failingUrl_);
  }
  if (isCachedAgentCurrent()) {
    window_.close();
    fireInstallAgent();
    return;
  }
  showProgressStart();
}

// A response without an ETag never matches a stamp; an agent that is not
// current is removed.
bool Download::isCachedAgentCurrent() {
  if (!useCache_) return false;
  agent_ = holdCachedAgentIfCurrent(validationString);
  return !agent_.dir().empty();
}

void Download::showProgressStart() {
  if (fileLength == -1) {
    window_.setProgressIndeterminate(true);
  } else {
    window_.setProgressMax(static_cast<double>(fileLength));
    window_.setProgressIndeterminate(false);
    window_.setStatus(percentText(0.0));
  }
  window_.setProgressAnimating(true);
}

void Download::transferDidReceiveData(uint64_t length) {
  bytesReceived += length;
  if (fileLength == -1) return;
  window_.setStatus(percentText(bytesReceived * 100.0 / fileLength));
  window_.incrementProgress(static_cast<double>(length));
  window_.displayIfNeeded();
}

void Download::failure(const std::string& message) {
  window_.setProgressAnimating(false);
  window_.setProgressIndeterminate(false);
  window_.setProgressValue(window_.progressMax());
  window_.setStatus(message);
  window_.setStatusRed(true);
}

void Download::transferDidFail(const TransferError& error) {
  downloadDidFail(error.description, error.failingUrl);
}

void Download::downloadDidFail(const std::string& description, const std::string& url) {
  platform_.log("Download failed! Error - " + description + " " + url);
  failure(kFailedDownload);
}

void Download::transferDidFinish() {
  if (fileLength != -1 && bytesReceived != fileLength) {
    // Too short or too long: not the archive the server announced.
    unlink(installAgentLocation.c_str());
    return downloadDidFail("Received " + std::to_string(bytesReceived) + " bytes of the " +
                               std::to_string(fileLength) + " announced.",
                           failingUrl_);
  }
  window_.setStatus("Initializing the installer");
  window_.setProgressIndeterminate(true);
  window_.setProgressAnimating(true);
  window_.setCancelEnabled(false);
  window_.displayIfNeeded();
  unpack();
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
  agent_ = installStagedAgent(unpackDir_, validationString);
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
