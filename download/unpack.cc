#include "download/unpack.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <sstream>

#include "agent/extract.h"
#include "platform/system.h"
#include "util/constants.h"
#include "util/quote.h"

namespace {

// Whether unzip ran out of room: its own words, or a file system with no
// room left (unzip's log may not have fitted either).
bool diskFull(const std::string& unzipOutput, const std::string& dir) {
  if (unzipOutput.find("No space left on device") != std::string::npos ||
      unzipOutput.find("disk full") != std::string::npos)
    return true;
  struct statvfs fs;
  return statvfs(dir.c_str(), &fs) == 0 && fs.f_bavail * fs.f_frsize < 64 * 1024;
}

}  // namespace

Unpacking::~Unpacking() {
  if (running_) stop();
}

void Unpacking::start(const std::string& archive, bool useCache, const std::string& workAgentDir,
                      const std::string& validationString, const std::string& signature,
                      const std::string& unzipLog, Done done) {
  archive_ = archive;
  unzipLog_ = unzipLog;
  useCache_ = useCache;
  validationString_ = validationString;
  signature_ = signature;
  done_ = std::move(done);
  dir_ = useCache ? makeStagingDir() : workAgentDir;
  if (dir_.empty()) return done_(AgentHold());
  if (!fileExists(archive_)) return finish(-1);
  running_ = true;
  std::string line = unzipCommandLine(archive_, dir_, "unzip") + " </dev/null >" +
                     smart_quote(unzipLog_) + " 2>&1";
  std::function<void()> end = run_(line, [this](int status) { finish(status); });
  if (!end) return finish(-1);
  if (running_) end_ = std::move(end);
}

void Unpacking::finish(int status) {
  running_ = false;
  std::string output;
  readRegularFile(unzipLog_, 65536, &output);
  unlink(unzipLog_.c_str());
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) log_("unzip: " + line);
  outOfSpace_ = status != 0 && diskFull(output, dir_);
  if (outOfSpace_ && report_)
    report_("No space left on device to unpack the installer into " + dir_, true);
  bool unpacked = fileExists(archive_) && checkUnzipStatus(status, report_);
  // The archive is not needed once unpacked; the agent may run for long.
  unlink(archive_.c_str());
  AgentHold placed;
  if (unpacked) {
    placed = useCache_ ? installStagedAgent(dir_, validationString_, signature_)
                       : AgentHold(dir_ + FILE_SEPARATOR, -1, false);
  } else if (useCache_) {
    removeItemAtPath(dir_);
  }
  done_(std::move(placed));
}

void Unpacking::stop() {
  running_ = false;
  std::function<void()> end = std::move(end_);
  end_ = nullptr;
  if (end) end();
  unlink(archive_.c_str());
  unlink(unzipLog_.c_str());
  removeItemAtPath(dir_);
}
