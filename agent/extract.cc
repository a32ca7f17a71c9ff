#include "agent/extract.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <vector>

#include "agent/unpack_plan.h"
#include "platform/system.h"
#include "platform/task.h"
#include "util/constants.h"
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

std::string directoryAttributesCommandLine(const std::string& zipPath, const std::string& scratch,
                                           const UnpackPlan& plan) {
  std::string line = "exec " + unzipCommandLine(zipPath, scratch, "unzip");
  for (const std::string& member : plan.attributedMembers) line += " " + member;
  return line;
}

std::string makeAttributesScratchDir(const std::string& destDir) {
  size_t end = destDir.find_last_not_of('/');
  return end == std::string::npos ? "" : makeUniqueDirectory(destDir.substr(0, end + 1) + ".dirs-");
}

bool copyDirectoryAttributes(const std::string& scratch, const std::string& destDir,
                             const UnpackPlan& plan) {
  bool copied = true;
  for (const std::string& directory : plan.attributedDirectories) {
    struct stat made{}, into{};
    std::string path = destDir + FILE_SEPARATOR + directory;
    copied = copied && lstat((scratch + FILE_SEPARATOR + directory).c_str(), &made) == 0 &&
             lstat(path.c_str(), &into) == 0 && S_ISDIR(made.st_mode) && S_ISDIR(into.st_mode);
    const struct timespec times[2] = {made.st_atim, made.st_mtim};
    copied = copied && chmod(path.c_str(), made.st_mode & 07777) == 0 &&
             utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
  }
  return copied;
}

namespace {

// The command lines of the unzips that share |zipPath|'s entries out among
// |workers|, the largest first, with the directories they unpack into made
// and |plan| kept; none when there is one worker, or when the archive's
// directory does not let its entries be shared out safely (one unzip of the
// whole archive then decides).
std::vector<std::string> batchCommandLines(const std::string& zipPath, const std::string& destDir,
                                           const std::string& unzipProgram, int workers,
                                           UnpackPlan* plan) {
  ZipDirectory directory;
  std::string why;
  if (workers < 2 || !readArchiveDirectory(zipPath, &directory, &why) ||
      !planUnpack(directory, workers, kMaxMembersBytes, plan, &why) || plan->batches.size() < 2)
    return {};
  for (const std::string& made : plan->directories)
    if (mkdir((destDir + FILE_SEPARATOR + made).c_str(), 0777) != 0 && errno != EEXIST) return {};
  std::stable_sort(plan->batches.begin(), plan->batches.end(),
                   [](auto& a, auto& b) { return a.unpackedBytes > b.unpackedBytes; });
  std::vector<std::string> lines;
  for (const UnpackBatch& batch : plan->batches) {
    // exec: ending the shell's group ends unzip too, and waiting for the
    // shell waits for unzip.
    lines.push_back("exec " + unzipCommandLine(zipPath, destDir, unzipProgram));
    for (const std::string& member : batch.members) lines.back() += " " + member;
  }
  return lines;
}

// Runs |lines| in shells of their own groups, |workers| at once. A failure
// or a termination signal ends those running; the first status that is not
// a success is the result.
int runBatches(const std::vector<std::string>& lines, int workers) {
  std::vector<pid_t> running;
  size_t next = 0;
  int result = 0;
  while (next < lines.size() || !running.empty()) {
    while (result == 0 && next < lines.size() && static_cast<int>(running.size()) < workers) {
      running.push_back(launchShellTask(lines[next++]));
      if (running.back() < 0) result = -1, running.pop_back();
    }
    if (running.empty()) break;
    int status = -1;
    int ended = waitForAnyTask(running, &status);
    if (ended >= 0) running.erase(running.begin() + ended);
    if (ended < 0 || status != 0) {
      if (result == 0) result = ended < 0 ? -1 : status;
      for (pid_t pid : running) endTaskGroup(pid);
      running.clear();
      next = lines.size();
    }
  }
  return result;
}

}  // namespace

bool unzipInstallAgent(std::string zipPath, std::string destDir, std::string unzipProgram,
                       ErrorReport report) {
  struct stat st;
  if (stat(zipPath.c_str(), &st) != 0) return false;
  const int workers = unpackWorkerCount();
  UnpackPlan plan;
  std::vector<std::string> batches =
      batchCommandLines(zipPath, destDir, unzipProgram, workers, &plan);
  if (!batches.empty()) {
    int status = runBatches(batches, workers);
    if (status == 0 && !plan.attributedDirectories.empty()) {
      std::string scratch = makeAttributesScratchDir(destDir);
      status = scratch.empty() ? -1
                               : runBatches({directoryAttributesCommandLine(zipPath, scratch, plan)}, 1);
      if (status == 0 && !copyDirectoryAttributes(scratch, destDir, plan)) status = -1;
      if (!scratch.empty()) removeItemAtPath(scratch);
    }
    return checkUnzipStatus(status, report);
  }
  std::string command = unzipCommandLine(zipPath, destDir, unzipProgram);
  int status;
  try {
    status = call_system(unzipProgram, std::string(command.c_str()));
  } catch (const std::exception&) {
    return false;
  }
  return checkUnzipStatus(status, report);
}
