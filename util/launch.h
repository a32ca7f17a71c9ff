#ifndef SETUP_UTIL_LAUNCH_H_
#define SETUP_UTIL_LAUNCH_H_

#include <string>
#include <vector>

#include "util/report.h"

// Runs |commandLine| through /bin/sh and waits; returns the shell's wait
// status, or -1 when no child could be made. A termination signal caught
// meanwhile ends the command and everything it started (the result is then
// that of a killed shell). |program| names what is run, for the reader; it
// plays no part.
int call_system(std::string program, std::string commandLine);

// What the install agent gets after its own path: "-installbundle",
// |bundleLocation| + "/bundle.zip", then |userArguments| unchanged. Both
// ways of starting the agent (a shell line, an argument vector) use it.
std::vector<std::string> installAgentArguments(const std::string& bundleLocation,
                                               const std::vector<std::string>& userArguments);

// Completes |command| ("sh " and the quoted agent path) with
// " -installbundle ", the quoted |bundleLocation|/bundle.zip and the quoted
// user arguments, runs it through /bin/sh and waits; a termination signal
// caught meanwhile is passed on to the agent. The agent's exit status (see
// exitStatusOf) goes to |agentStatus| when given. Returns false, after
// reporting, only when the launch itself failed.
bool fireInstallAgentWithArgs(std::string agentPath, std::string command,
                              std::string bundleLocation, int argc, const char* const* argv,
                              ErrorReport report, int* agentStatus = nullptr);

#endif  // SETUP_UTIL_LAUNCH_H_
