#ifndef SETUP_DOWNLOAD_BOOTSTRAP_H_
#define SETUP_DOWNLOAD_BOOTSTRAP_H_

#include <string>

#include "util/report.h"

// The destination of the archive and the URL it comes from, for the one
// Download object of the run.
extern std::string downloadTo;
extern std::string downloadFrom;
// Further URLs of the same archive, blank-separated: the build's mirrors,
// or with $ZV_INTERNAL_INSTALL_AGENT_URL set, $ZV_INTERNAL_INSTALL_AGENT_MIRRORS.
extern std::string downloadMirrors;

// Downloads the install-agent archive to |destination| from
// $ZV_INTERNAL_INSTALL_AGENT_URL (when set, even empty) or
// INSTALL_AGENT_URL, through the download window and its loop; the agent is
// unpacked into the cache when |useCache| (the cache is private), else
// beside the archive. Returns true when the front end handed the run to the
// install agent, after that agent has ended (its exit status, see
// exitStatusOf, in |agentStatus| when given); false when the loop ended
// without a hand-off. Termination signals are passed on to the agent.
bool downloadInstallAgentFromZV(const char* destination, ErrorReport report, bool useCache,
                                int* agentStatus = nullptr);

// Runs the download application: returns non-zero after a hand-off (once
// the agent has ended), 0 otherwise. The arguments are ignored.
int CallNSApplicationMain(int argc, const char** argv);

#endif  // SETUP_DOWNLOAD_BOOTSTRAP_H_
