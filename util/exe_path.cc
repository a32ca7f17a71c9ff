#include "util/exe_path.h"

#include <errno.h>
#include <sys/stat.h>

#include "platform/bundle.h"
#include "platform/system.h"

namespace {

// 0 when |prefix| is (now) a directory, -1 with ENOTDIR when it is not.
int ensureDirectory(const std::string& prefix, mode_t mode) {
  struct stat st;
  if (stat(prefix.c_str(), &st) != 0) {
    mkdir(prefix.c_str(), mode);
    return 0;
  }
  if (S_ISDIR(st.st_mode)) return 0;
  errno = ENOTDIR;
  return -1;
}

}  // namespace

std::string getPathToExecutable() {
  MainBundle bundle;
  return getMainBundle(&bundle) ? bundle.bundlePath : "";
}

std::string getDirectoryOfExecutable() { return stripLastComponent(getPathToExecutable()); }

int mkpath(std::string path, mode_t mode) {
  if (path.empty()) return 0;
  size_t start = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] != '/') continue;
    if (i != start && ensureDirectory(path.substr(0, i), mode) != 0) return -1;
    start = i + 1;
  }
  return ensureDirectory(path, mode);
}
