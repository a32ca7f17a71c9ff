#ifndef SETUP_AGENT_EXTRACT_H_
#define SETUP_AGENT_EXTRACT_H_

#include <string>

#include "util/report.h"

// Unpacks the zip archive |zipPath| into |destDir| with |unzipProgram|
// (-qq -o -d), through the shell, and waits. Returns true when the program
// exited 0. A missing archive gives false silently; any other failure
// reports "Failed to unzip the install agent".
bool unzipInstallAgent(std::string zipPath, std::string destDir, std::string unzipProgram,
                       ErrorReport report);

#endif  // SETUP_AGENT_EXTRACT_H_
