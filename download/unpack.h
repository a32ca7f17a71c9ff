#ifndef SETUP_DOWNLOAD_UNPACK_H_
#define SETUP_DOWNLOAD_UNPACK_H_

#include <functional>
#include <string>

#include "agent/cache.h"
#include "util/report.h"

// Runs a shell command line while the loop goes on and calls |done| with its
// wait status; returns what ends it early (then |done| never comes), or an
// empty function when it could not be started.
using RunInBackground = std::function<std::function<void()>(
    const std::string& commandLine, std::function<void(int status)> done)>;

// The unpacking step of a download: unzips the archive in a child process
// watched by the loop (so that the window stays responsive and closing it
// can end the unpacking), then places the agent: into the cache through a
// staging directory, or where it was unpacked when the cache is not used.
class Unpacking {
 public:
  // |placed| gets the agent's hold; an empty hold when nothing could be
  // unpacked or placed (then nothing of the unpacking is left).
  using Done = std::function<void(AgentHold placed)>;

  // |log| takes unzip's own lines, which are no reading for the user.
  Unpacking(RunInBackground run, ErrorReport report, std::function<void(const std::string&)> log)
      : run_(std::move(run)), report_(report), log_(std::move(log)) {}
  // Ends an unpacking still under way, as stop() does.
  ~Unpacking();

  // Unpacks |archive| (removed once unpacked) into the cache, stamped with
  // |validationString| and with |signature| kept beside it, when |useCache|;
  // else into |workAgentDir|. unzip answers no question (its input is
  // empty) and writes to |unzipLog|, removed afterwards.
  void start(const std::string& archive, bool useCache, const std::string& workAgentDir,
             const std::string& validationString, const std::string& signature,
             const std::string& unzipLog, Done done);
  // Ends the unpacking and everything it started; nothing of it stays.
  void stop();
  bool running() const { return running_; }
  // Whether the last unpacking failed for lack of disk space.
  bool outOfSpace() const { return outOfSpace_; }

 private:
  void finish(int status);

  RunInBackground run_;
  ErrorReport report_;
  std::function<void(const std::string&)> log_;
  std::string unzipLog_;
  std::function<void()> end_;  // kept until stop or destruction, never dropped in its own event
  std::string archive_, dir_, validationString_, signature_;
  bool useCache_ = false;
  bool running_ = false;
  bool outOfSpace_ = false;
  Done done_;
};

#endif  // SETUP_DOWNLOAD_UNPACK_H_
