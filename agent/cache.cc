#include "agent/cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "util/constants.h"
#include "platform/signal_watch.h"
#include "platform/system.h"

namespace {

std::string homeDir() {
  const char* home = getenv("HOME");
  std::string dir = (home && *home) ? home : "/tmp";
  if (dir.size() >= 2 && dir.back() != FILE_SEPARATOR[0]) dir += FILE_SEPARATOR;
  return dir;
}

std::string stampPath(const std::string& directory) {
  return directory + FILE_SEPARATOR + VALIDATION_FILE_NAME;
}

bool isPrivateDir(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The first line of the stamp |path|, up to |limit| bytes; false when it
// is not a regular file or its first line is longer.
bool readFirstLine(const std::string& path, size_t limit, std::string* line) {
  std::string bytes;
  if (!readRegularFile(path, limit + 1, &bytes)) return false;
  *line = bytes.substr(0, bytes.find('\n'));
  return line->size() <= limit;
}

}  // namespace

std::string getInstallAgentCacheDir() { return homeDir() + INSTALLER_CACHE_DIR; }

bool isCachePrivate() {
  std::string path = homeDir();
  std::string relative = INSTALLER_CACHE_DIR;
  for (size_t i = relative.find('/'); i != std::string::npos; i = relative.find('/', i + 1)) {
    if (!isPrivateDir(path + relative.substr(0, i))) return false;
  }
  return true;
}

std::string installAgentDirOnDisk() {
  std::string dir = getInstallAgentCacheDir() + INSTALL_AGENT_DIR_NAME;
  struct stat st;
  if (!isPrivateDir(dir) || stat(getInstallAgentExecutable(dir).c_str(), &st) != 0) return "";
  return dir + FILE_SEPARATOR;
}

std::string getInstallAgentExecutable(std::string directory) {
  if (!directory.empty() && directory.back() != '/') directory += FILE_SEPARATOR;
  return directory + "install";
}

bool holdsInstallScript(const std::string& directory) {
  struct stat st;
  return !directory.empty() && stat(getInstallAgentExecutable(directory).c_str(), &st) == 0 &&
         S_ISREG(st.st_mode);
}

std::string readValidationString(std::string directory) {
  std::string line;
  return readFirstLine(stampPath(directory), kMaxValidationStringLength, &line) ? line : "";
}

bool isCacheValid(std::string directory, std::string validationString) {
  return !validationString.empty() && readValidationString(directory) == validationString;
}

void writeValidationString(std::string directory, std::string validationString) {
  if (directory.empty() || validationString.empty()) return;
  writeFileAtomically(stampPath(directory), validationString);
}

void removeValidationString(std::string directory) { unlink(stampPath(directory).c_str()); }

namespace {

const char kStagingPrefix[] = ".staging-";
const char kRetiredPrefix[] = ".retired-";
// The temporary names of writeFileAtomically beside the stamp and the
// kept part's info.
const char kStampTempPrefix[] = ".validatestring.";
const char kPartInfoTempPrefix[] = ".part.info.";

// |prefix| + our pid + unique characters, made as an empty directory.
std::string makeScratchDir(const char* prefix) {
  return makeUniqueDirectory(getInstallAgentCacheDir() + prefix + std::to_string(getpid()) + "-");
}

// Serializes changes of the cached agent among concurrent runs, so that a
// stamp always describes the agent beside it and no run replaces an agent
// that another run has just placed for the same ETag. Waiting for it (a
// run stopped while holding it) ends on a termination signal: then it is
// not held, and nothing may be changed.
class CacheLock {
 public:
  CacheLock() {
    fd_ = open((getInstallAgentCacheDir() + ".lock").c_str(),
               O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd_ >= 0 && !lockUnlessSignalled(fd_, LOCK_EX)) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~CacheLock() {
    if (fd_ >= 0) close(fd_);  // releases the lock
  }
  bool held() const { return fd_ >= 0; }

 private:
  int fd_;
};

bool isInUse(const std::string& dir);

bool isCurrent(const std::string& validationString) {
  return !installAgentDirOnDisk().empty() &&
         isCacheValid(getInstallAgentCacheDir(), validationString);
}

// Scratch files and directories carry the pid of their run; they belong to
// a run that died when that pid is gone.
bool isStale(const std::string& name) {
  for (const char* prefix : {kStagingPrefix, kRetiredPrefix, kStampTempPrefix, kPartInfoTempPrefix}) {
    size_t length = strlen(prefix);
    if (name.compare(0, length, prefix) != 0) continue;
    long pid = strtol(name.c_str() + length, nullptr, 10);
    // A number no pid_t can hold names no process: narrowed, it could name
    // another one (or, as -1, all of them).
    if (pid <= 0 || pid != static_cast<long>(static_cast<pid_t>(pid))) return pid > 0;
    // An agent run from its staging directory holds it after its run died.
    return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH &&
           !isInUse(getInstallAgentCacheDir() + name);
  }
  return false;
}

void removeStaleScratch() {
  std::string cacheDir = getInstallAgentCacheDir();
  DIR* dir = opendir(cacheDir.c_str());
  if (!dir) return;
  std::vector<std::string> stale;
  while (struct dirent* entry = readdir(dir))
    if (isStale(entry->d_name)) stale.push_back(entry->d_name);
  closedir(dir);
  for (const std::string& name : stale) removeItemAtPath(cacheDir + name);
}

std::string cachedAgentPath() { return getInstallAgentCacheDir() + INSTALL_AGENT_DIR_NAME; }

// Renames the cached agent to a scratch name; returns that name, or the
// empty string when there was nothing to move.
std::string retireCachedAgent() {
  struct stat st;
  if (lstat(cachedAgentPath().c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
    unlink(cachedAgentPath().c_str());  // a link or file in its place: not ours to follow
    return "";
  }
  std::string retired = makeScratchDir(kRetiredPrefix);
  if (retired.empty()) return "";
  if (rename(cachedAgentPath().c_str(), retired.c_str()) == 0) return retired;
  rmdir(retired.c_str());
  return "";
}

// A directory is in use while a run holds a shared lock on it (see
// AgentHold); the probe takes the lock exclusively, so it must not wait.
bool isInUse(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  bool inUse = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return inUse;
}

// A hold on the cached agent; called under the cache lock, so that no
// swap comes between finding the agent and locking it.
AgentHold holdDir(const std::string& dir, bool removeWhenDone) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0 && !lockUnlessSignalled(fd, LOCK_SH)) {
    close(fd);
    fd = -1;
  }
  return AgentHold(dir, fd, removeWhenDone);
}

AgentHold holdCachedAgent() {
  std::string dir = installAgentDirOnDisk();
  return dir.empty() ? AgentHold() : holdDir(dir, false);
}

}  // namespace

namespace {
const char kDatePrefix[] = "Last-Modified: ";
}  // namespace

std::string validationStringFor(const std::string& etag, const std::string& lastModified) {
  if (!etag.empty()) return etag;
  return lastModified.empty() ? "" : kDatePrefix + lastModified;
}

std::string stampedDate(const std::string& validationString) {
  size_t length = strlen(kDatePrefix);
  return validationString.compare(0, length, kDatePrefix) == 0 ? validationString.substr(length)
                                                                 : "";
}

std::string makeStagingDir() {
  removeStaleScratch();
  return makeScratchDir(kStagingPrefix);
}

AgentHold::AgentHold(std::string dir, int lockFd, bool removeWhenDone)
    : dir_(std::move(dir)), lockFd_(lockFd), removeWhenDone_(removeWhenDone) {}

AgentHold AgentHold::withoutInstallScript() {
  AgentHold hold;
  hold.lacksInstallScript_ = true;
  return hold;
}

AgentHold& AgentHold::operator=(AgentHold&& other) noexcept {
  if (this == &other) return *this;
  release();
  std::swap(dir_, other.dir_);
  std::swap(lockFd_, other.lockFd_);
  std::swap(removeWhenDone_, other.removeWhenDone_);
  std::swap(lacksInstallScript_, other.lacksInstallScript_);
  return *this;
}

void AgentHold::shareWithChildren() {
  if (lockFd_ >= 0) fcntl(lockFd_, F_SETFD, 0);
}

void AgentHold::release() {
  if (removeWhenDone_) removeItemAtPath(dir_);
  if (lockFd_ >= 0) close(lockFd_);  // releases the shared lock
  dir_.clear();
  lockFd_ = -1;
  removeWhenDone_ = false;
  lacksInstallScript_ = false;
}

std::string agentSignaturePath() { return getInstallAgentCacheDir() + ".agent.minisig"; }

std::string keptArchivePath() { return getInstallAgentCacheDir() + "installagent.zip"; }

std::vector<KeptArchive> otherReleasesKeptArchives() {
  std::vector<KeptArchive> found;
  std::string relative = INSTALLER_CACHE_DIR;
  size_t tag = ("/" + relative).find("/" + RELEASE_TAG + "/");
  if (tag == std::string::npos) return found;
  std::string root = homeDir() + relative.substr(0, tag);
  std::string rest = relative.substr(tag + RELEASE_TAG.size());
  DIR* releases = opendir(root.c_str());
  if (!releases) return found;
  while (struct dirent* entry = readdir(releases)) {
    std::string name = entry->d_name;
    if (name == "." || name == ".." || name == RELEASE_TAG) continue;
    std::string dir = root + name + rest;  // rest ends in "/"
    KeptArchive kept{dir + "installagent.zip", "", 0};
    struct stat st;
    if (lstat(kept.archive.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        !readRegularFile(dir + ".agent.minisig", 65536, &kept.signature))
      continue;
    kept.modified = st.st_mtime;
    found.push_back(kept);
  }
  closedir(releases);
  std::sort(found.begin(), found.end(),
            [](const KeptArchive& a, const KeptArchive& b) { return a.modified > b.modified; });
  return found;
}

int64_t agentSignatureTime() {
  struct stat st;
  return lstat(agentSignaturePath().c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_mtime : 0;
}

std::string readAgentSource() {
  std::string text;
  return readRegularFile(getInstallAgentCacheDir() + ".agent.source", kMaxValidationStringLength,
                         &text) ? text : "";
}

void writeAgentSource(const std::string& url) {
  writeFileAtomically(getInstallAgentCacheDir() + ".agent.source", url);
}

std::string readAgentSignature() {
  std::string text;
  return readRegularFile(agentSignaturePath(), 65536, &text) ? text : "";
}

AgentHold installStagedAgent(const std::string& staging, const std::string& validationString,
                             const std::string& signature) {
  std::string cacheDir = getInstallAgentCacheDir();
  // An agent that cannot be started replaces none that can.
  if (!holdsInstallScript(staging)) {
    removeItemAtPath(staging);
    return AgentHold::withoutInstallScript();
  }
  CacheLock lock;
  if (!lock.held()) {
    removeItemAtPath(staging);
    return AgentHold();
  }
  if (isCurrent(validationString)) {  // the same agent is there already
    removeItemAtPath(staging);
    if (!signature.empty()) writeFileAtomically(agentSignaturePath(), signature);
    return holdCachedAgent();
  }
  if (isInUse(cachedAgentPath())) return holdDir(staging + FILE_SEPARATOR, true);
  removeValidationString(cacheDir);
  unlink(agentSignaturePath().c_str());
  std::string retired = retireCachedAgent();
  bool placed = rename(staging.c_str(), cachedAgentPath().c_str()) == 0;
  if (!retired.empty()) removeItemAtPath(retired);
  if (!placed) {
    removeItemAtPath(staging);
    return AgentHold();
  }
  // The stamp goes last: an agent counts as current only with the
  // signature it was checked with beside it.
  if (!signature.empty()) writeFileAtomically(agentSignaturePath(), signature);
  writeValidationString(cacheDir, validationString);
  return holdCachedAgent();
}

AgentHold holdCachedAgentIfCurrent(const std::string& validationString, bool removeStale) {
  CacheLock lock;
  if (!lock.held()) return AgentHold();
  removeStaleScratch();  // a run that only uses the cache tidies it too
  if (installAgentDirOnDisk().empty()) return AgentHold();
  if (isCurrent(validationString)) return holdCachedAgent();
  if (removeStale) removeCachedAgent();
  return AgentHold();
}

// The stamp goes too: a stamp without its agent stands for nothing.
void removeCachedAgent() {
  if (isInUse(cachedAgentPath())) return;
  removeValidationString(getInstallAgentCacheDir());
  std::string retired = retireCachedAgent();
  if (!retired.empty()) removeItemAtPath(retired);
}
