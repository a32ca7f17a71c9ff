#include "download/bootstrap.h"

#include <cstdlib>

#include "agent/cache.h"
#include "display/display.h"
#include "download/download.h"
#include "download/identity.h"
#include "download/status.h"
#include "platform/signal_watch.h"
#include "platform/task.h"
#include "util/constants.h"

std::string downloadTo;
std::string downloadFrom;

namespace {

bool downloadUsesCache = false;
ErrorReport downloadReport = nullptr;
int downloadAgentStatus = 0;

}  // namespace

bool downloadInstallAgentFromZV(const char* destination, ErrorReport report, bool useCache,
                                int* agentStatus) {
  const char* url = getenv("ZV_INTERNAL_INSTALL_AGENT_URL");
  downloadUsesCache = useCache;
  downloadReport = report;
  downloadTo = destination;
  downloadFrom = url ? url : INSTALL_AGENT_URL;
  bool ran = CallNSApplicationMain(0, nullptr) != 0;
  if (ran && agentStatus) *agentStatus = downloadAgentStatus;
  return ran;
}

int CallNSApplicationMain(int, const char**) {
  pid_t agent = -1;
  AgentHold agentDir;  // kept whole until the agent has ended
  {
    MainBundle bundle;
    DisplayIdentity identity = getMainBundle(&bundle) ? bundleIdentity(bundle) : DisplayIdentity();
    // The name the vendor built in comes first; a bundle's name otherwise.
    if (!PRODUCT_NAME.empty()) identity.name = PRODUCT_NAME;
    Display display = openDisplay(DownloadStatus::titleFor(identity.name),
                                  DownloadStatus::kUntilStatus, identity);
    // A window has a title; a terminal names the product on its first line.
    if (!identity.name.empty() && !display.window->canBeClosedByUser())
      display.window->logLine(DownloadStatus::titleFor(identity.name));
    DownloadPlatform platform =
        realDownloadPlatform(*display.loop, *display.window, downloadReport);
    platform.useCache = downloadUsesCache;
    Download download(std::move(platform));
    // Ctrl-C, SIGTERM and SIGHUP close the window as its Cancel button does.
    DownloadWindow* window = display.window.get();
    SignalWatch signals(*display.loop, [window] { window->close(); });
    download.init();
    download.applicationDidFinishLaunching();
    // Without a bundle there is no transfer either: nothing would end the loop.
    if (download.started()) display.loop->run();
    agent = download.agentTask();
    agentDir = download.takeAgentHold();
  }  // the window is gone before the agent's run is waited for
  if (agent < 0) return 0;
  downloadAgentStatus = exitStatusOf(waitForTask(agent, OnSignal::kPassOn));
  return 1;
}
