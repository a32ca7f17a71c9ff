#ifndef SETUP_AGENT_EXTRACT_H_
#define SETUP_AGENT_EXTRACT_H_

#include <string>

#include "agent/unpack_plan.h"
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

// The shell command line that has unzip make |plan|'s attributed directory
// entries in the empty directory |scratch|, with the modes and times one
// unzip of the whole archive gives them. Run once every batch has ended:
// a directory's time is that of its entry only once nothing more is
// written into it.
std::string directoryAttributesCommandLine(const std::string& zipPath, const std::string& scratch,
                                           const UnpackPlan& plan);

// An empty directory for directoryAttributesCommandLine, made beside
// |destDir| (never in it: the agent holds only what it ships). Empty when
// none could be made.
std::string makeAttributesScratchDir(const std::string& destDir);

// Gives each of |plan|'s attributed directories under |destDir| the mode
// and times unzip gave it under |scratch|, deepest first (a parent's mode
// may shut its children off). False when one could not be read or set.
bool copyDirectoryAttributes(const std::string& scratch, const std::string& destDir,
                             const UnpackPlan& plan);

// True for the wait status of an unpacking that succeeded; otherwise
// reports "Failed to unzip the install agent" (when |report| is set).
bool checkUnzipStatus(int status, ErrorReport report);

#endif  // SETUP_AGENT_EXTRACT_H_
