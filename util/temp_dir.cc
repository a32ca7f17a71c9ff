#include "util/temp_dir.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <vector>

#include "platform/system.h"

namespace {

const char kPrefix[] = "zv";
const char kOwnerLock[] = ".owner";  // locked by the run that made the directory

// No run is still making a work directory this long after it was touched:
// a run locks its lock file at once.
const time_t kUnfinishedAgeSeconds = 120;

// "zv" and the six letters or digits of mkdtemp.
bool isWorkDirName(const std::string& name) {
  if (name.size() != 8 || name.rfind(kPrefix, 0) != 0) return false;
  for (size_t i = 2; i < name.size(); ++i)
    if (!isalnum(static_cast<unsigned char>(name[i]))) return false;
  return true;
}

// A work directory whose run is gone: its owner had locked it (and then
// written its pid), and the lock is free again.
bool isAbandoned(const std::string& dir) {
  int fd = open((dir + "/" + kOwnerLock).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  char pid;
  bool free = flock(fd, LOCK_EX | LOCK_NB) == 0 && read(fd, &pid, 1) == 1;
  close(fd);
  return free;
}

bool isOld(const struct stat& st, time_t now) { return now - st.st_mtime >= kUnfinishedAgeSeconds; }

// A work directory whose run was killed while making it (before its lock
// held a pid), judged with care, as the base may be a /tmp that others
// share: a 0700 directory of this user's, holding nothing but an empty
// ".owner" that nobody has locked, or nothing at all, and neither changed
// for kUnfinishedAgeSeconds.
bool isUnfinished(const std::string& dir) {
  struct stat st;
  time_t now = time(nullptr);
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & 07777) != 0700 || !isOld(st, now))
    return false;
  DIR* listing = opendir(dir.c_str());
  if (!listing) return false;
  bool unfinished = true;
  while (struct dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name != "." && name != ".." && name != kOwnerLock) unfinished = false;
  }
  closedir(listing);
  std::string owner = dir + "/" + kOwnerLock;
  int fd = open(owner.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return unfinished && errno == ENOENT;
  unfinished = unfinished && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0 &&
               isOld(st, now) && flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return unfinished;
}

// Only what isUnfinished found: the lock file, then the directory, which
// stays should anything have come into it meanwhile.
void removeUnfinished(const std::string& dir) {
  unlink((dir + "/" + kOwnerLock).c_str());
  rmdir(dir.c_str());
}

// Runs killed outright leave their work directories (and partial archives)
// behind; the next run clears them, and those of runs killed while making
// theirs.
void removeAbandonedWorkDirs(const std::string& base) {
  DIR* listing = opendir(base.c_str());
  if (!listing) return;
  std::vector<std::string> abandoned, unfinished;
  while (struct dirent* entry = readdir(listing)) {
    if (!isWorkDirName(entry->d_name)) continue;
    std::string dir = appendPathComponent(base, entry->d_name);
    if (isAbandoned(dir)) abandoned.push_back(dir);
    else if (isUnfinished(dir)) unfinished.push_back(dir);
  }
  closedir(listing);
  for (const std::string& dir : abandoned) removeItemAtPath(dir);
  for (const std::string& dir : unfinished) removeUnfinished(dir);
}

}  // namespace

TempDir::TempDir(std::string) {
  std::string base = temporaryDirectory();
  if (base.empty()) base = "/tmp";
  removeAbandonedWorkDirs(base);
  dir = makeUniqueDirectory(appendPathComponent(base, kPrefix));
  if (dir.empty()) return;
  // Not closed on exec: an agent started from here holds it too, so that
  // its directory is not taken for abandoned while it runs.
  lock_ = open((dir + "/" + kOwnerLock).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
  if (lock_ < 0 || flock(lock_, LOCK_EX) != 0) return;
  std::string pid = std::to_string(getpid());
  if (write(lock_, pid.data(), pid.size()) < 0) {
  }
}

TempDir::~TempDir() {
  if (!dir.empty()) removeItemAtPath(dir);
  if (lock_ >= 0) close(lock_);
}
