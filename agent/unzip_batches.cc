#include "agent/unzip_batches.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "agent/extract.h"
#include "platform/background.h"
#include "platform/system.h"
#include "util/constants.h"
#include "util/quote.h"

RunInBackground runOnLoop(Loop& loop) {
  return [&loop](const std::string& line, std::function<void(int)> done) {
    std::shared_ptr<BackgroundCommand> command = runInBackground(loop, line, std::move(done));
    return command ? std::function<void()>([command]() mutable { command.reset(); })
                   : std::function<void()>();
  };
}

UnzipBatches::UnzipBatches(RunInBackground run, int workers,
                           std::function<void(const std::string&)> log)
    : run_(std::move(run)), workers_(std::max(1, workers)), log_(std::move(log)) {}

void UnzipBatches::begin(UnpackPlan plan, std::string archive, std::function<std::string()> makeDir,
                         std::string logPrefix) {
  stop();
  plan_ = std::move(plan);
  archive_ = std::move(archive);
  makeDir_ = std::move(makeDir);
  logPrefix_ = std::move(logPrefix);
  ends_.clear();
  ends_.resize(plan_.batches.size() + 1);
  live_.assign(plan_.batches.size() + 1, false);
  next_ = 0;
  running_ = 0;
  available_ = 0;
  dir_.clear();
  made_ = whole_ = attributing_ = false;
  outcome_ = UnzipOutcome();
  outcome_.ok = true;
  begun_ = true;
}

void UnzipBatches::available(int64_t bytes) {
  available_ = bytes;
  if (begun_) pump();
}

void UnzipBatches::whole(Done done) {
  done_ = std::move(done);
  whole_ = true;
  available_ = INT64_MAX;
  // Every batch is there now: the largest first, so that no large one is
  // left to run alone at the end.
  std::stable_sort(plan_.batches.begin() + next_, plan_.batches.end(),
                   [](const UnpackBatch& a, const UnpackBatch& b) {
                     return a.unpackedBytes > b.unpackedBytes;
                   });
  pump();
}

// Starts every batch whose bytes have arrived, as many at once as there are
// workers; then the attributes; then tells the end.
void UnzipBatches::pump() {
  bool due = whole_ || (next_ < plan_.batches.size() && plan_.batches[next_].end <= available_);
  if (!made_ && due && outcome_.ok) {
    made_ = true;
    dir_ = makeDir_();
    bool made = !dir_.empty();
    for (size_t i = 0; made && i < plan_.directories.size(); ++i) {
      std::string path = dir_ + FILE_SEPARATOR + plan_.directories[i];
      made = mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
    }
    if (!made) outcome_ = {false, true, -1, ""};
  }
  while (outcome_.ok && running_ < workers_ && next_ < plan_.batches.size() &&
         plan_.batches[next_].end <= available_) {
    size_t batch = next_++;
    // exec: the shell becomes unzip, so that ending the shell ends unzip and
    // waiting for it waits for unzip.
    std::string line = "exec " + unzipCommandLine(archive_, dir_, "unzip");
    for (const std::string& member : plan_.batches[batch].members) line += " " + member;
    if (!launch(batch, line)) return;
  }
  bool unpacked = whole_ && running_ == 0 && next_ == plan_.batches.size();
  if (unpacked && outcome_.ok && !attributing_ && !plan_.attributedDirectories.empty()) {
    attributing_ = true;
    scratch_ = makeAttributesScratchDir(dir_);
    if (!scratch_.empty())
      return (void)launch(plan_.batches.size(),
                          directoryAttributesCommandLine(archive_, scratch_, plan_));
    outcome_ = {false, false, -1, ""};
  }
  if (whole_ && running_ == 0 && (!outcome_.ok || next_ == plan_.batches.size())) {
    begun_ = false;
    if (done_) done_(outcome_);
  }
}

// Starts the unzip |line| of |slot|; false when it could not be started
// (its end has then been dealt with).
bool UnzipBatches::launch(size_t slot, std::string line) {
  line += " </dev/null";
  if (!logPrefix_.empty()) line += " >" + smart_quote(logOf(slot)) + " 2>&1";
  ++running_;
  std::function<void()> end = run_(line, [this, slot](int status) { ended(slot, status); });
  if (!end) {
    ended(slot, -1);
    return false;
  }
  ends_[slot] = std::move(end);
  live_[slot] = true;
  return true;
}

void UnzipBatches::ended(size_t slot, int status) {
  --running_;
  live_[slot] = false;
  std::string said;
  if (!logPrefix_.empty()) {
    readRegularFile(logOf(slot), 65536, &said);
    unlink(logOf(slot).c_str());
    std::istringstream lines(said);
    for (std::string line; std::getline(lines, line);)
      if (!line.empty()) log_("unzip: " + line);
  }
  if (slot == plan_.batches.size()) {
    if (status == 0 && !copyDirectoryAttributes(scratch_, dir_, plan_)) status = -1;
    removeItemAtPath(scratch_);
    scratch_.clear();
  }
  if (status != 0 && outcome_.ok) {
    outcome_ = {false, false, status, said};
    endAll();  // the others' work is lost anyway
  }
  if (whole_) pump();  // else whole() tells of the failure
}

// Ends the unzips still running; their own ends never come.
void UnzipBatches::endAll() {
  for (size_t slot = 0; slot < ends_.size(); ++slot)
    if (live_[slot]) ends_[slot]();
  live_.assign(live_.size(), false);
  running_ = 0;
  if (!logPrefix_.empty())
    for (size_t slot = 0; slot < ends_.size(); ++slot) unlink(logOf(slot).c_str());
  if (!scratch_.empty()) removeItemAtPath(scratch_);
  scratch_.clear();
}

void UnzipBatches::stop() {
  if (!begun_) return;
  begun_ = false;
  endAll();
}
