#include "util/launch.h"

#include <cstdlib>
#include <exception>

#include "bootstrap/constants.h"
#include "util/quote.h"

int call_system(std::string, std::string commandLine) { return system(commandLine.c_str()); }

bool fireInstallAgentWithArgs(std::string agentPath, std::string command,
                              std::string bundleLocation, int argc, const char* const* argv,
                              ErrorReport report) {
  std::string tail = " -installbundle ";
  tail += smart_quote(bundleLocation + FILE_SEPARATOR + "bundle.zip");
  if (argc >= 2) {
    tail += " ";
    tail += argv2cmdline(argc, argv);
  }
  command += tail;
  try {
    call_system(std::string(agentPath.c_str()), std::string(command.c_str()));
  } catch (const std::exception&) {
    report("Failed to start the instal agent", true);
    return false;
  }
  return true;
}
