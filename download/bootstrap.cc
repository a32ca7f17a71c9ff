#include "download/bootstrap.h"

#include <cstdlib>

#include "agent/cache.h"
#include "bootstrap/constants.h"
#include "download/download.h"
#include "platform/display/display.h"
#include "platform/task.h"

std::string downloadTo;
std::string downloadFrom;

namespace {

bool downloadUsesCache = false;

}  // namespace

bool downloadInstallAgentFromZV(const char* destination, ErrorReport, bool useCache) {
  const char* url = getenv("ZV_INTERNAL_INSTALL_AGENT_URL");
  downloadUsesCache = useCache;
  downloadTo = destination;
  downloadFrom = url ? url : INSTALL_AGENT_URL;
  return CallNSApplicationMain(0, nullptr) != 0;
}

int CallNSApplicationMain(int, const char**) {
  pid_t agent = -1;
  AgentHold agentDir;  // kept whole until the agent has ended
  {
    Display display = openDisplay();
    DownloadPlatform platform = realDownloadPlatform(*display.loop, *display.window);
    platform.useCache = downloadUsesCache;
    Download download(std::move(platform));
    download.init();
    download.applicationDidFinishLaunching();
    // Without a bundle there is no transfer either: nothing would end the loop.
    if (download.theDownload) display.loop->run();
    agent = download.agentTask();
    agentDir = download.takeAgentHold();
  }  // the window is gone before the agent's run is waited for
  if (agent < 0) return 0;
  waitForTask(agent, OnSignal::kPassOn);
  return 1;
}
