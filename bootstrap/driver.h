#ifndef SETUP_BOOTSTRAP_DRIVER_H_
#define SETUP_BOOTSTRAP_DRIVER_H_

#include <string>

#include "bootstrap/report.h"

// One run of the installer: work directory, install agent, launch. Returns
// 0 once the agent has run, -1 on failure (reported through |report|).
int mainFcn(int argc, const char* const* argv, ErrorReport report);

// Unpacks the payload carried by the program into |dir|; this program
// carries none. Returns 0 on success.
int extractPayloadToDir(std::string dir, ErrorReport report);

#endif  // SETUP_BOOTSTRAP_DRIVER_H_
