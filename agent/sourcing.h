#ifndef SETUP_AGENT_SOURCING_H_
#define SETUP_AGENT_SOURCING_H_

#include <string>

#include "util/report.h"

// The download road: fetches the archive to |destination| and, when it can,
// starts the agent itself (see downloadInstallAgentFromZV). True when it
// handed the run to the agent, after that agent has ended.
typedef bool (*DownloadStep)(const char* destination, ErrorReport report, bool useCache,
                             int* agentStatus);

// Provides the install agent: a local archive from the bundle's resource
// directory ("InstallAgent.zip", else the first "InstallAgent_*.zip" the
// directory lists) unpacked into a directory of its own in |workDir|
// ("installagent"), where its top level must hold the "install" script;
// else a download through the download front end, reached through
// |download| (the driver chooses it, so that sourcing sits below the front
// end). Returns the agent's executable for the caller to start, or the
// empty string on failure. When the download front end has
// itself started the agent and seen it end, sets |agentAlreadyRan| (and the
// agent's exit status in |agentStatus|) and returns the empty string:
// nothing is to be started again.
std::string sourceInstallAgent(std::string workDir, ErrorReport report, DownloadStep download,
                               bool* agentAlreadyRan = nullptr, int* agentStatus = nullptr);

// The resource directory + "/InstallAgent.zip"; empty without a bundle.
std::string getDefaultInstallAgentLocation();

// The directory that holds the product's "bundle.zip": the bundle's resource
// directory (else its own directory; else the program's directory).
std::string getBundleLocation();

// The first entry of |dir|, in listing order, named "InstallAgent_*.zip",
// as |dir| + "/" + name; empty when none matches or |dir| cannot be read.
std::string findNamedInstallAgent(const std::string& dir);

#endif  // SETUP_AGENT_SOURCING_H_
