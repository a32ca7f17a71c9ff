#include "download/fetch.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "agent/partial.h"

namespace {

std::string statusText(long status) {
  return "The server answered with HTTP status " + std::to_string(status) + ".";
}

std::string withoutWeakPrefix(const std::string& etag) {
  return etag.compare(0, 2, "W/") == 0 ? etag.substr(2) : etag;
}

}  // namespace

bool weakEtagMatch(const std::string& a, const std::string& b) {
  return !a.empty() && withoutWeakPrefix(a) == withoutWeakPrefix(b);
}

Fetch::Fetch(const FetchServices& services, FetchDelegate& delegate)
    : services_(services), delegate_(delegate), retry_(services.random, services.clock) {}

Fetch::~Fetch() { cancel(); }

void Fetch::start(const FetchRequest& request) {
  request_ = request;
  url_ = request.url;
  offset_ = request.keptBytes > 0 ? request.keptBytes : 0;
  written_ = request.written;
  bool ranged = continues() || request.rangeEnd > 0;
  etag_ = ranged ? request.keptEtag : "";
  total_ = ranged ? request.keptTotal : -1;
  // All of it kept (a run that ended between its last byte and the agent's
  // place): the last byte is asked again, so that the server still vouches
  // for the file. Asked past its end, it refuses the range (416), and the
  // whole would be fetched again.
  int64_t inOrder = offset_;
  for (const auto& [start, length] : written_)
    if (start <= inOrder) inOrder = std::max(inOrder, start + length);
  if (continues() && request.rangeEnd <= 0 && total_ > 0 && inOrder >= total_)
    offset_ = total_ - 1, written_.clear();
  tailStart_ = -1;
  partsOff_ = mixedHosts_ = false;
  retry_ = RetryPolicy(services_.random, services_.clock);
  running_ = true;
  startAttempt();
}

void Fetch::cancel() {
  if (running_ && describesPrefix() && keepsPart()) keepPrefix();
  stop();
}

void Fetch::stop() {
  running_ = false;
  if (transfer_) transfer_->cancel();
  if (timer_) services_.loop->cancelTimer(timer_);
  timer_ = 0;
}

void Fetch::startAttempt() {
  timer_ = 0;
  TransferRequest request;
  request.url = request_.url;
  request.destination = request_.destination;
  request.idleTimeout = request_.idleTimeout;
  request.keepPartial = true;  // what is not kept, fail() removes
  request.minBytesPerIdle = kMinBytesPerIdle;
  conditional_ =
      !continues() && (!request_.ifNoneMatch.empty() || !request_.ifModifiedSince.empty());
  if (conditional_) {
    request.ifNoneMatch = request_.ifNoneMatch;
    request.ifModifiedSince = request_.ifModifiedSince;
  }
  suffixAsked_ = request_.suffix > 0 && !continues() && request_.rangeEnd <= 0;
  if (suffixAsked_) {
    request.suffixLength = request_.suffix;
  } else if (continues() || request_.rangeEnd > 0) {
    request.rangeStart = offset_;
    request.rangeEnd = request_.rangeEnd;
    request.ifRange = etag_;
    if (!etag_.empty()) request.written = keptAfter(offset_, false);
    if (!etag_.empty() && !partsOff_) {
      request.moreConnections = request_.moreConnections;
      request.otherHosts = request_.otherHosts;
    }
  }
  askedEnd_ = suffixAsked_ ? -1 : firstRequestEnd(request);
  attemptBytes_ = 0;
  responded_ = false;
  retry_.attemptStarted();
  // The transfer this replaces has ended; it is released here, from the
  // loop, not inside one of its own events.
  transfer_ = services_.startTransfer(request, *this);
}

// Later, from the loop: the running transfer's event is still on the stack.
void Fetch::startSoon(double seconds) {
  timer_ = services_.loop->addTimer(seconds, [this] { startAttempt(); });
}

void Fetch::transferDidReceiveResponse(const TransferResponse& response) {
  if (!response.url.empty()) url_ = response.url;
  // Any answer may name them: a server that fails or sheds load too.
  if (!response.duplicates.empty()) delegate_.fetchNamesDuplicates(response.duplicates);
  long status = response.status;
  if (status == 304) return notModified(response);
  if (isTransientStatus(status)) return retryAfterStatus(response);
  bool ranged = continues() || suffixAsked_ || request_.rangeEnd > 0;
  if (status == 416 && ranged) return restartFromZero(statusText(status));
  if (status < 200 || status > 299) {
    // An error page is not the file: fail now, before it is stored.
    transfer_->cancel();
    return fail(error(FetchFailure::kServerStatus, statusText(status), status));
  }
  if (status == 206 && !ranged) {
    transfer_->cancel();
    return fail(error(FetchFailure::kBadResponse,
                      "The server sent part of the file without being asked for a range."));
  }
  if (response.badLength) {
    transfer_->cancel();
    return fail(error(FetchFailure::kBadResponse, "The server sent an invalid Content-Length."));
  }
  int64_t length = status == 206 ? response.rangeTotal : response.expectedLength;
  FetchStart offered{0, length, response.etag, response.lastModified};
  if (!delegate_.fetchWantsBody(offered)) return cancel();
  if (request_.maxBytes >= 0 && response.expectedLength > request_.maxBytes) {
    transfer_->cancel();
    return fail(error(FetchFailure::kTooLarge,
                      "The file is larger than " + std::to_string(request_.maxBytes) + " bytes."));
  }
  if (!takeBody(response)) return restartFromZero("The server sent a range that does not fit.");
  responded_ = true;
  delegate_.fetchAccepted({offset_, total_, response.etag, response.lastModified, tailStart_,
                           request_.rangeEnd > 0 ? request_.rangeEnd : -1, writtenAfter(offset_)});
}

// Where the body goes: after the kept bytes for a 206 that continues them,
// else over them. False for a 206 that does not fit what is kept: another
// place, another length, or another file (a server that ignores If-Range).
bool Fetch::takeBody(const TransferResponse& response) {
  bool whole = response.status != 206 || (suffixAsked_ && response.rangeStart == 0);
  if (!whole && suffixAsked_) return takeEnd(response);
  if (!whole) {
    bool sameFile = request_.anyValidator || response.etag == etag_;
    if (response.rangeStart != offset_ || response.rangeTotal != total_ || !sameFile) return false;
    if (request_.anyValidator) {
      request_.anyValidator = false;  // from here on, this host's ETag is the file's
      etag_ = isStrongEtag(response.etag) ? response.etag : "";
      if (request_.part && !etag_.empty()) request_.part->describe(request_.url, etag_, total_);
      else if (request_.part) request_.part->forget();
    }
    if (askedEnd_ > 0 && response.expectedLength >= 0 &&
        offset_ + response.expectedLength != askedEnd_)
      return false;
    transfer_->writeBodyAt(offset_);
    described_ = offset_;
    // Bytes may come out of order from here: the part says how many
    // first ones it holds before any does.
    if (describesPrefix() && request_.part && !etag_.empty())
      request_.part->describe(request_.url, etag_, total_, offset_, keptAfter(offset_));
    return true;
  }
  if (response.status == 206 && response.expectedLength != response.rangeTotal) return false;
  request_.rangeEnd = -1;  // a whole file replaces what was written after the range
  written_.clear();
  tailStart_ = -1;
  offset_ = 0;
  total_ = response.status == 206 ? response.rangeTotal : response.expectedLength;
  etag_ = isStrongEtag(response.etag) ? response.etag : "";
  if (request_.part) request_.part->forget();
  transfer_->writeBodyAt(0);
  if (request_.part && !etag_.empty() && total_ > 0)
    request_.part->describe(request_.url, etag_, total_);
  return true;
}

// The file's end, written at its place: the file is sparse before it.
bool Fetch::takeEnd(const TransferResponse& response) {
  if (response.rangeStart < 0 || response.rangeTotal <= response.rangeStart ||
      (response.expectedLength >= 0 &&
       response.rangeStart + response.expectedLength != response.rangeTotal))
    return false;
  tailStart_ = offset_ = response.rangeStart;
  total_ = response.rangeTotal;
  etag_ = isStrongEtag(response.etag) ? response.etag : "";
  if (request_.part) request_.part->forget();  // no longer a first part of the file
  transfer_->writeBodyAt(offset_);
  return true;
}

// A 304 answers a condition: unasked, or naming another ETag, it is no
// answer about the file asked for.
void Fetch::notModified(const TransferResponse& response) {
  transfer_->cancel();
  if (!conditional_)
    return fail(error(FetchFailure::kNotModified, statusText(304), 304));
  bool sameEtag = response.etag.empty() || request_.ifNoneMatch.empty() ||
                  weakEtagMatch(response.etag, request_.ifNoneMatch);
  request_.ifNoneMatch.clear();  // asked once; the next attempt carries no condition
  request_.ifModifiedSince.clear();
  if (sameEtag && delegate_.fetchNotModified()) return stop();
  restartFromZero(sameEtag ? "The cached file cannot be used." : "The server named another ETag.");
}

// The kept bytes cannot be continued: once more from the start, at once,
// within the same bounds as any other attempt.
void Fetch::restartFromZero(const std::string& reason) {
  transfer_->cancel();
  if (!retry_.mayRetry(offset_ + attemptBytes_))
    return fail(error(FetchFailure::kBadResponse, reason));
  if (request_.part) request_.part->discard();
  // Ask for the whole file: what was written around a range is not of it.
  request_.suffix = 0;
  request_.rangeEnd = -1;
  offset_ = 0;
  tailStart_ = -1;
  written_.clear();
  etag_.clear();
  total_ = -1;
  startSoon(0);
}

void Fetch::retryAfterStatus(const TransferResponse& response) {
  transfer_->cancel();
  long status = response.status;
  FetchError failed = error(FetchFailure::kServerStatus, statusText(status), status);
  double wait = retry_.backoffSeconds();
  if (status == 429 || status == 503) {
    double asked = retryAfterSeconds(response.retryAfter, services_.wallClock());
    if (asked > 60) {
      failed.description += " It asked to be tried again in " +
                            std::to_string(static_cast<long long>(asked)) + " s.";
      return fail(failed);
    }
    if (asked >= 0) wait = std::max(1.0, asked);
  }
  retryOrFail(failed, status == 408 ? FetchWait::kServerTimedOut : FetchWait::kServerBusy, wait);
}

// Another attempt after |wait| seconds, continuing the kept bytes, unless
// the bounds say the fetch has failed.
void Fetch::retryOrFail(FetchError failed, FetchWait why, double wait) {
  int64_t reached = offset_ + attemptBytes_;
  if (!retry_.mayRetry(reached, wait)) return fail(failed);
  offset_ = etag_.empty() ? 0 : reached;
  if (etag_.empty()) tailStart_ = -1, written_.clear();
  int seconds = std::max(1, static_cast<int>(std::ceil(wait)));
  bool connected = failed.failure != FetchFailure::kCannotReach;
  services_.log((connected ? "Download interrupted: " : "Cannot connect: ") + failed.description +
                (failed.description.back() == '.' ? "" : ".") + " Retrying in " +
                std::to_string(seconds) + " s. " + failed.url);
  delegate_.fetchWaiting(why, seconds);
  if (running_) startSoon(seconds);
}

void Fetch::transferDidReceiveData(uint64_t length) {
  attemptBytes_ += length;
  int64_t received = offset_ + attemptBytes_;
  if (request_.maxBytes >= 0 && received > request_.maxBytes) {
    transfer_->cancel();
    return fail(error(FetchFailure::kTooLarge,
                      "The file is larger than " + std::to_string(request_.maxBytes) + " bytes."));
  }
  if (limit() != -1 && received > limit()) return tooLong();
  // Before the archive's end the part tells how far its first bytes go
  // (describeSoon says how often).
  if (describesPrefix()) describeSoon();
  delegate_.fetchProgress(received, writtenAfter(received));
}

// Bytes another connection wrote further on: kept in order, so that a
// later attempt or run asks for none of them again.
void Fetch::transferDidWriteRange(int64_t start, int64_t length, bool otherHost) {
  if (etag_.empty() || length <= 0) return;
  mixedHosts_ |= otherHost;
  written_.push_back({start, length});
  std::sort(written_.begin(), written_.end());
  ByteRanges joined;
  for (const auto& [at, size] : written_) {
    if (!joined.empty() && joined.back().first + joined.back().second >= at)
      joined.back().second = std::max(joined.back().second, at + size - joined.back().first);
    else
      joined.push_back({at, size});
  }
  written_.swap(joined);
  rangesTold_ += length;
  describeSoon();
  if (responded_) delegate_.fetchProgress(offset_ + attemptBytes_, writtenAfter(offset_ + attemptBytes_));
}

// Bytes written out of order after the first |prefix|, up to where this
// fetch stops.
int64_t Fetch::writtenAfter(int64_t prefix) const {
  int64_t bytes = 0;
  for (const auto& [start, length] : written_) {
    int64_t from = std::max(start, prefix), to = start + length;
    if (limit() > 0) to = std::min(to, limit());
    bytes += std::max<int64_t>(0, to - from);
  }
  return bytes;
}

// The part tells how far its first bytes go and which ranges follow, every
// 64 KiB but at most two hundred times a second (each time a small file is
// written and renamed): a run killed outright loses little more than that.
void Fetch::describeSoon() {
  int64_t received = offset_ + attemptBytes_;
  if (!request_.part || etag_.empty() || received - described_ + rangesTold_ < 64 << 10 ||
      services_.clock() - describedAt_ < 0.005)
    return;
  request_.part->describe(request_.url, etag_, total_, received, keptAfter(received));
  described_ = received;
  rangesTold_ = 0;
  describedAt_ = services_.clock();
}

// Whether the part must say how far its first bytes go: bytes after them
// are in the file (the archive's end, another connection's), or may come.
// Never for the archive's end itself, which is no first part.
bool Fetch::describesPrefix() const {
  if (tailStart_ >= 0 || suffixAsked_) return false;
  return request_.rangeEnd > 0 || !written_.empty() ||
         ((request_.moreConnections || !request_.otherHosts.empty()) && !partsOff_ &&
          (offset_ > 0 || request_.rangeEnd > 0));
}

// The ranges in the file after its first |prefix| bytes: those written out
// of order, and, |withEnd|, the file's end when a bounded range came before
// it (a transfer is told only of those before its range's end).
ByteRanges Fetch::keptAfter(int64_t prefix, bool withEnd) const {
  ByteRanges kept;
  for (const auto& [start, length] : written_) {
    int64_t from = std::max(start, prefix), to = start + length;
    if (request_.rangeEnd > 0) to = std::min(to, request_.rangeEnd);
    if (to > from) kept.push_back({from, to - from});
  }
  if (withEnd && request_.rangeEnd > 0 && total_ > request_.rangeEnd)
    kept.push_back({request_.rangeEnd, total_ - request_.rangeEnd});
  return kept;
}

// Longer than announced: not the file the server announced. It stops at
// the first byte too many, and nothing of it is kept.
void Fetch::tooLong() {
  transfer_->cancel();
  std::string count = "Received more than the " + std::to_string(limit()) + " bytes announced.";
  etag_.clear();
  if (request_.part) request_.part->discard();
  fail(error(FetchFailure::kBadResponse, count));
}

void Fetch::transferDidFinish() {
  int64_t received = offset_ + attemptBytes_;
  std::string count = "Received " + std::to_string(received) + " bytes of the " +
                      std::to_string(limit()) + " announced.";
  if (limit() != -1 && received < limit())  // the connection closed early
    return retryOrFail(error(FetchFailure::kConnectionLost, count), FetchWait::kConnectionLost,
                       retry_.backoffSeconds());
  if (limit() != -1 && received > limit()) return tooLong();
  // Whole from the first byte: the part says so until the archive is placed
  // (or found wrong), so that a run ended while its signature is fetched or
  // it is unpacked has only to ask the last byte again.
  if (request_.part && !etag_.empty() && tailStart_ < 0 && total_ > 0)
    request_.part->describe(request_.url, etag_, total_);
  else if (request_.part)
    request_.part->forget();
  stop();
  delegate_.fetchFinished();
}

// An idle connection is worth another try only when it had given bytes: a
// server that never answers fails after the idle limit.
void Fetch::transferDidFail(const TransferError& failed) {
  url_ = failed.failingUrl;
  if (failed.partsRefused) {  // what parts wrote is fetched again in order
    partsOff_ = true;
    written_.clear();
  }
  bool broke = responded_ || attemptBytes_ > 0;
  FetchFailure failure = FetchFailure::kOther;
  switch (failed.fault) {
    case TransferFault::kNetwork:
      failure = broke ? FetchFailure::kConnectionLost : FetchFailure::kCannotReach;
      break;
    case TransferFault::kIdle:
      failure = attemptBytes_ > 0 ? FetchFailure::kConnectionLost : FetchFailure::kCannotReach;
      break;
    case TransferFault::kRefused: failure = FetchFailure::kRefused; break;
    case TransferFault::kLocalWrite: failure = FetchFailure::kLocalWrite; break;
    case TransferFault::kProxyAuth: failure = FetchFailure::kProxyAuth; break;
    case TransferFault::kOther: break;
  }
  FetchError reason = error(failure, failed.description);
  reason.proxy = failed.askingProxy;
  reason.credentialsRefused = failed.credentialsRefused;
  bool transient = failed.fault == TransferFault::kNetwork ||
                   (failed.fault == TransferFault::kIdle && attemptBytes_ > 0);
  // Another host waits: one that cannot be reached or stops sending is left.
  bool leave = failure == FetchFailure::kCannotReach || failed.fault == TransferFault::kIdle;
  if (request_.handOver && leave) transient = false;
  if (transient) return retryOrFail(reason, FetchWait::kConnectionLost, retry_.backoffSeconds());
  fail(reason);
}

// Bytes of a file with a strong ETag stay in the part for a later run;
// anything else received is removed, and so is a part the disk could not
// take, which would otherwise keep the disk full.
void Fetch::fail(FetchError failed) {
  bool end = tailStart_ > 0;  // a file's end is no first part to continue
  if ((failed.failure == FetchFailure::kLocalWrite || end) && request_.part) {
    request_.part->discard();
    etag_.clear();
  }
  if (describesPrefix() && keepsPart()) keepPrefix();
  if (!keepsPart()) unlink(request_.destination.c_str());
  stop();
  delegate_.fetchFailed(failed);
}

// A range that broke off before the bytes written after it: its contiguous
// first bytes are kept, the rest cut off, which a later run asks for again.
void Fetch::keepPrefix() {
  int64_t prefix = offset_ + attemptBytes_;
  ByteRanges kept = keptAfter(prefix);
  if (!kept.empty()) {  // ranges further on stay, and say so
    request_.part->describe(request_.url, etag_, total_, prefix, kept);
    return;
  }
  if (prefix <= 0 || truncate(request_.destination.c_str(), prefix) != 0) {
    request_.part->discard();
    etag_.clear();
    return;
  }
  request_.part->describe(request_.url, etag_, total_);
}

bool Fetch::keepsPart() const { return request_.part && !etag_.empty(); }

FetchError Fetch::error(FetchFailure failure, const std::string& description, long status) const {
  return {failure, status, description, url_};
}
