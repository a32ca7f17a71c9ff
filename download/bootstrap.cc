#include "download/bootstrap.h"

#include <cstdlib>

#include "agent/cache.h"
#include "agent/sourcing.h"
#include "agent/unzip_batches.h"
#include "display/display.h"
#include "download/download.h"
#include "download/identity.h"
#include "download/status.h"
#include "platform/file_copy.h"
#include "platform/proxy.h"
#include "platform/signal_watch.h"
#include "platform/system.h"
#include "platform/task.h"
#include "util/constants.h"
#include "util/translation.h"

std::string downloadTo;
std::string downloadFrom;
std::string downloadMirrors;

namespace {

bool downloadUsesCache = false;
ErrorReport downloadReport = nullptr;
int downloadAgentStatus = 0;

// The real platform around |loop| and |window|: the run's log goes to the
// system log, and the display shows it only where standard error is
// itself a log.
DownloadPlatform realDownloadPlatform(Loop& loop, DownloadWindow& window) {
  DownloadPlatform platform;
  platform.loop = &loop;
  platform.window = &window;
  platform.net.loop = &loop;
  platform.net.startTransfer = [&loop](const TransferRequest& request, TransferDelegate& delegate) {
    return startTransfer(loop, request, delegate);
  };
  platform.net.log = [&window](const std::string& line) {
    systemLog(line);
    window.logDetail(line);
  };
  platform.launchTask = launchTask;
  platform.runInBackground = runOnLoop(loop);
  platform.resourceDir = getBundleLocation();
  platform.mirrors = splitUrls(downloadMirrors);
  platform.arguments = processArguments();
  platform.report = downloadReport;
  platform.useCache = downloadUsesCache;
  platform.proxies.lookUp = [&loop](const std::string& url, double seconds, DesktopProxiesDone done) {
    return lookUpDesktopProxies(loop, url, seconds, std::move(done));
  };
  platform.delta.startRanges = [&loop](const RangeFetchRequest& request,
                                       RangeFetchDelegate& delegate) {
    return startRangeFetch(loop, request, delegate);
  };
  platform.delta.copy = copyFileRange;
  platform.unpackWorkers = unpackWorkerCount();
  return platform;
}

}  // namespace

bool downloadInstallAgentFromZV(const char* destination, ErrorReport report, bool useCache,
                                int* agentStatus) {
  const char* url = getenv("ZV_INTERNAL_INSTALL_AGENT_URL");
  downloadUsesCache = useCache;
  downloadReport = report;
  downloadTo = destination;
  downloadFrom = url ? url : INSTALL_AGENT_URL;
  // Mirrors are of the built-in URL's archive; another URL brings its own.
  const char* mirrors = getenv("ZV_INTERNAL_INSTALL_AGENT_MIRRORS");
  downloadMirrors = url ? (mirrors ? mirrors : "") : INSTALL_AGENT_MIRRORS;
  bool ran = CallNSApplicationMain(0, nullptr) != 0;
  if (ran && agentStatus) *agentStatus = downloadAgentStatus;
  return ran;
}

int CallNSApplicationMain(int, const char**) {
  pid_t agent = -1;
  bool cancelled = false;
  AgentHold agentDir;  // kept whole until the agent has ended
  {
    MainBundle bundle;
    DisplayIdentity identity = getMainBundle(&bundle) ? bundleIdentity(bundle) : DisplayIdentity();
    // The name the vendor built in comes first; a bundle's name otherwise.
    if (!PRODUCT_NAME.empty()) identity.name = PRODUCT_NAME;
    Display display = openDisplay(DownloadStatus::titleFor(identity.name),
                                  _(DownloadStatus::kUntilStatus), identity);
    // A window has a title; a terminal names the product on its first line.
    if (!identity.name.empty() && !display.window->canBeClosedByUser())
      display.window->logLine(DownloadStatus::titleFor(identity.name));
    DownloadWindow* window = display.window.get();
    DownloadPlatform platform = realDownloadPlatform(*display.loop, *window);
    // The display is done before the agent shares the terminal: a status
    // line left drawn would have the agent's first line glued to it.
    platform.launchTask = [window, launch = platform.launchTask](
                              const std::string& path, const std::vector<std::string>& arguments) {
      window->close();
      return launch(path, arguments);
    };
    Download download(std::move(platform));
    // Ctrl-C, SIGTERM and SIGHUP close the window as its Cancel button does.
    SignalWatch signals(*display.loop, [window] { window->close(); });
    download.init();
    download.applicationDidFinishLaunching();
    // Without a bundle there is no transfer either: nothing would end the loop.
    if (download.started()) display.loop->run();
    agent = download.agentTask();
    agentDir = download.takeAgentHold();
    cancelled = agent < 0 && window->cancelledByUser();
  }  // the window is gone before the agent's run is waited for
  // The window's Cancel is the person's Ctrl-C: the run ends as one does
  // (its status and its line), so that whoever started the program can
  // tell a cancel from a failure.
  if (cancelled) interruptThisProcess();
  if (agent < 0) return 0;
  downloadAgentStatus = exitStatusOf(waitForTask(agent, OnSignal::kPassOn));
  return 1;
}
