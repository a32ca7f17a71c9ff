#include "bootstrap/driver.h"

#include <cstdio>
#include <cstdlib>

#include "agent/sourcing.h"
#include "download/bootstrap.h"
#include "platform/signal_watch.h"
#include "util/exe_path.h"
#include "util/launch.h"
#include "util/quote.h"
#include "util/temp_dir.h"
#include "util/translation.h"

void report_error_main(std::string message, bool isError) {
  FILE* stream = isError ? standardError() : stdout;
  fwrite(message.data(), 1, message.size(), stream);
  fputc('\n', stream);
  fflush(stream);
}

int extractPayloadToDir(std::string, ErrorReport) { return 0; }

namespace {

std::string chooseWorkDir(const TempDir& tempDir) {
  std::string workDir = tempDir.getDir();
  if (workDir.empty() || getenv("__ZV_BOOTSTRAP_INSTALLER_UNITTEST__") != nullptr)
    workDir = getDirectoryOfExecutable();
  return workDir;
}

}  // namespace

int mainFcn(int argc, const char* const* argv, ErrorReport report) {
  // A signal ends the run through the ordinary failure path, so that the
  // work directory goes and no child of ours is left behind.
  catchTerminationSignals();
  TempDir tempDir("tmp_install_dir");
  std::string workDir = chooseWorkDir(tempDir);
  int status = extractPayloadToDir(workDir, report);
  if (status != 0) {
    report(sayf(_("Internal error: Failed to initialize application installer (%d)"), status), true);
    return -1;
  }
  bool agentAlreadyRan = false;
  int agentStatus = 0;
  std::string agentPath = sourceInstallAgent(workDir, report, downloadInstallAgentFromZV,
                                             &agentAlreadyRan, &agentStatus);
  if (agentAlreadyRan) return agentStatus;  // the download front end handed over to it
  if (agentPath.empty() || takeCaughtSignal().number) return -1;
  std::string command = "sh " + smart_quote(agentPath);
  std::string bundleLocation = getBundleLocation();
  if (!fireInstallAgentWithArgs(agentPath, command, bundleLocation, argc, argv, report,
                                &agentStatus)) {
    report(_("Failed to start the instal agent"), true);
    return -1;
  }
  return agentStatus;
}
