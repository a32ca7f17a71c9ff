#include "agent/extract.h"

#include <sys/stat.h>

#include <exception>

#include "util/launch.h"
#include "util/quote.h"

bool unzipInstallAgent(std::string zipPath, std::string destDir, std::string unzipProgram,
                       ErrorReport report) {
  struct stat st;
  if (stat(zipPath.c_str(), &st) != 0) return false;
  std::string command = smart_quote(unzipProgram) + " -qq -o " + smart_quote(zipPath) + " -d " +
                        smart_quote(destDir);
  int status;
  try {
    status = call_system(unzipProgram, std::string(command.c_str()));
  } catch (const std::exception&) {
    return false;
  }
  if (status != 0) {
    report("Failed to unzip the install agent", true);
    return false;
  }
  return true;
}
