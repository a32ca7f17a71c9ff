#ifndef SETUP_AGENT_UNZIP_BATCHES_H_
#define SETUP_AGENT_UNZIP_BATCHES_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "agent/unpack_plan.h"
#include "platform/loop.h"

// Runs a shell command line while the loop goes on and calls |done| with its
// wait status; returns what ends it early (then |done| never comes), or an
// empty function when it could not be started.
using RunInBackground = std::function<std::function<void()>(
    const std::string& commandLine, std::function<void(int status)> done)>;

// Runs each command line in the background on |loop| (see runInBackground).
RunInBackground runOnLoop(Loop& loop);

// How the unzips of an unpacking ended.
struct UnzipOutcome {
  bool ok = false;
  bool noDirectory = false;  // the directory to unpack into could not be made
  int status = 0;            // the first failed unzip's wait status
  std::string said;          // and what it said, when its output was kept
};

// The unzips of an unpacking by batches (see UnpackPlan), for the archive
// beside the program and for a download alike: up to |workers| at once,
// each batch started once the archive holds its bytes, the largest first
// once it is whole, then the directories' attributes. The first failure
// ends the others; nothing is awaited from unzip (its input is empty).
class UnzipBatches {
 public:
  using Done = std::function<void(const UnzipOutcome& outcome)>;

  // |log| takes each line an unzip said, when their output is kept (see
  // begin); it is no reading for the user.
  UnzipBatches(RunInBackground run, int workers, std::function<void(const std::string&)> log);
  ~UnzipBatches() { stop(); }
  UnzipBatches(const UnzipBatches&) = delete;
  UnzipBatches& operator=(const UnzipBatches&) = delete;

  // Unpacks |archive| by |plan| into the directory |makeDir| makes (and
  // names; empty when it cannot) just before the first unzip, with the
  // plan's directories in it. With a |logPrefix|, each unzip's output goes
  // to |logPrefix|.N, read and removed when it ends; else it is inherited.
  void begin(UnpackPlan plan, std::string archive, std::function<std::string()> makeDir,
             std::string logPrefix);
  // The archive now holds its first |bytes| bytes (and its end).
  void available(int64_t bytes);
  // The archive is whole: what is left runs, and |done| follows the end.
  void whole(Done done);
  // Ends every unzip still running; |done| never comes. Their directory
  // stays: it is the caller's.
  void stop();
  bool running() const { return begun_; }
  const std::string& dir() const { return dir_; }

 private:
  void pump();
  bool launch(size_t slot, std::string line);
  void ended(size_t slot, int status);
  void endAll();
  std::string logOf(size_t slot) const { return logPrefix_ + "." + std::to_string(slot); }

  RunInBackground run_;
  int workers_;
  std::function<void(const std::string&)> log_;
  UnpackPlan plan_;
  std::string archive_, logPrefix_, dir_, scratch_;
  std::function<std::string()> makeDir_;
  // What ends each unzip started, a slot a batch and one past them for the
  // attributes, kept until stop or the next begin: never dropped inside its
  // own event.
  std::vector<std::function<void()>> ends_;
  std::vector<bool> live_;  // which of them still runs
  size_t next_ = 0;         // the first batch not started
  int running_ = 0;
  int64_t available_ = 0;
  bool begun_ = false, made_ = false, whole_ = false, attributing_ = false;
  UnzipOutcome outcome_;
  Done done_;
};

#endif  // SETUP_AGENT_UNZIP_BATCHES_H_
