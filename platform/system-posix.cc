#include "platform/system.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <syslog.h>
#include <unistd.h>


namespace {

std::vector<std::string>& argumentStore() {
  static std::vector<std::string> arguments;
  return arguments;
}

// Empties the directory open at |fd| (which it closes), without following
// symbolic links; directories are made writable first so that a tree
// unpacked with read-only directories still goes.
void removeContents(int fd) {
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return;
  }
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (unlinkat(fd, name.c_str(), 0) == 0) continue;
    int child = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child < 0) continue;
    fchmod(child, 0700);
    removeContents(child);
    unlinkat(fd, name.c_str(), AT_REMOVEDIR);
  }
  closedir(dir);
}

}  // namespace

void openStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free number: |fd| itself, as those below it are open.
    int opened = open("/dev/null", (fd == 0 ? O_RDONLY : O_WRONLY));
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

std::string temporaryDirectory() {
  const char* dir = getenv("TMPDIR");
  return (dir && *dir) ? dir : "";
}

bool removeItemAtPath(const std::string& path) {
  if (path.empty()) return false;
  if (unlink(path.c_str()) != 0) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      fchmod(fd, 0700);
      removeContents(fd);
    }
    rmdir(path.c_str());
  }
  struct stat st;
  return lstat(path.c_str(), &st) != 0;
}

std::string makeUniqueDirectory(const std::string& prefix) {
  std::string templ = prefix + "XXXXXX";
  return mkdtemp(templ.data()) ? templ : "";
}

bool readRegularFile(const std::string& path, size_t limit, std::string* bytes) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  bytes->assign(limit, '\0');
  size_t length = 0;
  for (ssize_t n = 1; regular && n > 0 && length < limit; length += n)
    if ((n = read(fd, &(*bytes)[length], limit - length)) < 0) regular = false, n = 0;
  close(fd);
  bytes->resize(length);
  return regular;
}

bool writeFileAtomically(const std::string& path, const std::string& bytes) {
  std::string temp = path + "." + std::to_string(getpid()) + "-XXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  ok = (close(fd) == 0) && ok;
  if (ok && rename(temp.c_str(), path.c_str()) == 0) return true;
  unlink(temp.c_str());
  return false;
}

std::string stripLastComponent(const std::string& path) {
  size_t k = path.find_last_of("/\\");
  return k == std::string::npos ? path : path.substr(0, k);
}

bool fileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The mount point is the last path, walking up from the real one,
// still on the same device: its parent is on another (or it is "/").
bool diskSpaceAt(const std::string& path, DiskSpace* space) {
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return false;
  std::string at = real;
  free(real);
  struct stat st;
  struct statvfs fs;
  if (stat(at.c_str(), &st) != 0 || statvfs(at.c_str(), &fs) != 0) return false;
  while (at.size() > 1) {
    std::string parent = stripLastComponent(at);
    if (parent.empty()) parent = "/";
    struct stat up;
    if (stat(parent.c_str(), &up) != 0 || up.st_dev != st.st_dev) break;
    at = parent;
  }
  if (at.empty()) at = "/";
  uint64_t bytes = uint64_t(fs.f_bavail) * fs.f_frsize;
  space->freeBytes = bytes > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(bytes);
  space->mountPoint = at;
  space->device = st.st_dev;
  return true;
}

std::string appendPathComponent(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  std::string joined = dir;
  while (joined.size() > 1 && joined.back() == '/') joined.pop_back();
  if (joined != "/") joined += "/";
  return joined + name;
}

void setProcessArguments(int argc, const char* const* argv) {
  argumentStore().assign(argv, argv + argc);
}

const std::vector<std::string>& processArguments() { return argumentStore(); }

void systemLog(const std::string& line) {
  syslog(LOG_USER | LOG_ERR, "%s", line.c_str());
}
