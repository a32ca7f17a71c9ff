#ifndef SETUP_DOWNLOAD_UNPACK_H_
#define SETUP_DOWNLOAD_UNPACK_H_

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "agent/cache.h"
#include "agent/unpack_plan.h"
#include "util/report.h"

// Runs a shell command line while the loop goes on and calls |done| with its
// wait status; returns what ends it early (then |done| never comes), or an
// empty function when it could not be started.
using RunInBackground = std::function<std::function<void()>(
    const std::string& commandLine, std::function<void(int status)> done)>;

// Where an unpacking puts the agent and its notes.
struct UnpackTarget {
  std::string archive;       // removed once unpacked
  bool useCache = false;     // through a staging directory into the cache
  std::string workAgentDir;  // else here
  std::string logPrefix;     // unzip's output goes to |logPrefix|.N, removed afterwards
  // Where the archive of the placed agent is kept (with keepArchive), or
  // where an earlier one goes from (without): it belongs to the agent it
  // replaces.
  std::string keptArchive;
  bool keepArchive = false;
};

// The unpacking step of a download. The archive's entries are shared out
// among |workers| unzips run at once (UnpackPlan), each a child process
// watched by the loop, so that the window stays responsive and closing it
// ends them all; an archive whose directory does not allow that is unpacked
// by one unzip. The agent is then placed: into the cache through a staging
// directory, or where it was unpacked when the cache is not used.
class Unpacking {
 public:
  // |placed| gets the agent's hold; an empty hold when nothing could be
  // unpacked or placed (then nothing of the unpacking is left).
  using Done = std::function<void(AgentHold placed)>;

  // |log| takes unzip's own lines, which are no reading for the user.
  Unpacking(RunInBackground run, ErrorReport report, std::function<void(const std::string&)> log,
            int workers)
      : run_(std::move(run)), report_(report), log_(std::move(log)),
        workers_(std::max(1, workers)) {}
  // Ends an unpacking still under way, as stop() does.
  ~Unpacking();

  // Before the archive is whole, from its |directory|: plans the batches,
  // and from then on unpacks each batch once available() says the file
  // holds its bytes (the destination and its directories made before the
  // first). False with |why| when the entries cannot be shared out.
  bool prepare(const UnpackTarget& target, const ZipDirectory& directory, std::string* why);
  // The archive now holds its first |bytes| bytes (and its end).
  void available(int64_t bytes);
  // The archive is whole: unpacks what is left (all of it without
  // prepare(), by the plan its own directory allows), then places it,
  // stamped with |validationString| and with |signature| kept beside it.
  // unzip answers no question: its input is empty.
  void start(const UnpackTarget& target, const std::string& validationString,
             const std::string& signature, Done done);
  // Ends the unpacking and everything it started; nothing of it stays,
  // and the archive only when it was whole (start() was called): before,
  // it is the download's.
  void stop();
  bool running() const { return prepared_ || started_; }
  // Whether the last unpacking failed for lack of disk space.
  bool outOfSpace() const { return outOfSpace_; }
  // Removes the archive of an agent that was placed. The removal waits for
  // this call (or the destructor) so that the agent can start first:
  // unlinking a large file that is still in the page cache takes tens of
  // milliseconds.
  void removeArchive();

 private:
  void begin(const UnpackTarget& target);
  bool makeDestination();
  void pump();
  bool launch(size_t slot, std::string line);
  void batchEnded(size_t batch, int status);
  void endAll();
  void finish(bool unpacked);
  std::string logOf(size_t batch) const { return target_.logPrefix + "." + std::to_string(batch); }

  RunInBackground run_;
  ErrorReport report_;
  std::function<void(const std::string&)> log_;
  int workers_;
  UnpackTarget target_;
  UnpackPlan plan_;
  std::string dir_, validationString_, signature_;
  // What ends each batch started, kept until stop or the next unpacking:
  // never dropped inside its own event.
  std::vector<std::function<void()>> ends_;
  std::vector<bool> live_;  // which of them still runs
  size_t next_ = 0;        // the first batch not started
  int runningBatches_ = 0;
  int64_t available_ = 0;
  bool prepared_ = false;  // planned: batches may run
  bool made_ = false;      // the destination was made (or tried)
  bool started_ = false;   // the archive is whole
  bool attributing_ = false;  // the directories' attributes were started
  std::string scratch_;        // where unzip makes the attributed directories
  bool failed_ = false;
  bool outOfSpace_ = false;
  std::string placedArchive_;  // the archive removeArchive() removes
  Done done_;
};

#endif  // SETUP_DOWNLOAD_UNPACK_H_
