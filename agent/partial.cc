#include "agent/partial.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "platform/system.h"

namespace {

const size_t kMaxInfoBytes = 16384;

// The info file's lines: URL, ETag, total length, Unix time of the start,
// and, when not all of the data is a first part, how much of it is, then
// one "start length" line per range kept after it.
struct PartInfo {
  std::string url, etag;
  int64_t total = -1;
  int64_t begun = 0;
  int64_t prefix = -1;
  std::vector<std::pair<int64_t, int64_t>> ranges;
};

bool readInfo(const std::string& path, PartInfo* info) {
  std::string text;
  if (!readRegularFile(path, kMaxInfoBytes, &text) || text.size() == kMaxInfoBytes) return false;
  std::istringstream lines(text);
  std::string total, begun;
  if (!std::getline(lines, info->url) || !std::getline(lines, info->etag) ||
      !std::getline(lines, total) || !std::getline(lines, begun))
    return false;
  info->total = strtoll(total.c_str(), nullptr, 10);
  info->begun = strtoll(begun.c_str(), nullptr, 10);
  std::string prefix;
  if (std::getline(lines, prefix)) info->prefix = strtoll(prefix.c_str(), nullptr, 10);
  for (std::string line; std::getline(lines, line);) {
    int64_t start = -1, length = -1;
    std::istringstream(line) >> start >> length;
    info->ranges.emplace_back(start, length);
  }
  return true;
}

int64_t regularFileSize(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

}  // namespace

namespace {

// Opens the part without blocking (a FIFO in its place) and only when it is
// a regular file with one name: through a hard link, the download would be
// written into another file. -2 for anything else in its place, a symbolic
// link (not followed) included.
int openPart(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0 && (errno == ELOOP || errno == ENXIO)) return -2;  // a link; a socket
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)) {
    close(fd);
    return -2;
  }
  return fd;
}

}  // namespace

// Something that is not a plain part in its place (in the user's own
// private cache) is removed, and a fresh part made.
KeptPart::KeptPart(const std::string& cacheDir)
    : data_(cacheDir + ".part"), info_(cacheDir + ".part.info"), ranges_(cacheDir + ".part.ranges") {
  int fd = openPart(data_);
  if (fd == -2) {
    unlink(info_.c_str());
    unlink(data_.c_str());
    fd = openPart(data_);
  }
  if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    fd = -1;
  }
  lock_ = fd < 0 ? -1 : fd;
}

// An empty part is no part: it goes, so that a run that kept nothing
// leaves nothing. Only while the name is still the file this run locked:
// once it has been removed (the archive unpacked), another run may have
// made a part of its own there.
KeptPart::~KeptPart() {
  if (lock_ < 0) return;
  if (holdsPath() && regularFileSize(data_) == 0) {
    unlink(info_.c_str());
    unlink(ranges_.c_str());
    unlink(data_.c_str());
  }
  close(lock_);
}

bool KeptPart::holdsPath() const {
  struct stat held, named;
  return lock_ >= 0 && fstat(lock_, &held) == 0 && lstat(data_.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

int64_t KeptPart::keptFor(const std::string& url, std::string* etag, int64_t* total,
                          std::vector<std::pair<int64_t, int64_t>>* ranges) {
  if (!holdsPath()) return 0;
  PartInfo info;
  if (readInfo(ranges_, &info) && info.url == url) return 0;
  info = PartInfo();
  int64_t size = regularFileSize(data_), fileSize = size;
  int64_t age = static_cast<int64_t>(time(nullptr)) - (readInfo(info_, &info) ? info.begun : 0);
  if (info.prefix >= 0 && info.prefix < size) size = info.prefix;
  // Ranges in order after the first bytes, inside what the file holds.
  std::vector<std::pair<int64_t, int64_t>> kept;
  int64_t after = size;
  for (const auto& [start, length] : info.ranges) {
    if (start < after || length <= 0 || start > fileSize - length || start > info.total - length)
      break;
    kept.emplace_back(start, length);
    after = start + length;
  }
  // A run killed before its first bytes counted may have kept the end.
  bool usable = info.url == url && isStrongEtag(info.etag) && info.total > 0 &&
                (size > 0 || (info.prefix == 0 && !kept.empty())) && size <= info.total &&
                age >= 0 && age <= kMaxAgeSeconds;
  if (!usable) {
    discard();
    return 0;
  }
  *etag = info.etag;
  *total = info.total;
  if (ranges) ranges->insert(ranges->end(), kept.begin(), kept.end());
  return size;
}

void KeptPart::forget() {
  if (holdsPath()) unlink(info_.c_str());
}

void KeptPart::describe(const std::string& url, const std::string& etag, int64_t total,
                        int64_t prefix, const std::vector<std::pair<int64_t, int64_t>>& ranges) {
  if (!holdsPath() || url.find('\n') != std::string::npos || etag.find('\n') != std::string::npos)
    return;
  std::string text = url + "\n" + etag + "\n" + std::to_string(total) + "\n" +
                     std::to_string(static_cast<int64_t>(time(nullptr))) + "\n" +
                     (prefix >= 0 ? std::to_string(prefix) + "\n" : "");
  for (const auto& [start, length] : ranges)
    if (prefix >= 0) text += std::to_string(start) + " " + std::to_string(length) + "\n";
  writeFileAtomically(info_, text);
  unlink(ranges_.c_str());  // after: a run killed between keeps a rebuild's record
}

void KeptPart::beginRanges(const std::string& url, const std::string& etag, int64_t total) {
  if (!holdsPath() || url.find('\n') != std::string::npos || etag.find('\n') != std::string::npos)
    return;
  unlink(info_.c_str());
  writeFileAtomically(ranges_, url + "\n" + etag + "\n" + std::to_string(total) + "\n" +
                                   std::to_string(static_cast<int64_t>(time(nullptr))) + "\n");
}

// Appended in one write of a whole line: a line cut by a kill is not one.
void KeptPart::rangeWritten(int64_t start, int64_t length) {
  if (!holdsPath()) return;
  int fd = open(ranges_.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  std::string line = std::to_string(start) + " " + std::to_string(length) + "\n";
  if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
  }
  close(fd);
}

std::vector<std::pair<int64_t, int64_t>> KeptPart::rangesFor(const std::string& url,
                                                             const std::string& etag,
                                                             int64_t total) {
  std::vector<std::pair<int64_t, int64_t>> ranges;
  PartInfo info;
  std::string text;
  if (!holdsPath() || !readInfo(ranges_, &info)) return ranges;
  int64_t age = static_cast<int64_t>(time(nullptr)) - info.begun;
  if (info.url != url || info.etag != etag || info.total != total || age < 0 ||
      age > kMaxAgeSeconds || !readRegularFile(ranges_, 1 << 20, &text)) {
    unlink(ranges_.c_str());
    return ranges;
  }
  std::istringstream lines(text);
  std::string line;
  for (int skip = 0; skip < 4; ++skip) std::getline(lines, line);
  while (std::getline(lines, line) && !lines.eof()) {  // the last line may be cut
    int64_t start = -1, length = -1;
    std::istringstream(line) >> start >> length;
    if (start >= 0 && length > 0 && start <= total - length) ranges.emplace_back(start, length);
  }
  return ranges;
}

void KeptPart::discard() {
  if (!holdsPath()) return;
  unlink(info_.c_str());
  unlink(ranges_.c_str());
  // Emptied, not removed: the file is the lock, and a run that made a new
  // one meanwhile would share the download with this one.
  int fd = open(data_.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0 && ftruncate(fd, 0) != 0) {
  }
  if (fd >= 0) close(fd);
}

bool isStrongEtag(const std::string& etag) {
  return etag.size() >= 2 && etag.front() == '"' && etag.back() == '"';
}
