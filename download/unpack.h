#ifndef SETUP_DOWNLOAD_UNPACK_H_
#define SETUP_DOWNLOAD_UNPACK_H_

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "agent/cache.h"
#include "agent/unpack_plan.h"
#include "agent/unzip_batches.h"
#include "util/report.h"

class KeptPart;

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
  // The archive is this part's data: its description goes before the
  // archive does (renamed, removed), else a later run would take it to
  // describe a part of its own.
  KeptPart* part = nullptr;
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
      : report_(report), log_(log), workers_(std::max(1, workers)),
        batches_(std::move(run), workers, std::move(log)) {}
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
  void begin(const UnpackTarget& target, UnpackPlan plan);
  void ended(const UnzipOutcome& outcome);
  void finish(bool unpacked);

  ErrorReport report_;
  std::function<void(const std::string&)> log_;
  int workers_;
  UnpackTarget target_;
  UnzipBatches batches_;
  std::string validationString_, signature_;
  bool prepared_ = false;  // planned: batches may run
  bool started_ = false;   // the archive is whole
  bool outOfSpace_ = false;
  std::string placedArchive_;  // the archive removeArchive() removes
  Done done_;
};

#endif  // SETUP_DOWNLOAD_UNPACK_H_
