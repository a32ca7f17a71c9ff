#include "download/unpack.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
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
  if (running()) stop();
  removeArchive();
}

void Unpacking::begin(const UnpackTarget& target) {
  ends_.clear();
  target_ = target;
  next_ = 0;
  runningBatches_ = 0;
  available_ = 0;
  failed_ = outOfSpace_ = made_ = false;
  dir_.clear();
  // A slot a batch, and one past them for the directories' attributes.
  ends_.resize(plan_.batches.size() + 1);
  live_.assign(plan_.batches.size() + 1, false);
  attributing_ = false;
  prepared_ = true;
}

// Made just before the first unzip starts, not when the plan is: making
// hundreds of directories takes a while, which would hold up the request
// for the body.
bool Unpacking::makeDestination() {
  made_ = true;
  dir_ = target_.useCache ? makeStagingDir() : target_.workAgentDir;
  if (dir_.empty() || (!target_.useCache && mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST))
    return false;
  for (const std::string& directory : plan_.directories) {
    std::string path = dir_ + FILE_SEPARATOR + directory;
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool Unpacking::prepare(const UnpackTarget& target, const ZipDirectory& directory,
                        std::string* why) {
  if (!planUnpack(directory, workers_, kMaxMembersBytes, &plan_, why)) return false;
  begin(target);
  return true;
}

void Unpacking::available(int64_t bytes) {
  available_ = bytes;
  if (prepared_) pump();
}

void Unpacking::start(const UnpackTarget& target, const std::string& validationString,
                      const std::string& signature, Done done) {
  validationString_ = validationString;
  signature_ = signature;
  done_ = std::move(done);
  if (!prepared_) {
    ZipDirectory directory;
    std::string why;
    if (!readArchiveDirectory(target.archive, &directory, &why) ||
        !planUnpack(directory, workers_, kMaxMembersBytes, &plan_, &why)) {
      log_("The archive is unpacked by one unzip: " + why);
      plan_ = UnpackPlan();
      plan_.batches.emplace_back();  // no members: the whole archive
    }
    begin(target);
  }
  started_ = true;
  available_ = INT64_MAX;
  // Every batch is there now: the largest first, so that no large one is
  // left to run alone at the end.
  std::stable_sort(plan_.batches.begin() + next_, plan_.batches.end(),
                   [](const UnpackBatch& a, const UnpackBatch& b) {
                     return a.unpackedBytes > b.unpackedBytes;
                   });
  if (!fileExists(target_.archive)) return finish(false);
  pump();
}

// Starts every batch whose bytes have arrived, as many at once as there are
// workers.
void Unpacking::pump() {
  bool due = started_ || (next_ < plan_.batches.size() && plan_.batches[next_].end <= available_);
  if (!made_ && due && !failed_ && !makeDestination()) {
    failed_ = true;
    if (report_) report_("Cannot make the directory to unpack the installer into: " + dir_, true);
  }
  while (!failed_ && runningBatches_ < workers_ && next_ < plan_.batches.size() &&
         plan_.batches[next_].end <= available_) {
    size_t batch = next_++;
    // exec: the shell becomes unzip, so that ending the shell ends unzip and
    // waiting for it waits for unzip.
    std::string line = "exec " + unzipCommandLine(target_.archive, dir_, "unzip");
    for (const std::string& member : plan_.batches[batch].members) line += " " + member;
    if (!launch(batch, line)) return;
  }
  bool unpacked = started_ && runningBatches_ == 0 && next_ == plan_.batches.size();
  if (unpacked && !failed_ && !attributing_ && !plan_.attributedDirectories.empty()) {
    attributing_ = true;
    scratch_ = makeAttributesScratchDir(dir_);
    if (!scratch_.empty())
      return (void)launch(plan_.batches.size(),
                          directoryAttributesCommandLine(target_.archive, scratch_, plan_));
    failed_ = true;
    checkUnzipStatus(-1, report_);
  }
  if (started_ && runningBatches_ == 0 && (failed_ || next_ == plan_.batches.size()))
    finish(!failed_);
}

// Starts the unzip |line| of |slot|; false when it could not be started
// (its end has then been dealt with).
bool Unpacking::launch(size_t slot, std::string line) {
  line += " </dev/null >" + smart_quote(logOf(slot)) + " 2>&1";
  ++runningBatches_;
  std::function<void()> end = run_(line, [this, slot](int status) { batchEnded(slot, status); });
  if (!end) {
    batchEnded(slot, -1);
    return false;
  }
  ends_[slot] = std::move(end);
  live_[slot] = true;
  return true;
}

void Unpacking::batchEnded(size_t batch, int status) {
  --runningBatches_;
  live_[batch] = false;
  std::string output;
  readRegularFile(logOf(batch), 65536, &output);
  unlink(logOf(batch).c_str());
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) log_("unzip: " + line);
  if (batch == plan_.batches.size()) {
    if (status == 0 && !copyDirectoryAttributes(scratch_, dir_, plan_)) status = -1;
    removeItemAtPath(scratch_);
    scratch_.clear();
  }
  if (status != 0 && !failed_) {
    failed_ = true;
    outOfSpace_ = diskFull(output, dir_);
    if (outOfSpace_ && report_)
      report_("No space left on device to unpack the installer into " + dir_, true);
    checkUnzipStatus(status, report_);
    endAll();  // the others' work is lost anyway
  }
  if (started_) pump();  // else start() reports the failure
}

// Ends the batches still running; their own ends never come.
void Unpacking::endAll() {
  for (size_t batch = 0; batch < ends_.size(); ++batch)
    if (live_[batch]) ends_[batch]();
  live_.assign(live_.size(), false);
  runningBatches_ = 0;
  for (size_t batch = 0; batch < ends_.size(); ++batch) unlink(logOf(batch).c_str());
  if (!scratch_.empty()) removeItemAtPath(scratch_);
  scratch_.clear();
}

void Unpacking::finish(bool unpacked) {
  prepared_ = started_ = false;
  unpacked = unpacked && fileExists(target_.archive);
  AgentHold placed;
  if (unpacked) {
    placed = target_.useCache ? installStagedAgent(dir_, validationString_, signature_)
                              : AgentHold(dir_ + FILE_SEPARATOR, -1, false);
  } else if (target_.useCache && !dir_.empty()) {
    removeItemAtPath(dir_);
  }
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
  endAll();
  if (whole) unlink(target_.archive.c_str());
  if (made_ && !dir_.empty()) removeItemAtPath(dir_);
  made_ = false;
}
