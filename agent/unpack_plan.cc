#include "agent/unpack_plan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "util/quote.h"

namespace {

// A name that stays inside the directory it is unpacked into, by its own
// components: no absolute path, no "..", nothing empty (a doubled or
// leading slash), no backslash (some unzips read it as a separator).
bool plainName(const std::string& name) {
  std::string path = name.back() == '/' ? name.substr(0, name.size() - 1) : name;
  if (path.empty() || path.find('\\') != std::string::npos) return false;
  size_t start = 0;
  while (true) {
    size_t slash = path.find('/', start);
    std::string component = path.substr(start, slash - start);
    if (component.empty() || component == "." || component == "..") return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

// The directories |path| lies in, nearest the top first.
std::vector<std::string> parentsOf(const std::string& path) {
  std::vector<std::string> parents;
  for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
    parents.push_back(path.substr(0, slash));
  return parents;
}

}  // namespace

bool unzipWritesAsStored(const std::string& name) {
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7f || c == 0xff) return false;
  std::string last = name.substr(0, name.find_last_not_of('/') + 1);
  last = last.substr(last.rfind('/') + 1);
  size_t semicolon = last.rfind(';');
  return semicolon == std::string::npos ||
         last.find_first_not_of("0123456789", semicolon + 1) != std::string::npos;
}

bool planUnpack(const ZipDirectory& directory, int workers, size_t maxMembersBytes,
                UnpackPlan* plan, std::string* why, int64_t minMeanFileBytes) {
  *plan = UnpackPlan();
  auto refuse = [why, plan](const std::string& reason, const std::string& name = "") {
    *plan = UnpackPlan();
    *why = name.empty() ? reason : reason + ": " + name;
    return false;
  };
  if (directory.prependedBytes > 0) return refuse("data in front of the archive");
  std::set<std::string> names, directories;
  std::vector<const ZipEntry*> files;
  size_t attributedWords = 0;
  for (const ZipEntry& entry : directory.entries) {
    if (entry.encrypted) return refuse("an encrypted entry", entry.name);
    if (!unzipMatchesLiterally(entry) || !plainName(entry.name) || !unzipWritesAsStored(entry.name))
      return refuse("a name that cannot be passed on", entry.name);
    std::string path = entry.isDirectory() ? entry.name.substr(0, entry.name.size() - 1) : entry.name;
    if (!names.insert(path).second) return refuse("a name given twice", entry.name);
    // In directory order, as unzip goes: a directory made earlier, for an
    // entry inside it, keeps the mode and time it was made with.
    if (entry.isDirectory() && directories.insert(path).second) {
      plan->attributedMembers.push_back(smart_quote(unzipPattern(entry.name)));
      plan->attributedDirectories.push_back(path);
      attributedWords += plan->attributedMembers.back().size() + 1;
    }
    if (!entry.isDirectory()) files.push_back(&entry);
    for (const std::string& parent : parentsOf(path)) directories.insert(parent);
  }
  const int64_t listed = static_cast<int64_t>(files.size() + plan->attributedMembers.size());
  if (listed * static_cast<int64_t>(directory.entries.size()) > kMaxMemberComparisons ||
      attributedWords > maxMembersBytes)
    return refuse("too many entries to name them to unzip");
  // Links included: a link "a" and an entry "a/b" would write through it.
  for (const ZipEntry* file : files)
    if (directories.count(file->name)) return refuse("a file where a directory must be", file->name);
  // A set orders "a" before "a/b": parents come first.
  plan->directories.assign(directories.begin(), directories.end());
  std::sort(plan->attributedDirectories.rbegin(), plan->attributedDirectories.rend());

  std::sort(files.begin(), files.end(), [](const ZipEntry* a, const ZipEntry* b) {
    return a->localHeaderOffset < b->localHeaderOffset;
  });
  for (const ZipEntry* file : files) plan->unpackedBytes += std::max<int64_t>(0, file->uncompressedSize);
  if (!files.empty() && plan->unpackedBytes / static_cast<int64_t>(files.size()) < minMeanFileBytes)
    return refuse("files too small to share out");
  int count = std::max(1, workers) * kBatchesPerWorker;
  int64_t share = std::max<int64_t>(1, plan->unpackedBytes / count);
  size_t words = 0;
  for (const ZipEntry* file : files) {
    std::string member = smart_quote(unzipPattern(file->name));
    bool full = !plan->batches.empty() && (plan->batches.back().unpackedBytes >= share ||
                                           words + member.size() + 1 > maxMembersBytes);
    if (plan->batches.empty() || full) {
      plan->batches.emplace_back();
      words = 0;
    }
    UnpackBatch& batch = plan->batches.back();
    batch.members.push_back(member);
    batch.unpackedBytes += std::max<int64_t>(0, file->uncompressedSize);
    batch.end = std::max(batch.end, file->spanEnd);
    words += member.size() + 1;
  }
  return true;
}

DirectorySearch searchArchiveEnd(const std::string& path, int64_t fileSize, int64_t tailLength,
                                 ZipDirectory* directory, int64_t* needTail, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  int64_t length = std::min(tailLength, fileSize);
  std::string tail(static_cast<size_t>(std::max<int64_t>(0, length)), '\0');
  bool read = fd >= 0 && length >= 0 &&
              pread(fd, &tail[0], tail.size(), fileSize - length) == length;
  if (fd >= 0) close(fd);
  if (!read) {
    *error = "The archive cannot be read.";
    return DirectorySearch::kRefused;
  }
  return searchCentralDirectory(tail, fileSize, directory, needTail, error);
}

bool readArchiveDirectory(const std::string& path, ZipDirectory* directory, std::string* error) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "The archive cannot be read.";
    return false;
  }
  int64_t want = kZipSuggestedTail;
  DirectorySearch search = DirectorySearch::kNeedMore;
  for (int round = 0; round < 3 && search == DirectorySearch::kNeedMore; ++round)
    search = searchArchiveEnd(path, st.st_size, want, directory, &want, error);
  if (search == DirectorySearch::kNeedMore) *error = "The archive's directory was not found.";
  return search == DirectorySearch::kFound;
}

bool planArchiveUnpack(const std::string& path, int workers, UnpackPlan* plan, std::string* why) {
  ZipDirectory directory;
  return readArchiveDirectory(path, &directory, why) &&
         planUnpack(directory, workers, kMaxMembersBytes, plan, why);
}

int unpackWorkerCount() {
  long processors = sysconf(_SC_NPROCESSORS_ONLN);
  return static_cast<int>(std::min(8L, std::max(1L, processors)));
}
