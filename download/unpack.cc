#include "download/unpack.h"

#include <unistd.h>

#include "agent/extract.h"
#include "platform/system.h"
#include "util/constants.h"

Unpacking::~Unpacking() {
  if (running_) stop();
}

void Unpacking::start(const std::string& archive, bool useCache, const std::string& workAgentDir,
                      const std::string& validationString, const std::string& signature,
                      Done done) {
  archive_ = archive;
  useCache_ = useCache;
  validationString_ = validationString;
  signature_ = signature;
  done_ = std::move(done);
  dir_ = useCache ? makeStagingDir() : workAgentDir;
  if (dir_.empty()) return done_(AgentHold());
  if (!fileExists(archive_)) return finish(false);
  running_ = true;
  ErrorReport report = report_;
  std::function<void()> end =
      run_(unzipCommandLine(archive_, dir_, "unzip"),
           [this, report](int status) { finish(checkUnzipStatus(status, report)); });
  if (!end) return finish(checkUnzipStatus(-1, report));
  if (running_) end_ = std::move(end);
}

void Unpacking::finish(bool unpacked) {
  running_ = false;
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
  removeItemAtPath(dir_);
}
