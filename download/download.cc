#include "download/download.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "agent/partial.h"
#include "agent/sourcing.h"
#include "agent/unpack_plan.h"
#include "display/window.h"
#include "download/bootstrap.h"
#include "download/connections.h"
#include "download/keys.h"
#include "platform/clock.h"
#include "platform/system.h"
#include "util/constants.h"
#include "util/launch.h"
#include "util/translation.h"

namespace {

double uniformRandom() {
  static std::mt19937_64 generator(std::random_device{}());
  return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
}

DownloadPlatform withDefaults(DownloadPlatform platform) {
  if (!platform.net.loop) platform.net.loop = platform.loop;
  if (!platform.net.random) platform.net.random = uniformRandom;
  if (!platform.net.wallClock) platform.net.wallClock = [] { return time(nullptr); };
  if (!platform.net.log) platform.net.log = [](const std::string&) {};
  if (!platform.clock) platform.clock = monotonicSeconds;
  if (!platform.net.clock) platform.net.clock = platform.clock;
  if (!platform.diskSpace) platform.diskSpace = diskSpaceAt;
  return platform;
}

}  // namespace

Download::Download(DownloadPlatform platform, double idleTimeout)
    : platform_(withDefaults(std::move(platform))),
      loop_(*platform_.loop),
      window_(*platform_.window),
      idleTimeout_(idleTimeout),
      status_(window_, loop_, platform_.clock),
      login_(loop_,
             {platform_.proxies.getenv,
              [this](const std::string& proxy, bool again, ProxyLoginAnswer answer) {
                return status_.askProxyLogin(proxy, again, std::move(answer));
              }},
             platform_.net.log),
      release_(platform_.net),
      archive_(platform_.net, *this),
      unpacking_(platform_.runInBackground, platform_.report, systemLog, platform_.unpackWorkers),
      proxy_(loop_, platform_.proxies, platform_.net.log),
      delta_(platform_.net, platform_.delta),
      cachedSignature_(platform_.net),
      next_(loop_),
      closeLater_(loop_) {
  platform_.net.startTransfer = proxy_.through(login_.through(platform_.net.startTransfer));
}

Download::~Download() {
}

void Download::init() {
  status_.reset();
  installAgentLocation = downloadTo;
  window_.setCloseHandler([this] { windowWillClose(); });
  window_.setTryAgainHandler([this] { tryAgain(); });
}

void Download::applicationDidFinishLaunching() {
  const std::string& resources = platform_.resourceDir;
  if (resources.empty()) return;
  std::string splash = appendPathComponent(resources, "splash.png");
  if (fileExists(splash)) {
    window_.setSplash(splash, 400.0, 400.0);
    window_.displayIfNeeded();
  }
  // The built-in keys and those beside the product: the agent must come
  // signed by one of them.
  std::vector<PublicKey> keys;
  std::string error;
  if (!bundleKeys(resources, &keys, &error)) {
    if (platform_.report) platform_.report(error, true);
    return;
  }
  signature_ = std::make_unique<SignatureCheck>(platform_.net, std::move(keys));
  hosts_ = Hosts(downloadFrom, platform_.mirrors, signature_->required());
  started_ = true;  // the loop runs while the desktop is asked for a proxy
  proxy_.choose(downloadFrom, [this] { downloadFromURL(downloadFrom); });
}

void Download::windowWillClose() {
  proxy_.cancel();
  next_.cancel();
  delta_.cancel();
  cachedSignature_.cancel();
  archive_.cancel();
  if (signature_) signature_->cancel();
  release_.cancel();
  if (unpacking_.running()) unpacking_.stop();
  loop_.stop();
}

// A current-looking cached agent is asked about with its stamp; bytes of an
// earlier run's broken download are continued. A cache that another user
// could have planted in is neither read nor written: the archive goes to
// the work directory and the agent is unpacked beside it.
void Download::downloadFromURL(const std::string& url) {
  url_ = url;
  archivePath_ = installAgentLocation;
  status_.connecting(url);
  FetchRequest request;
  request.url = url;
  request.idleTimeout = idleTimeout_;
  if (platform_.useCache) {
    std::string cacheDir = getInstallAgentCacheDir();
    if (!installAgentDirOnDisk().empty() && cachedAgentWasChecked())
      stamp_ = readValidationString(cacheDir);
    // A date is sent alone: servers that have ETags want both to match.
    request.ifModifiedSince = stampedDate(stamp_);
    if (request.ifModifiedSince.empty()) request.ifNoneMatch = stamp_;
    if (!part_) part_ = std::make_unique<KeptPart>(cacheDir);  // Try Again keeps its own
    if (part_->locked()) {
      archivePath_ = part_->path();
      request.part = part_.get();
      if (carried_.bytes > 0) {
        request.keptBytes = carried_.bytes, request.keptTotal = carried_.total;
        request.anyValidator = true;
      } else {
        request.keptBytes =
            part_->keptFor(url, &request.keptEtag, &request.keptTotal, &request.written);
      }
      carried_ = Carried();
      request.moreConnections = connectionsPolicy();
      if (!history_.oneHost) request.otherHosts = hosts_.following();
    } else {
      part_.reset();  // another run is downloading into it
    }
  }
  request.destination = archivePath_;
  // Without bytes to continue, the archive's end comes first: its directory
  // tells what the archive needs on disk and where each entry lies. Where an
  // update by delta may follow, the kept archive's directory tells its size.
  std::string kept = part_ && signature_->required() ? keptArchiveSource() : "";
  if (request.keptBytes <= 0 && request.written.empty())
    request.suffix = kept.empty() ? kZipSuggestedTail : suffixForUpdate(kept);
  enter(Phase::kAsking);
  started_ = true;
  forHosts(&request);
  // The stamp is an ETag of the host the cached agent came from; another
  // host is asked for its signature instead.
  std::string source = readAgentSource();
  if (!stamp_.empty() && signature_->required() && url != (source.empty() ? downloadFrom : source)) {
    cachedSignature_.start(url, downloadTo + ".minisig", readAgentSignature(), request.idleTimeout,
                           request.handOver,
                           [this, request](SignatureMatch::Answer answer, const FetchError& error) {
                             cachedSignatureAnswered(answer, error, request);
                           });
    return;
  }
  startArchive(request);
}

void Download::startArchive(FetchRequest request) { archive_.start(request); }

// The same signature: the cached agent is this host's archive. A host that
// cannot serve a signature cannot serve a signed archive either.
void Download::cachedSignatureAnswered(SignatureMatch::Answer answer, const FetchError& error,
                                       FetchRequest request) {
  if (answer == SignatureMatch::Answer::kSame) {
    validationString = stamp_;
    if (startCachedAgentIfCurrent()) return;
  }
  if (answer == SignatureMatch::Answer::kFailed && Hosts::handsOver(error.failure) &&
      handOver("Cannot get the installer's signature: " + error.description))
    return;
  startArchive(request);
}

void Download::forHosts(FetchRequest* request) const {
  if (!hosts_.hasNext()) return;
  request->handOver = true;
  request->idleTimeout = std::min(request->idleTimeout, kHandOverSeconds);
}

// The run starts again on the next host, from its first request: its
// archive is checked against the same signature as any other.
bool Download::handOver(const std::string& why) {
  std::string from = url_;
  if (!hosts_.next()) return false;
  if (unpacking_.running()) unpacking_.stop();
  history_ = History();
  // Continued there when its archive has the same length: the signature
  // checks the whole, wherever each byte came from. An update by delta is
  // made anew there, from that host's end of the archive.
  std::string etag;
  if (phase_ != Phase::kDelta && part_ && part_->locked())
    carried_.bytes = part_->keptFor(from, &etag, &carried_.total);
  platform_.net.log(why + (why.empty() || why.back() == '.' ? "" : ".") + " " + from +
                    " Trying " + hostOf(hosts_.current()) + " instead.");
  later([this] { downloadFromURL(hosts_.current()); });
  return true;
}

// Said once: the host is not asked again in this run.
void Download::signatureDropsHost(const std::string& error) {
  std::string from = url_;
  hosts_.drop();
  history_ = History();
  platform_.net.log("The installer from " + hostOf(from) + " does not check (" + error +
                    "); that host is not used again. Trying " + hostOf(hosts_.current()) + ".");
  later([this] { downloadFromURL(hosts_.current()); });
}

// A response without a validator never matches a stamp. A server that
// ignores If-None-Match sends the file instead of a 304: an ETag that
// matches the stamp weakly, as the condition is judged, names the cached
// agent all the same (a weak ETag is handed out while a file is young).
void Download::fetchNamesDuplicates(const std::vector<std::string>& urls) {
  if (size_t added = hosts_.add(urls))
    platform_.net.log(hostOf(url_) + " names " + std::to_string(added) +
                      " more host(s) for the installer.");
}

bool Download::fetchWantsBody(const FetchStart& offered) {
  validationString = validationStringFor(offered.etag, offered.lastModified);
  if (!stamp_.empty() && weakEtagMatch(offered.etag, stamp_)) validationString = stamp_;
  return !startCachedAgentIfCurrent();
}

bool Download::fetchNotModified() {
  validationString = stamp_;
  return startCachedAgentIfCurrent();
}

bool Download::startCachedAgentIfCurrent() {
  if (!platform_.useCache || !cachedAgentWasChecked()) return false;
  // With keys, an agent is replaced only by one whose signature checks; an
  // agent that is not current is otherwise removed.
  agent_ = holdCachedAgentIfCurrent(validationString, !signature_->required());
  if (agent_.dir().empty()) return false;
  window_.close();
  fireInstallAgent();
  return true;
}

// Without keys every cached agent counts; with keys, only one checked with
// one of them when it was cached.
bool Download::cachedAgentWasChecked() {
  if (!signature_->required()) return true;
  SignatureInfo info;
  std::string error;
  return checkStoredSignature(readAgentSignature(), signature_->keys(), &info, &error);
}

void Download::fetchAccepted(const FetchStart& start) {
  if (start.tailStart > 0) {
    if (phase_ == Phase::kAsking) status_.started({0, start.total, start.etag, start.lastModified});
    end_.start = start.tailStart, end_.total = start.total, end_.etag = start.etag;
    return enter(Phase::kEnd);
  }
  if (phase_ == Phase::kDirectory && start.end > 0) return;
  if (start.end < 0 && end_.start >= 0) {  // a whole archive came instead
    end_ = End();
    if (unpacking_.running()) unpacking_.stop();
  }
  enter(Phase::kBody);
  // A whole body (a server without ranges, a continued or refetched
  // archive) had no directory checked: its announced length must fit.
  if (start.end < 0 && start.total > start.kept &&
      !enoughSpace({{stripLastComponent(archivePath_), start.total - start.kept}})) {
    archive_.cancel();
    return;
  }
  received_ = start.kept + start.further;
  history_.continued = start.kept > 0 || start.further > 0;
  signature_->archiveStarted(archivePath_);
  // The display counts what is on disk as received: the archive's end, and
  // ranges other connections wrote.
  FetchStart shown = start;
  shown.kept += start.further;
  if (end_.start > 0) shown.kept += end_.total - end_.start;
  std::string resumed = status_.started(shown);
  if (start.kept > 0 && !resumed.empty()) platform_.net.log(resumed);
}

// The hash and unpacking follow the first bytes; the display counts every
// byte on disk, wherever a connection wrote it.
void Download::fetchProgress(int64_t received, int64_t further) {
  if (phase_ != Phase::kBody) return;
  signature_->archiveWritten(received);
  unpacking_.available(received);
  int64_t endBytes = end_.start > 0 ? end_.total - end_.start : 0, shown = received + further;
  status_.progress(shown + endBytes, static_cast<uint64_t>(std::max<int64_t>(0, shown - received_)));
  received_ = std::max(received_, shown);
}

void Download::fetchWaiting(FetchWait why, int seconds) { status_.waiting(why, seconds); }

void Download::fetchFailed(const FetchError& error) {
  if (unpacking_.running()) unpacking_.stop();
  if (Hosts::handsOver(error.failure) && handOver(error.description)) return;
  logFailure(error.description, error.url);
  offerToTryAgain(status_.downloadFailed(error));
}

void Download::fetchFinished() {
  if (phase_ == Phase::kEnd || phase_ == Phase::kDirectory) return endArrived();
  if (end_.start > 0) signature_->archiveWritten(end_.total);  // the end was written first
  archiveComplete();
}

// The archive's end is on disk: its directory, when it passes the reader,
// is checked against the free space and planned for unpacking; one that
// does not pass is left to unzip after the download, as a file whose end
// cannot be read at all.
void Download::endArrived() {
  std::string error;
  ZipDirectory directory;
  int64_t needTail = 0;
  DirectorySearch search = searchArchiveEnd(archivePath_, end_.total, end_.total - end_.start,
                                            &directory, &needTail, &error);
  if (search == DirectorySearch::kNeedMore && end_.directoryRounds < 2) {
    // The directory is longer than the end fetched: the rest of it first.
    FetchRequest request = archiveRequest(false);
    request.keptBytes = end_.total - needTail;
    request.keptEtag = end_.etag;
    request.keptTotal = end_.total;
    request.rangeEnd = end_.start;
    end_.start = request.keptBytes;
    enter(Phase::kDirectory);
    return later([this, request] { archive_.start(request); });
  }
  bool found = search == DirectorySearch::kFound;
  if (!found) {
    platform_.net.log("The archive's directory cannot be read ahead (" +
                      (error.empty() ? std::string("it was not found") : error) +
                      "); unzip decides after the download.");
  } else if (!enoughSpace(directory) || tryDelta(directory)) {
    return;
  }
  fetchBeforeEnd(found ? &directory : nullptr);
}

// A signed agent that changed is rebuilt from the archive kept with the
// cached one (or with another release's) and ranges of the new one.
bool Download::tryDelta(const ZipDirectory& directory) {
  if (!signature_->required() || !platform_.useCache || !part_ || history_.deltaTried ||
      !isStrongEtag(end_.etag) || !platform_.delta.startRanges)
    return false;
  std::string kept = keptArchiveSource();
  if (kept.empty()) return false;
  double took = platform_.clock() - end_.accepted;
  DeltaTarget target;
  target.url = url_;
  target.path = archivePath_;
  target.etag = end_.etag;
  target.proxy = login_.sign(url_, proxy_.current(), &target.proxyUser, &target.proxyPassword);
  target.total = end_.total;
  target.end = end_.start;
  target.idleTimeout = idleTimeout_;
  target.bytesPerSecond = took > 0.001 ? (end_.total - end_.start) / took : 0;
  // At most a second: the end may have been asked again after a wait.
  target.roundTrip = std::clamp(end_.accepted - end_.asked, 0.0, 1.0);
  target.keptArchive = kept;
  target.part = part_.get();
  target.handOver = hosts_.hasNext();
  received_ = 0;
  bool started = delta_.start(
      target, directory,
      [this](int64_t fetched) {
        status_.progress(fetched, static_cast<uint64_t>(fetched - received_));
        received_ = fetched;
      },
      [this](DeltaUpdate::Outcome outcome, const FetchError& error) { deltaEnded(outcome, error); });
  history_.deltaTried = true;
  if (!started) return false;
  status_.updating(delta_.fetchBytes(), end_.total);
  enter(Phase::kDelta);
  return true;
}

// The kept archive of the cached agent, when its signature checks with the
// bundle's keys; else the newest of another release's that does.
std::string Download::keptArchiveSource() {
  SignatureInfo info;
  std::string error;
  if (fileExists(keptArchivePath()) && cachedAgentWasChecked()) return keptArchivePath();
  for (const KeptArchive& kept : otherReleasesKeptArchives())
    if (checkStoredSignature(kept.signature, signature_->keys(), &info, &error)) return kept.archive;
  return "";
}

void Download::deltaEnded(DeltaUpdate::Outcome outcome, const FetchError& error) {
  if (outcome == DeltaUpdate::Outcome::kFailed) return fetchFailed(error);
  if (outcome == DeltaUpdate::Outcome::kRebuilt) {
    platform_.net.log("Updated by delta: " + delta_.summary() + ". " + url_);
    history_.rebuilt = true;
    signature_->archiveStarted(archivePath_);
    signature_->archiveWritten(end_.total);
    return archiveComplete();
  }
  fetchWhole();  // what was written is no part of anything
}

// What lies before the archive's end, with If-Range: the end must be of the
// same archive. Without a strong ETag to ask that, the whole archive. When
// nothing is signed, unpacking starts under the download.
void Download::fetchBeforeEnd(const ZipDirectory* directory) {
  FetchRequest request = archiveRequest(true);
  if (isStrongEtag(end_.etag)) {
    request.keptEtag = end_.etag;
    request.keptTotal = end_.total;
    request.rangeEnd = end_.start;
  } else {
    end_ = End();
  }
  std::string why;
  if (directory && end_.start > 0 && !signature_->required() &&
      !unpacking_.prepare(unpackTarget(), *directory, &why))
    platform_.net.log("The archive is unpacked after the download: " + why);
  enter(Phase::kBody);
  later([this, request] { archive_.start(request); });
}

// Room for the archive where it is stored and for the agent where it is
// unpacked, before a byte of the body is spent.
bool Download::enoughSpace(const ZipDirectory& directory) {
  std::string agentDir = platform_.useCache ? getInstallAgentCacheDir()
                                            : stripLastComponent(installAgentLocation);
  return enoughSpace({{stripLastComponent(archivePath_), end_.start},
                      {agentDir, unpackedFootprintOf(directory)}});
}

// Without room for |needs| the run fails and keeps nothing.
bool Download::enoughSpace(const std::vector<SpaceNeed>& needs) {
  std::string said;
  std::string shortfall = spaceShortfall(needs, platform_.diskSpace, &said);
  if (shortfall.empty()) return true;
  if (unpacking_.running()) unpacking_.stop();
  if (part_) part_->discard();
  unlink(archivePath_.c_str());
  logFailure(shortfall, url_);
  offerToTryAgain(status_.notEnoughSpace(said));
  return false;
}

// The one place the run's phase changes, with what each phase starts from.
void Download::enter(Phase phase) {
  switch (phase) {
    case Phase::kAsking: end_ = End(), end_.asked = platform_.clock(); break;
    case Phase::kEnd:
      if (phase_ != Phase::kEnd) end_.accepted = platform_.clock();
      break;
    case Phase::kDirectory: ++end_.directoryRounds; break;
    case Phase::kDelta: case Phase::kBody: break;
  }
  phase_ = phase;
}

// A request for the archive's bytes, into the part when |intoPart| and the
// run keeps one.
FetchRequest Download::archiveRequest(bool intoPart) const {
  FetchRequest request;
  request.url = url_;
  request.destination = archivePath_;
  request.idleTimeout = idleTimeout_;
  if (intoPart) request.part = part_.get();
  forHosts(&request);
  request.moreConnections = connectionsPolicy();
  if (!history_.oneHost) request.otherHosts = hosts_.following();
  return request;
}

void Download::later(std::function<void()> step) {
  next_.schedule(0, step);
}

void Download::archiveComplete() {
  if (!signature_->required()) return startUnpacking();
  signature_->check(
      url_, downloadTo + ".minisig", idleTimeout_, readAgentSignature(), agentSignatureTime(),
      [this](FetchWait why, int seconds) { status_.waiting(why, seconds); },
      [this](const std::string& error, const std::string& url, const FetchError* broke) {
        if (broke) return fetchFailed(*broke);  // the archive stays for Try Again or another host
        signatureChecked(error, url);
      });
}

// A failed check removes the archive and leaves the cache as it was. An
// archive and a signature from two releases (one published while the run
// fetched them) do not check either: the server is asked whether it now
// offers another archive or signature than those fetched.
void Download::signatureChecked(const std::string& error, const std::string& url) {
  if (error.empty()) return startUnpacking();
  if (part_) part_->discard();
  unlink(archivePath_.c_str());
  if (fetchWholeOnceMore()) return;
  if (hosts_.hasNext()) return signatureDropsHost(error);
  askAboutRelease(error, url, true);
}

// |again|: an answer that nothing changed is asked once more a moment
// later, as a release being published renames its archive and its
// signature one after the other, and a run can fall between the two.
void Download::askAboutRelease(const std::string& error, const std::string& url, bool again) {
  release_.start(
      {{url_, validationString},
       {SignatureCheck::signatureUrl(url_), signature_->signatureValidator()}},
      archivePath_, idleTimeout_, [this](FetchWait why, int seconds) { status_.waiting(why, seconds); },
      [this, error, url, again](ReleaseProbe::Answer answer) {
        if (answer != ReleaseProbe::Answer::kSame || !again) return releaseAsked(answer, error, url);
        next_.schedule(kReleaseRecheckSeconds, [this, error, url] { askAboutRelease(error, url, false); });
      });
}

// A new release is fetched whole, archive and signature, at most twice in
// a run; only a pair from a release that did not change is damaged.
void Download::releaseAsked(ReleaseProbe::Answer answer, const std::string& error,
                            const std::string& url) {
  bool changed = answer == ReleaseProbe::Answer::kChanged;
  if (changed && history_.releaseSwitches < kMaxReleaseSwitches) {
    ++history_.releaseSwitches;
    platform_.net.log("A new release was published during the download; downloading it. " + url_);
    return fetchWhole();
  }
  unlink(archivePath_.c_str());  // the question's transfer may have made it
  if (changed) {
    logFailure("The installer changed on the server during every download.", url_);
    return offerToTryAgain(status_.releaseKeptChanging(url_));
  }
  logFailure(error, url);
  offerToTryAgain(status_.signatureFailed(url_));
}

// An archive that continued bytes kept earlier and then fails (the kept
// bytes damaged on disk, a file changed under the same ETag) is fetched
// once more from its first byte before the run fails; one made of parts
// from several hosts, from its own host alone (another may serve another
// file).
bool Download::fetchWholeOnceMore() {
  bool mixed = archive_.mixedHosts() && !history_.oneHost;
  if ((!history_.continued && !history_.rebuilt && !mixed) || history_.refetched) return false;
  platform_.net.log(mixed ? "The archive made of parts from several hosts did not check; "
                            "downloading it from " + hostOf(url_) + " alone. " + url_
                    : history_.continued ? "The continued archive did not check; downloading it "
                                           "again from the start. " + url_
                    : "The archive rebuilt by delta did not check; downloading it whole. " + url_);
  history_.oneHost = history_.oneHost || mixed;
  fetchWhole();
  return true;
}

// The whole archive, from its first byte, once in a run: what the part
// holds is of no use.
void Download::fetchWhole() {
  if (unpacking_.running()) unpacking_.stop();
  history_.refetched = true;
  history_.continued = history_.rebuilt = false;
  if (part_) part_->discard();
  FetchRequest request = archiveRequest(true);
  end_ = End();
  enter(Phase::kBody);
  archive_.start(request);
}

void Download::logFailure(const std::string& description, const std::string& url) {
  platform_.net.log("Download failed! Error - " + description + " " + url);
}

// A window waits for its person, who may try again where that can help;
// nobody may be watching a terminal: the run ends with the message shown.
void Download::offerToTryAgain(bool helps) {
  canTryAgain_ = helps;
  if (window_.canBeClosedByUser() || closeLater_.pending()) return;
  closeLater_.schedule(0, [this] { window_.close(); });
}

// Where a failure left the window: the download once more, continuing
// what is kept.
void Download::tryAgain() {
  if (!canTryAgain_) return;
  canTryAgain_ = false;
  history_ = History();
  status_.retrying();
  hosts_.restart();
  downloadFromURL(hosts_.current());
}

UnpackTarget Download::unpackTarget() const {
  std::string work = stripLastComponent(installAgentLocation);
  return {archivePath_, platform_.useCache, work + FILE_SEPARATOR + INSTALL_AGENT_DIR_NAME,
          work + "/unzip.log", platform_.useCache ? keptArchivePath() : "", false,
          part_ && archivePath_ == part_->path() ? part_.get() : nullptr};
}

// Only a signed archive is kept, in the cache, with room to spare.
bool Download::keepsArchive() {
  struct stat st;
  DiskSpace space;
  if (!signature_->required() || !platform_.useCache || stat(archivePath_.c_str(), &st) != 0 ||
      !platform_.diskSpace(getInstallAgentCacheDir(), &space))
    return false;
  ZipDirectory directory;
  std::string error;
  int64_t unpacked = readArchiveDirectory(archivePath_, &directory, &error)
                         ? unpackedFootprintOf(directory) : st.st_size;
  return keepsArchiveWith(space.freeBytes, unpacked, st.st_size);
}

void Download::startUnpacking() {
  window_.logLine(status_.unpacking());
  UnpackTarget target = unpackTarget();
  target.keepArchive = keepsArchive();
  unpacking_.start(target, validationString, signature_->signature(),
                   [this](AgentHold placed) { agentPlaced(std::move(placed)); });
}

void Download::agentPlaced(AgentHold placed) {
  agent_ = std::move(placed);
  if (agent_.dir().empty() && fetchWholeOnceMore()) return;
  // Unpacked whole, but with nothing to start: said as it is.
  if (agent_.lacksInstallScript() || (!agent_.dir().empty() && !holdsInstallScript(agent_.dir()))) {
    agent_ = AgentHold();
    return offerToTryAgain(status_.noInstallScript());
  }
  if (agent_.dir().empty()) {
    std::string where = platform_.useCache ? getInstallAgentCacheDir()
                                           : stripLastComponent(installAgentLocation);
    return offerToTryAgain(status_.unpackFailed(unpacking_.outOfSpace(), where));
  }
  // The stamp names the agent on the host it came from only.
  if (platform_.useCache && signature_->required() && agent_.dir() == installAgentDirOnDisk())
    writeAgentSource(url_);
  fireInstallAgent();
  unpacking_.removeArchive();
  loop_.stop();
}

// Starts the agent where it was found or placed; a path looked up again
// could meanwhile have been changed by a concurrent run.
void Download::fireInstallAgent() {
  if (!agent_.dir().empty()) {
    installAgentLocation = agent_.dir();
    const std::vector<std::string>& all = platform_.arguments;
    std::vector<std::string> user(all.begin() + (all.empty() ? 0 : 1), all.end());
    std::vector<std::string> arguments = installAgentArguments(platform_.resourceDir, user);
    arguments.insert(arguments.begin(), getInstallAgentExecutable(installAgentLocation));
    agent_.shareWithChildren();
    agentTask_ = platform_.launchTask("/bin/sh", arguments);
  }
  if (agentTask_ < 0 && platform_.report) platform_.report(_("Failed to start the instal agent"), true);
}
