#include "agent/extract.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <exception>

#include "agent/unpack_plan.h"
#include "agent/unzip_batches.h"
#include "platform/loop.h"
#include "platform/signal_watch.h"
#include "platform/system.h"
#include "util/constants.h"
#include "util/launch.h"
#include "util/quote.h"
#include "util/translation.h"

std::string unzipCommandLine(const std::string& zipPath, const std::string& destDir,
                             const std::string& unzipProgram) {
  return smart_quote(unzipProgram) + " -qq -o " + smart_quote(zipPath) + " -d " +
         smart_quote(destDir);
}

bool checkUnzipStatus(int status, ErrorReport report) {
  if (status == 0) return true;
  if (report) report(_("Failed to unzip the install agent"), true);
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

// Unpacks by |plan| with |workers| unzips at once, on a loop of its own
// that a termination signal stops (ending every unzip); true when every
// unzip succeeded.
bool unzipByBatches(const std::string& zipPath, const std::string& destDir, UnpackPlan plan,
                    int workers) {
  std::unique_ptr<Loop> loop = newPollLoop();
  UnzipBatches batches(runOnLoop(*loop), workers, nullptr);
  bool unpacked = false;
  SignalWatch signals(*loop, [&] {
    batches.stop();
    loop->stop();
  });
  batches.begin(std::move(plan), zipPath, [&destDir] { return destDir; }, "");
  batches.whole([&](const UnzipOutcome& outcome) {
    unpacked = outcome.ok;
    loop->stop();
  });
  if (batches.running()) loop->run();
  return unpacked;
}

}  // namespace

bool unzipInstallAgent(std::string zipPath, std::string destDir, std::string unzipProgram,
                       ErrorReport report) {
  struct stat st;
  if (stat(zipPath.c_str(), &st) != 0) return false;
  const int workers = unpackWorkerCount();
  UnpackPlan plan;
  std::string why;
  if (workers > 1 && planArchiveUnpack(zipPath, workers, &plan, &why) && plan.batches.size() > 1)
    return checkUnzipStatus(unzipByBatches(zipPath, destDir, std::move(plan), workers) ? 0 : -1,
                            report);
  std::string command = unzipCommandLine(zipPath, destDir, unzipProgram);
  int status;
  try {
    status = call_system(unzipProgram, std::string(command.c_str()));
  } catch (const std::exception&) {
    return false;
  }
  return checkUnzipStatus(status, report);
}
