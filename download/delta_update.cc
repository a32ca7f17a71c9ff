#include "download/delta_update.h"

#include <algorithm>

#include "agent/partial.h"
#include "agent/unpack_plan.h"
#include "download/progress.h"

namespace {

// Disjoint, sorted intervals [start, end) covering |ranges|.
std::vector<std::pair<int64_t, int64_t>> covering(std::vector<std::pair<int64_t, int64_t>> ranges) {
  std::sort(ranges.begin(), ranges.end());
  std::vector<std::pair<int64_t, int64_t>> merged;
  for (const auto& [start, length] : ranges) {
    if (!merged.empty() && start <= merged.back().second)
      merged.back().second = std::max(merged.back().second, start + length);
    else
      merged.emplace_back(start, start + length);
  }
  return merged;
}

bool covered(const std::vector<std::pair<int64_t, int64_t>>& intervals, int64_t start,
             int64_t length) {
  auto after = std::upper_bound(intervals.begin(), intervals.end(),
                                std::make_pair(start, INT64_MAX));
  return after != intervals.begin() && std::prev(after)->second >= start + length;
}

const int64_t kPartHead = 128;

// Ranges closer than |gap| bytes fetched as one: what a range costs beyond
// its bytes (a round trip, or a part's head) could have carried the gap.
std::vector<ByteRange> merged(const std::vector<ByteRange>& ranges, int64_t gap) {
  std::vector<ByteRange> out;
  for (const ByteRange& range : ranges) {
    if (!out.empty() && range.start - (out.back().start + out.back().length) <= gap)
      out.back().length = range.start + range.length - out.back().start;
    else
      out.push_back(range);
  }
  return out;
}

}  // namespace

DeltaUpdate::DeltaUpdate(const FetchServices& net, DeltaServices services)
    : net_(net), services_(std::move(services)), retry_(net.random, net.clock) {}

DeltaUpdate::~DeltaUpdate() { cancel(); }

bool DeltaUpdate::start(const DeltaTarget& target, const ZipDirectory& fresh,
                        std::function<void(int64_t)> progress, Done done) {
  target_ = target;
  progress_ = std::move(progress);
  done_ = std::move(done);
  fetched_ = requests_ = 0;
  protocol_.clear();
  oneByOne_ = false, roundTrip_ = 0;
  retry_ = RetryPolicy(net_.random, net_.clock);
  ZipDirectory kept;
  std::string why;
  if (!readArchiveDirectory(target.keptArchive, &kept, &why) ||
      !planDelta(kept, target.keptArchive, fresh, target.end, &plan_, &why)) {
    net_.log("No update by delta (" + why + "); downloading the whole archive.");
    return false;
  }
  DeltaTimes times = estimateDelta(plan_, target.end, {target.bytesPerSecond, target.roundTrip});
  if (!deltaPays(times)) {
    net_.log("No update by delta: it would fetch " + formatSiBytes(plan_.fetchBytes) + " of " +
             formatSiBytes(target.total) + " in " + std::to_string(plan_.fetchRanges()) +
             " ranges, about " + std::to_string(int(times.delta + 0.5)) + " s against " +
             std::to_string(int(times.whole + 0.5)) + " s; downloading the whole archive.");
    return false;
  }
  std::vector<std::pair<int64_t, int64_t>> earlier;
  if (target.part) earlier = target.part->rangesFor(target.url, target.etag, target.total);
  if (target.part && earlier.empty()) target.part->beginRanges(target.url, target.etag, target.total);
  std::vector<std::pair<int64_t, int64_t>> finished = covering(earlier);
  left_.clear();
  for (const DeltaSpan& span : plan_.spans) {
    if (span.fetched()) {
      if (covered(finished, span.at, span.length)) fetched_ += span.length;
      else left_.push_back({span.at, span.length});
    } else if (!services_.copy(target.keptArchive, span.from, target.path, span.at, span.length)) {
      net_.log("No update by delta: the kept archive cannot be copied; downloading the whole archive.");
      return false;
    }
  }
  if (fetched_ > 0)
    net_.log("Continuing an update by delta: " + formatSiBytes(fetched_) + " fetched earlier.");
  probing_ = left_.size() > 1;
  later(0, [this] { fetchNext(); });
  return true;
}

void DeltaUpdate::cancel() {
  if (fetch_) fetch_->cancel();
  if (timer_) net_.loop->cancelTimer(timer_);
  timer_ = 0;
}

// The next request or requests, from the loop: the fetch this replaces may
// have delivered the event that led here.
void DeltaUpdate::fetchNext() {
  timer_ = 0;
  // Rebuilt whole: the part says so, until the archive is placed or found
  // wrong, and no longer lists ranges.
  if (left_.empty() && target_.part)
    target_.part->describe(target_.url, target_.etag, target_.total);
  if (left_.empty()) return end(Outcome::kRebuilt);
  size_t count = probing_ ? 1 : left_.size();
  running_.assign(left_.begin(), left_.begin() + count);
  left_.erase(left_.begin(), left_.begin() + count);
  RangeFetchRequest request;
  if (!probing_ && protocol_ == "HTTP/1.1" && !oneByOne_) {
    // A part of a multipart answer costs its head, about a hundred bytes.
    running_ = merged(running_, kPartHead);
    request.rangesPerRequest = kRangesPerRequest;
  } else if (!probing_ && protocol_ == "HTTP/1.1") {
    // Each request costs a round trip, measured from a request sent (on a
    // connection already made) to its answer: with the handshake counted,
    // a loaded machine's would grow until everything was merged.
    double roundTrip = roundTrip_ > 0 ? roundTrip_ : std::min(target_.roundTrip, 0.1);
    double perSecond = target_.bytesPerSecond > 0 ? target_.bytesPerSecond : 4e6;
    running_ = merged(running_, std::clamp<int64_t>(perSecond * roundTrip, 16 << 10, 8 << 20));
  }
  written_.assign(running_.size(), false);
  request.url = target_.url;
  request.destination = target_.path;
  request.ifRange = target_.etag;
  request.ranges = running_;
  request.idleTimeout = target_.idleTimeout;
  request.proxy = target_.proxy;
  request.proxyUser = target_.proxyUser;
  request.proxyPassword = target_.proxyPassword;
  request.total = target_.total;
  request.maxStreams = kStreamsAtOnce, request.maxConnections = kConnectionsAtOnce;
  retry_.attemptStarted();
  fetch_ = services_.startRanges(request, *this);
}

void DeltaUpdate::rangeWritten(size_t index) {
  written_[index] = true;
  if (target_.part) target_.part->rangeWritten(running_[index].start, running_[index].length);
}

void DeltaUpdate::rangeBytes(int64_t bytes) {
  fetched_ += bytes;
  if (progress_) progress_(std::min(fetched_, plan_.fetchBytes));
}

// What the fetch now ending learnt of the server and the link.
void DeltaUpdate::learnFromFetch() {
  if (!fetch_) return;
  if (protocol_.empty()) protocol_ = fetch_->protocol();
  if (fetch_->roundTrip() > 0)
    roundTrip_ = roundTrip_ > 0 ? std::min(roundTrip_, fetch_->roundTrip()) : fetch_->roundTrip();
  requests_ += fetch_->requests() > 0 ? fetch_->requests() : static_cast<int>(running_.size());
}

void DeltaUpdate::rangesFinished() {
  learnFromFetch();
  probing_ = false;
  later(0, [this] { fetchNext(); });
}

void DeltaUpdate::rangesFailed(const RangeFetchError& error) {
  learnFromFetch();
  std::vector<ByteRange> unwritten;
  for (size_t i = 0; i < running_.size(); ++i)
    if (!written_[i]) unwritten.push_back(running_[i]);
  left_.insert(left_.begin(), unwritten.begin(), unwritten.end());
  FetchError failed{FetchFailure::kConnectionLost, error.status, error.description, target_.url};
  bool hostFailed = error.fault == RangeFault::kNetwork || error.fault == RangeFault::kStatus;
  if (target_.handOver && hostFailed) {
    if (error.fault == RangeFault::kStatus) failed.failure = FetchFailure::kServerStatus;
    return end(Outcome::kFailed, failed);
  }
  switch (error.fault) {
    case RangeFault::kWholeFile:
    case RangeFault::kStatus:
    case RangeFault::kBadRange:
      net_.log("The update by delta stopped: " + error.description +
               " Downloading the whole archive.");
      return end(Outcome::kWhole);
    case RangeFault::kManyRanges:
      // Not the link's fault: no retry is spent on it.
      net_.log(error.description + " Asking for the ranges one by one.");
      oneByOne_ = true;
      return later(0, [this] { fetchNext(); });
    case RangeFault::kRefused: failed.failure = FetchFailure::kRefused; break;
    case RangeFault::kLocalWrite: failed.failure = FetchFailure::kLocalWrite; break;
    case RangeFault::kNetwork: {
      // Ranges that keep breaking off may be a proxy's doing, which a whole
      // download passes; a network that is down fails that one's retries.
      double wait = retry_.backoffSeconds();
      if (!retry_.mayRetry(fetched_, wait)) {
        net_.log("The update by delta stopped: " + error.description +
                 " Its retries are spent; downloading the whole archive.");
        return end(Outcome::kWhole);
      }
      net_.log("Update by delta interrupted: " + error.description + " Retrying.");
      return later(wait, [this] { fetchNext(); });
    }
  }
  end(Outcome::kFailed, failed);
}

void DeltaUpdate::later(double seconds, std::function<void()> step) {
  timer_ = net_.loop->addTimer(seconds, std::move(step));
}

void DeltaUpdate::end(Outcome outcome, const FetchError& error) {
  cancel();
  done_(outcome, error);
}

std::string DeltaUpdate::summary() const {
  // What crossed the wire: on HTTP/1.1 merged ranges bring their gaps too.
  return formatSiBytes(fetched_) + " fetched for " + std::to_string(plan_.fetchRanges()) +
         (plan_.fetchRanges() == 1 ? " range (" : " ranges (") + formatSiBytes(plan_.fetchBytes) +
         ") over " +
         (protocol_.empty() ? "one request" : protocol_) + " (" + std::to_string(requests_) +
         (requests_ == 1 ? " request), " : " requests), ") + formatSiBytes(plan_.copyBytes) +
         " copied from the kept archive";
}
