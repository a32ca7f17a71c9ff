#include "agent/sourcing.h"

#include <dirent.h>

#include <cstring>

#include "agent/cache.h"
#include "agent/extract.h"
#include "util/constants.h"
#include "platform/bundle.h"
#include "platform/system.h"
#include "util/exe_path.h"

namespace {

bool isNamedInstallAgent(const char* name) {
  static const char kPrefix[] = "InstallAgent_";
  static const char kSuffix[] = ".zip";
  size_t length = strlen(name);
  return strncmp(name, kPrefix, strlen(kPrefix)) == 0 && length >= strlen(kSuffix) &&
         strcmp(name + length - strlen(kSuffix), kSuffix) == 0;
}

std::string findLocalArchive() {
  std::string archive = getDefaultInstallAgentLocation();
  if (fileExists(archive)) return archive;
  return findNamedInstallAgent(stripLastComponent(archive));
}

// Runs the download front end; true when it started the agent, which has
// since ended.
bool downloadAndRunAgent(const std::string& workDir, ErrorReport report, DownloadStep download,
                         int* agentStatus) {
  std::string cacheDir = getInstallAgentCacheDir();
  mkpath(cacheDir + INSTALL_AGENT_DIR_NAME, 0700);
  // Decided once for the run: a cache that another user could have planted
  // in is neither read nor written.
  bool useCache = isCachePrivate();
  if (!useCache)
    report("The installer cache " + cacheDir + " is not private to this user; it is not used.",
           true);
  std::string destination = workDir + FILE_SEPARATOR + INSTALL_AGENT_ZIP_NAME;
  return download(destination.c_str(), report, useCache, agentStatus);
}

}  // namespace

std::string findNamedInstallAgent(const std::string& dir) {
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return "";
  std::string found;
  while (struct dirent* entry = readdir(listing)) {
    if (isNamedInstallAgent(entry->d_name)) {
      found = dir + FILE_SEPARATOR + entry->d_name;
      break;
    }
  }
  closedir(listing);
  return found;
}

std::string sourceInstallAgent(std::string workDir, ErrorReport report, DownloadStep download,
                               bool* agentAlreadyRan, int* agentStatus) {
  std::string archive = findLocalArchive();
  if (archive.empty()) {
    bool ran = downloadAndRunAgent(workDir, report, download, agentStatus);
    if (agentAlreadyRan) *agentAlreadyRan = ran;
    return "";
  }
  if (!unzipInstallAgent(archive, workDir, "unzip", report)) {
    report("Failed to initialize the install agent.", true);
    return "";
  }
  return getInstallAgentExecutable(workDir);
}

std::string getDefaultInstallAgentLocation() {
  MainBundle bundle;
  if (!getMainBundle(&bundle) || bundle.resourcePath.empty()) return "";
  return appendPathComponent(bundle.resourcePath, INSTALL_AGENT_ZIP_NAME);
}

std::string getBundleLocation() {
  MainBundle bundle;
  if (!getMainBundle(&bundle)) return getDirectoryOfExecutable();
  return bundle.resourcePath.empty() ? bundle.bundlePath : bundle.resourcePath;
}
