#include "download/bootstrap.h"

#include <cstdlib>

#include "bootstrap/constants.h"
#include "download/download.h"
#include "platform/display/display.h"
#include "platform/task.h"

std::string downloadTo;
std::string downloadFrom;

bool downloadInstallAgentFromZV(const char* destination, ErrorReport) {
  const char* url = getenv("ZV_INTERNAL_INSTALL_AGENT_URL");
  downloadTo = destination;
  downloadFrom = url ? url : INSTALL_AGENT_URL;
  return CallNSApplicationMain(0, nullptr) != 0;
}

int CallNSApplicationMain(int, const char**) {
  pid_t agent = -1;
  {
    Display display = openDisplay();
    Download download(realDownloadPlatform(*display.loop, *display.window));
    download.init();
    download.applicationDidFinishLaunching();
    // Without a bundle there is no transfer either: nothing would end the loop.
    if (download.theDownload) display.loop->run();
    agent = download.agentTask();
  }  // the window is gone before the agent's run is waited for
  if (agent < 0) return 0;
  waitForTask(agent);
  return 1;
}
