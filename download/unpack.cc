#include "download/unpack.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>

#include "agent/extract.h"
#include "agent/partial.h"
#include "platform/system.h"
#include "util/constants.h"
#include "util/translation.h"

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
  if (running()) stop();
  removeArchive();
}

// The destination is made just before the first unzip starts, not when the
// plan is: making hundreds of directories takes a while, which would hold
// up the request for the body.
void Unpacking::begin(const UnpackTarget& target, UnpackPlan plan) {
  target_ = target;
  outOfSpace_ = false;
  prepared_ = true;
  batches_.begin(std::move(plan), target.archive, [this] {
    if (target_.useCache) return makeStagingDir();
    bool made = mkdir(target_.workAgentDir.c_str(), 0700) == 0 || errno == EEXIST;
    return made ? target_.workAgentDir : std::string();
  }, target.logPrefix);
}

bool Unpacking::prepare(const UnpackTarget& target, const ZipDirectory& directory,
                        std::string* why) {
  UnpackPlan plan;
  if (!planUnpack(directory, workers_, kMaxMembersBytes, &plan, why)) return false;
  begin(target, std::move(plan));
  return true;
}

void Unpacking::available(int64_t bytes) {
  if (prepared_) batches_.available(bytes);
}

void Unpacking::start(const UnpackTarget& target, const std::string& validationString,
                      const std::string& signature, Done done) {
  validationString_ = validationString;
  signature_ = signature;
  done_ = std::move(done);
  if (!prepared_) {
    UnpackPlan plan;
    std::string why;
    if (!planArchiveUnpack(target.archive, workers_, &plan, &why)) {
      log_("The archive is unpacked by one unzip: " + why);
      plan = UnpackPlan();
      plan.batches.emplace_back();  // no members: the whole archive
    }
    begin(target, std::move(plan));
  }
  started_ = true;
  if (!fileExists(target_.archive)) {
    batches_.stop();
    return finish(false);
  }
  batches_.whole([this](const UnzipOutcome& outcome) { ended(outcome); });
}

void Unpacking::ended(const UnzipOutcome& outcome) {
  if (outcome.noDirectory && report_)
    report_(sayf(_("Cannot make the directory to unpack the installer into: %s"),
                 batches_.dir().c_str()),
            true);
  if (!outcome.ok && !outcome.noDirectory) {
    outOfSpace_ = diskFull(outcome.said, batches_.dir());
    if (outOfSpace_ && report_)
      report_(sayf(_("No space left on device to unpack the installer into %s"),
                   batches_.dir().c_str()),
              true);
    checkUnzipStatus(outcome.status == 0 ? -1 : outcome.status, report_);
  }
  finish(outcome.ok);
}

void Unpacking::finish(bool unpacked) {
  prepared_ = started_ = false;
  const std::string& dir = batches_.dir();
  unpacked = unpacked && fileExists(target_.archive);
  AgentHold placed;
  if (unpacked) {
    placed = target_.useCache ? installStagedAgent(dir, validationString_, signature_)
                              : AgentHold(dir + FILE_SEPARATOR, -1, false);
  } else if (target_.useCache && !dir.empty()) {
    removeItemAtPath(dir);
  }
  if (target_.part) target_.part->forget();
  bool keep = unpacked && !placed.dir().empty() && target_.keepArchive && !target_.keptArchive.empty();
  if (!placed.dir().empty() && !keep && !target_.keptArchive.empty())
    unlink(target_.keptArchive.c_str());
  // Otherwise the archive is not needed once unpacked; the agent may run for long.
  bool kept = keep && rename(target_.archive.c_str(), target_.keptArchive.c_str()) == 0;
  if (!kept && placed.dir().empty()) unlink(target_.archive.c_str());
  if (!kept && !placed.dir().empty()) placedArchive_ = target_.archive;
  done_(std::move(placed));
}

void Unpacking::removeArchive() {
  if (!placedArchive_.empty()) unlink(placedArchive_.c_str());
  placedArchive_.clear();
}

void Unpacking::stop() {
  bool whole = started_;
  prepared_ = started_ = false;
  batches_.stop();
  if (whole && target_.part) target_.part->forget();
  if (whole) unlink(target_.archive.c_str());
  if (!batches_.dir().empty()) removeItemAtPath(batches_.dir());
}
