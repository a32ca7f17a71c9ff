#include "agent/sourcing.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "agent/cache.h"
#include "agent/extract.h"
#include "util/constants.h"
#include "platform/bundle.h"
#include "platform/system.h"
#include "util/exe_path.h"
#include "util/translation.h"

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

// Where the local road unpacks: "installagent", made 0700 inside the work
// directory, so that no entry of the archive can replace a file of the run's
// own there (the work directory's lock, ".owner") and the agent finds none
// it did not ship. The work directory is fresh, and so is this, unless the
// program's own directory serves as the work directory (the unit-test
// switch): there an earlier run's, when it is a directory of this user's, is
// unpacked over, as the program's directory itself was before. Empty when
// none can be made.
std::string makeLocalAgentDir(const std::string& workDir) {
  std::string dir = appendPathComponent(workDir, INSTALL_AGENT_DIR_NAME);
  if (mkdir(dir.c_str(), 0700) == 0) return dir;
  struct stat st;
  if (errno == EEXIST && lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
      st.st_uid == geteuid())
    return dir;
  return "";
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
    report(sayf(_("The installer cache %s is not private to this user; it is not used."),
                cacheDir.c_str()),
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
  std::string agentDir = makeLocalAgentDir(workDir);
  if (agentDir.empty())
    report(sayf(_("Cannot make the directory to unpack the install agent into: %s"),
                appendPathComponent(workDir, INSTALL_AGENT_DIR_NAME).c_str()),
           true);
  if (agentDir.empty() || !unzipInstallAgent(archive, agentDir, "unzip", report)) {
    report(_("Failed to initialize the install agent."), true);
    return "";
  }
  if (!holdsInstallScript(agentDir)) {
    report(_(kNoInstallScript), true);
    return "";
  }
  return getInstallAgentExecutable(agentDir);
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
