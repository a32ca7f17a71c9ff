#include "agent/extract.h"

#include <sys/stat.h>

#include <exception>

#include "util/launch.h"
#include "util/quote.h"

std::string unzipCommandLine(const std::string& zipPath, const std::string& destDir,
                             const std::string& unzipProgram) {
  return smart_quote(unzipProgram) + " -qq -o " + smart_quote(zipPath) + " -d " +
         smart_quote(destDir);
}

bool checkUnzipStatus(int status, ErrorReport report) {
  if (status == 0) return true;
  if (report) report("Failed to unzip the install agent", true);
  return false;
}

bool unzipInstallAgent(std::string zipPath, std::string destDir, std::string unzipProgram,
                       ErrorReport report) {
  struct stat st;
  if (stat(zipPath.c_str(), &st) != 0) return false;
  std::string command = unzipCommandLine(zipPath, destDir, unzipProgram);
  int status;
  try {
    status = call_system(unzipProgram, std::string(command.c_str()));
  } catch (const std::exception&) {
    return false;
  }
  return checkUnzipStatus(status, report);
}
