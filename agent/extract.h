#ifndef SETUP_AGENT_EXTRACT_H_
#define SETUP_AGENT_EXTRACT_H_

#include <string>

#include "util/report.h"

// Unpacks the zip archive |zipPath| into |destDir| with |unzipProgram|
// (-qq -o -d), through the shell, and waits: one unzip per share of the
// entries, as many at once as there are processors, when the archive's
// directory lets them be shared out, else one for the whole archive.
// Returns true when every unzip exited 0. A missing archive gives false silently; any other failure
// reports "Failed to unzip the install agent". A termination signal ends
// the unpacking (a failure).
bool unzipInstallAgent(std::string zipPath, std::string destDir, std::string unzipProgram,
                       ErrorReport report);

// The shell command line that unpacks |zipPath| into |destDir|.
std::string unzipCommandLine(const std::string& zipPath, const std::string& destDir,
                             const std::string& unzipProgram);

// True for the wait status of an unpacking that succeeded; otherwise
// reports "Failed to unzip the install agent" (when |report| is set).
bool checkUnzipStatus(int status, ErrorReport report);

#endif  // SETUP_AGENT_EXTRACT_H_
