#ifndef SETUP_DOWNLOAD_DOWNLOAD_H_
#define SETUP_DOWNLOAD_DOWNLOAD_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agent/cache.h"
#include "bootstrap/report.h"
#include "download/progress.h"
#include "download/retry.h"
#include "download/signature.h"
#include "platform/bundle.h"
#include "platform/loop.h"
#include "platform/transfer.h"

class DownloadWindow;
class HashBehind;
class KeptPart;

// What the download front end needs of the platform. The defaults from
// realDownloadPlatform() are the real ones; tests give fakes.
struct DownloadPlatform {
  Loop* loop = nullptr;
  DownloadWindow* window = nullptr;
  std::function<std::unique_ptr<Transfer>(const TransferRequest&, TransferDelegate&)> startTransfer;
  std::function<pid_t(const std::string&, const std::vector<std::string>&)> launchTask;
  // Runs a shell command line while the loop goes on and calls |done| with
  // its wait status; returns what ends it early (then |done| never comes),
  // or an empty function when it could not be started.
  std::function<std::function<void()>(const std::string& commandLine,
                                      std::function<void(int status)> done)>
      runInBackground;
  std::function<void(const std::string&)> log;
  std::function<bool(MainBundle*)> mainBundle;
  std::function<double()> random;        // in [0, 1), for the retry waits
  std::function<time_t()> wallClock;     // Unix time, for Retry-After dates
  std::function<double()> clock;         // seconds that never jump, for the speed
  std::vector<std::string> arguments;  // the process's, program path first
  ErrorReport report = nullptr;
  bool useCache = false;  // the cache is private: unpack into it
};

// The real platform around |loop| and |window|.
DownloadPlatform realDownloadPlatform(Loop& loop, DownloadWindow& window);

// The download front end: shows the splash and the progress of the transfer
// of the install-agent archive, starts a current cached agent at once (the
// server answering 304 to its stamp, or the same ETag), else stamps, unpacks
// and starts the freshly downloaded one. A transfer that breaks off is tried
// again, continuing from the bytes it got where the ETag allows, and those
// bytes are kept in a private cache for a later run. All calls arrive on the
// loop's thread.
class Download : public TransferDelegate {
 public:
  // |idleTimeout|: seconds without a byte before the transfer fails.
  explicit Download(DownloadPlatform platform, double idleTimeout = 60.0);
  ~Download() override;

  // Takes the archive's destination from downloadTo; resets the display.
  void init();
  // Shows the splash image and starts the transfer of downloadFrom.
  void applicationDidFinishLaunching();
  // The window is closing: cancels the transfer, ends an unpacking (its
  // directory removed) and stops the loop.
  void windowWillClose();
  void downloadFromURL(const std::string& url);
  void failure(const std::string& message);
  // Starts the install agent from the cached (or unpacked) agent directory.
  void fireInstallAgent();
  void waitForInstallAgentToStart();

  // Transfer events.
  void transferDidReceiveResponse(const TransferResponse& response) override;
  void transferDidReceiveData(uint64_t length) override;
  void transferDidFinish() override;
  void transferDidFail(const TransferError& error) override;

  int64_t fileLength = 0;
  int64_t bytesReceived = 0;
  std::string installAgentLocation;
  std::string validationString;  // the response's ETag
  std::unique_ptr<Transfer> theDownload;

  // The install agent's process once it has been handed the run, else -1.
  pid_t agentTask() const { return agentTask_; }
  // The directory the agent was started from, to be kept until it ends.
  AgentHold takeAgentHold() { return std::move(agent_); }

 private:
  void downloadDidFail(const std::string& description, const std::string& url);
  void startAttempt();
  void notModified(const TransferResponse& response);
  bool acceptBody(const TransferResponse& response);
  void restartFromZero();
  void retryAfterStatus(const TransferResponse& response);
  void retryOrFail(const std::string& reason, const std::string& phrase, double wait);
  void waitThenRetry(const std::string& phrase, int seconds);
  bool keepsPart() const;
  bool isCachedAgentCurrent();
  bool cachedAgentWasChecked();
  void hashAsItArrives();
  void fetchSignature();
  std::string signaturePath() const;
  void signatureResponse(const TransferResponse& response);
  void signatureTooLarge();
  void checkSignature();
  void signatureFailed(const std::string& reason, const std::string& url);
  void startUnpacking();
  void showProgressStart();
  void showProgress();
  void clearFigures();
  void unpack();
  void finishUnpack(bool unpacked);
  void endUnpacking();
  bool placeAgent();

  DownloadPlatform platform_;
  Loop& loop_;
  DownloadWindow& window_;
  double idleTimeout_;
  bool useCache_ = true;
  bool closed_ = false;
  std::string unpackDir_;  // staging (cache) or work-directory agent
  AgentHold agent_;        // where the agent lies once unpacked or found
  bool unpacking_ = false;
  std::function<void()> stopUnpacking_;
  std::string failingUrl_;
  pid_t agentTask_ = -1;

  // The attempts of this download.
  std::string url_;
  RetryPolicy retry_;
  std::unique_ptr<KeptPart> part_;  // set when bytes can be kept for a later run
  std::string stamp_;       // the cached agent's, sent as If-None-Match
  bool conditional_ = false;  // the running attempt carries If-None-Match
  int64_t offset_ = 0;        // archive bytes kept before this attempt's body
  int64_t attemptBytes_ = 0;  // body bytes of this attempt
  std::string partEtag_;      // the strong ETag the kept bytes belong to
  Loop::Handle retryTimer_ = 0;
  Loop::Handle closeTimer_ = 0;  // a failure nobody can close ends the run
  ProgressMeter meter_;

  // Signed agents: the keys beside the product, the archive's hash, and
  // the signature once checked (kept beside the cached agent).
  std::vector<PublicKey> keys_;
  std::unique_ptr<HashBehind> hash_;
  bool fetchingSignature_ = false;
  std::string signature_;
};

#endif  // SETUP_DOWNLOAD_DOWNLOAD_H_
