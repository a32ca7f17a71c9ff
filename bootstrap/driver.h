#ifndef SETUP_BOOTSTRAP_DRIVER_H_
#define SETUP_BOOTSTRAP_DRIVER_H_

#include <string>

#include "bootstrap/report.h"

// One run of the installer: work directory, install agent, launch. Returns
// the agent's exit status once it has run (as a shell reports it: 128 + n
// when signal n ended it), -1 on failure (reported through |report|).
int mainFcn(int argc, const char* const* argv, ErrorReport report);

// Unpacks the payload carried by the program into |dir|; this program
// carries none. Returns 0 on success.
int extractPayloadToDir(std::string dir, ErrorReport report);

#endif  // SETUP_BOOTSTRAP_DRIVER_H_
