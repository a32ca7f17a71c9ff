#include "util/launch.h"

#include <cstdlib>
#include <exception>

#include "bootstrap/constants.h"
#include "util/quote.h"

std::vector<std::string> installAgentArguments(const std::string& bundleLocation,
                                               const std::vector<std::string>& userArguments) {
  std::vector<std::string> arguments = {"-installbundle",
                                        bundleLocation + FILE_SEPARATOR + "bundle.zip"};
  arguments.insert(arguments.end(), userArguments.begin(), userArguments.end());
  return arguments;
}

int call_system(std::string, std::string commandLine) { return system(commandLine.c_str()); }

bool fireInstallAgentWithArgs(std::string agentPath, std::string command,
                              std::string bundleLocation, int argc, const char* const* argv,
                              ErrorReport report) {
  std::vector<std::string> user(argv + (argc > 1 ? 1 : argc), argv + argc);
  for (const std::string& argument : installAgentArguments(bundleLocation, user))
    command += " " + smart_quote(argument);
  try {
    call_system(std::string(agentPath.c_str()), std::string(command.c_str()));
  } catch (const std::exception&) {
    report("Failed to start the instal agent", true);
    return false;
  }
  return true;
}
