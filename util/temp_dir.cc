#include "util/temp_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <vector>

#include "platform/system.h"

namespace {

const char kPrefix[] = "zv";
const char kOwnerLock[] = ".owner";  // locked by the run that made the directory

bool isWorkDirName(const std::string& name) { return name.size() == 8 && name.rfind(kPrefix, 0) == 0; }

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

// Runs killed outright leave their work directories (and partial archives)
// behind; the next run clears them.
void removeAbandonedWorkDirs(const std::string& base) {
  DIR* listing = opendir(base.c_str());
  if (!listing) return;
  std::vector<std::string> abandoned;
  while (struct dirent* entry = readdir(listing)) {
    std::string dir = appendPathComponent(base, entry->d_name);
    if (isWorkDirName(entry->d_name) && isAbandoned(dir)) abandoned.push_back(dir);
  }
  closedir(listing);
  for (const std::string& dir : abandoned) removeItemAtPath(dir);
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
