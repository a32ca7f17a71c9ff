#include "util/launch.h"

#include <cstdio>
#include <exception>

#include "util/constants.h"
#include "platform/signal_watch.h"
#include "platform/system.h"
#include "platform/task.h"
#include "util/quote.h"
#include "util/translation.h"

std::vector<std::string> installAgentArguments(const std::string& bundleLocation,
                                               const std::vector<std::string>& userArguments) {
  std::string bundle = bundleLocation + FILE_SEPARATOR + "bundle.zip";
  // The agent is started all the same, but a product that is not where it
  // is handed over is said here, once, rather than left for the agent.
  if (!fileExists(bundle)) {
    fprintf(standardError(), "%s\n",
            sayf(_("Warning: %s does not exist; the install agent is started all the same."),
                 bundle.c_str()).c_str());
    fflush(standardError());
  }
  std::vector<std::string> arguments = {"-installbundle", bundle};
  arguments.insert(arguments.end(), userArguments.begin(), userArguments.end());
  return arguments;
}

namespace {

int waitFor(pid_t pid, OnSignal onSignal) { return pid < 0 ? -1 : waitForTask(pid, onSignal); }

}  // namespace

int call_system(std::string, std::string commandLine) {
  return waitFor(launchShellTask(commandLine), OnSignal::kEndGroup);
}

bool fireInstallAgentWithArgs(std::string /*agentPath*/, std::string command,
                              std::string bundleLocation, int argc, const char* const* argv,
                              ErrorReport report, int* agentStatus) {
  std::vector<std::string> user(argv + (argc > 1 ? 1 : argc), argv + argc);
  for (const std::string& argument : installAgentArguments(bundleLocation, user))
    command += " " + smart_quote(argument);
  try {
    // In our process group with our standard input, for a dialogue on the
    // terminal. The shell of the line only carries the agent: a signal goes
    // to the agent, which the shell then waits for.
    int status = waitFor(launchTask("/bin/sh", {"-c", std::string(command.c_str())}),
                         OnSignal::kPassOnToChildren);
    if (agentStatus) *agentStatus = exitStatusOf(status);
  } catch (const std::exception&) {
    report(_("Failed to start the instal agent"), true);
    return false;
  }
  return true;
}
