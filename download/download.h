#ifndef SETUP_DOWNLOAD_DOWNLOAD_H_
#define SETUP_DOWNLOAD_DOWNLOAD_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agent/cache.h"
#include "download/delta_update.h"
#include "download/fetch.h"
#include "download/hosts.h"
#include "download/proxy_choice.h"
#include "download/proxy_login.h"
#include "download/signature_check.h"
#include "download/space_check.h"
#include "download/status.h"
#include "download/unpack.h"
#include "util/report.h"

class DownloadWindow;
class KeptPart;

// What the download front end needs of the platform. The defaults from
// the entry side (download/bootstrap.cc) are the real ones; tests give fakes.
struct DownloadPlatform {
  Loop* loop = nullptr;
  DownloadWindow* window = nullptr;
  FetchServices net;  // its loop is |loop|
  std::function<pid_t(const std::string&, const std::vector<std::string>&)> launchTask;
  RunInBackground runInBackground;
  std::function<double()> clock;  // seconds that never jump, for the speed
  // The bundle's resource directory: splash, keys, and the bundle.zip handed
  // to the agent. Empty when there is no bundle: nothing is downloaded.
  std::string resourceDir;
  // Further URLs of the same archive, tried after the main one when the
  // run has keys.
  std::vector<std::string> mirrors;
  std::vector<std::string> arguments;  // the process's, program path first
  ErrorReport report = nullptr;
  bool useCache = false;  // the cache is private: unpack into it
  ProxySources proxies;   // where the transfers' proxy comes from
  int unpackWorkers = 1;  // unzips run at once
  DiskSpaceOf diskSpace;  // the free space of a path's file system
  DeltaServices delta;    // byte ranges at once, and copies between files
};

// The download front end. It orders one run: ask whether the cached agent
// is current (its stamp sent as If-None-Match, with a request for the
// archive's end) → read the archive's directory from its end and check the
// disk space → fetch the rest of the archive (or continue bytes an earlier
// run kept), unpacking each batch of entries as it arrives when nothing is
// signed → fetch and check its signature when the bundle has keys → unpack
// → place → hand off to the agent. Each step is a part of its own (Fetch,
// SignatureCheck, Unpacking, the cache); what the window says is
// DownloadStatus's. All calls arrive on the loop's thread.
class Download : private FetchDelegate {
 public:
  // |idleTimeout|: seconds without a byte before an attempt fails.
  explicit Download(DownloadPlatform platform, double idleTimeout = 60.0);

  // While another host waits, seconds without a byte (connecting included)
  // before a host is left for the next.
  static constexpr double kHandOverSeconds = 10.0;
  ~Download() override;

  // Takes the archive's destination from downloadTo; resets the display.
  void init();
  // Shows the splash image and starts the transfer of downloadFrom.
  void applicationDidFinishLaunching();
  // The window is closing: cancels the transfer, ends an unpacking (its
  // directory removed) and stops the loop.
  void windowWillClose();
  void downloadFromURL(const std::string& url);
  // Starts the install agent from the cached (or unpacked) agent directory.
  void fireInstallAgent();

  // Whether a download was started (without a bundle there is none).
  bool started() const { return started_; }
  // The install agent's process once it has been handed the run, else -1.
  pid_t agentTask() const { return agentTask_; }
  // The directory the agent was started from, to be kept until it ends.
  AgentHold takeAgentHold() { return std::move(agent_); }

 private:
  // The archive's fetch.
  bool fetchWantsBody(const FetchStart& offered) override;
  void fetchNamesDuplicates(const std::vector<std::string>& urls) override;
  // The next host, when one is left, takes over the run after |why|.
  bool handOver(const std::string& why);
  void signatureDropsHost(const std::string& error);
  void startArchive(FetchRequest request);
  void cachedSignatureAnswered(SignatureMatch::Answer answer, const FetchError& error,
                               FetchRequest request);
  // The idle limit and hand-over of a request while another host waits.
  void forHosts(FetchRequest* request) const;
  bool fetchNotModified() override;
  void fetchAccepted(const FetchStart& start) override;
  void fetchProgress(int64_t received, int64_t further) override;
  void fetchWaiting(FetchWait why, int seconds) override;
  void fetchFinished() override;
  void fetchFailed(const FetchError& error) override;

  void endArrived();
  bool tryDelta(const ZipDirectory& directory);
  std::string keptArchiveSource();
  void deltaEnded(DeltaUpdate::Outcome outcome, const FetchError& error);
  bool keepsArchive();
  void fetchBeforeEnd(const ZipDirectory* directory);
  bool enoughSpace(const ZipDirectory& directory);
  bool enoughSpace(const std::vector<SpaceNeed>& needs);
  void archiveComplete();
  UnpackTarget unpackTarget() const;
  FetchRequest archiveRequest(bool intoPart) const;
  void later(std::function<void()> step);
  void logFailure(const std::string& description, const std::string& url);
  void offerToTryAgain(bool helps);
  void tryAgain();
  void signatureChecked(const std::string& error, const std::string& url);
  void askAboutRelease(const std::string& error, const std::string& url, bool again);
  void releaseAsked(ReleaseProbe::Answer answer, const std::string& error, const std::string& url);
  void startUnpacking();
  void agentPlaced(AgentHold placed);
  bool fetchWholeOnceMore();
  void fetchWhole();
  bool startCachedAgentIfCurrent();
  bool cachedAgentWasChecked();

  DownloadPlatform platform_;
  Loop& loop_;
  DownloadWindow& window_;
  double idleTimeout_;
  DownloadStatus status_;
  bool started_ = false;
  pid_t agentTask_ = -1;

  bool canTryAgain_ = false;

  // Where the archive was to be stored, then the directory of the agent
  // that was started; and the ETag of the archive the server offers.
  std::string installAgentLocation;
  std::string validationString;

  std::string url_;
  std::string archivePath_;          // where the archive's bytes go
  std::unique_ptr<KeptPart> part_;   // set when bytes can be kept for a later run
  std::string stamp_;                // the cached agent's, sent as its condition
  int64_t received_ = 0;
  // Bytes kept from the host the run left, for the next to continue.
  struct Carried {
    int64_t bytes = 0, total = -1;
  } carried_;
  // New releases fetched whole after a signature that did not check: a
  // server that changes on every request cannot keep the run going.
  static constexpr int kMaxReleaseSwitches = 2;
  static constexpr double kReleaseRecheckSeconds = 2.0;

  // Where the run is. Without kept bytes the archive's end comes first:
  // kAsking (the first request, which also carries the cached agent's
  // condition) → kEnd (the answer is the end) → kDirectory (the rest of a
  // long directory, at most twice) → kDelta or kBody (the bytes before the
  // end). An answer that brings the whole archive, one that continues kept
  // bytes and one fetched again from the first byte are kBody without an
  // end. Every change goes through enter().
  enum class Phase { kAsking, kEnd, kDirectory, kDelta, kBody } phase_ = Phase::kAsking;
  void enter(Phase phase);
  // The archive's end: where it starts, the archive's length and ETag
  // (start -1: none, the archive comes whole or continued), the rounds
  // for the rest of its directory, when it was asked for and when it came.
  struct End {
    int64_t start = -1, total = -1;
    std::string etag;
    int directoryRounds = 0;
    double asked = 0, accepted = 0;
  } end_;
  // How this attempt's archive came, which decides what a failure is
  // worth: reset by Try Again.
  struct History {
    bool continued = false;  // it continues bytes kept earlier
    bool refetched = false;  // it has been fetched once more whole
    bool deltaTried = false;  // a run makes one delta at most
    bool rebuilt = false;    // it was rebuilt by delta
    bool oneHost = false;    // parts from several hosts did not check: one host at a time
    int releaseSwitches = 0;
  } history_;

  ProxyLogin login_;  // outlives every transfer: they may wait for its dialog
  std::unique_ptr<SignatureCheck> signature_;
  ReleaseProbe release_;  // asks whether a release came out under the run
  Fetch archive_;
  Unpacking unpacking_;
  AgentHold agent_;  // where the agent lies once unpacked or found
  ProxyChoice proxy_;  // every transfer of the run goes through its choice
  DeltaUpdate delta_;
  Hosts hosts_;
  SignatureMatch cachedSignature_;  // asks another host about the cached agent
  LoopCall next_;        // the next fetch, started from the loop
  LoopCall closeLater_;  // a failure nobody can close ends the run
};

#endif  // SETUP_DOWNLOAD_DOWNLOAD_H_
