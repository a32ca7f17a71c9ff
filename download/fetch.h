#ifndef SETUP_DOWNLOAD_FETCH_H_
#define SETUP_DOWNLOAD_FETCH_H_

#include <time.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "download/retry.h"
#include "platform/loop.h"
#include "platform/transfer.h"

class KeptPart;

// What a fetch needs of the platform. Tests give fakes.
struct FetchServices {
  Loop* loop = nullptr;
  std::function<std::unique_ptr<Transfer>(const TransferRequest&, TransferDelegate&)> startTransfer;
  std::function<double()> random;     // in [0, 1), for the retry waits
  std::function<time_t()> wallClock;  // Unix time, for Retry-After dates
  std::function<double()> clock;      // seconds that never jump, for the retry bounds
  std::function<void(const std::string&)> log;
};

// One file to fetch and the validators the fetch may send.
struct FetchRequest {
  std::string url;
  std::string destination;
  double idleTimeout = 60.0;  // seconds without a byte before an attempt fails
  // Sent as If-None-Match, or If-Modified-Since, on the first attempt when
  // not empty: only then is a 304 an answer.
  std::string ifNoneMatch;
  std::string ifModifiedSince;
  // Bytes of an earlier download kept at |destination| (see KeptPart): the
  // part keeps what a broken fetch got, and its first bytes are continued
  // with Range and If-Range when it holds any.
  KeptPart* part = nullptr;
  int64_t keptBytes = 0;
  std::string keptEtag;      // the strong ETag they belong to
  int64_t keptTotal = -1;    // and the file's whole length
  int64_t maxBytes = -1;     // a larger file fails (kTooLarge); -1: no limit
  // > 0, with nothing kept: the first attempt asks for the file's last
  // |suffix| bytes (with the condition, if any). An answer that starts after
  // the first byte is written at its place in the file, and the fetch
  // finishes with it (FetchStart::tailStart); an answer with the whole file
  // is taken as without it.
  int64_t suffix = 0;
  // > 0: only the bytes before this one are fetched, from |keptBytes| on,
  // of the file with |keptEtag| and |keptTotal|; the destination's bytes
  // from here on were written before and stay. An answer with a whole file
  // replaces them all (FetchStart::end says so). A fetch that breaks off
  // keeps its contiguous first bytes in |part|.
  int64_t rangeEnd = -1;
  // Another host waits for this file: a host that cannot be reached, or
  // that stops sending, is not tried again (the fetch fails at once).
  bool handOver = false;
  // The kept bytes came from another host, whose ETag means nothing here:
  // they are asked for without If-Range and continued by an answer of the
  // same total length, whose own ETag the bytes take on. Only for files
  // whose whole is checked afterwards (a signature).
  bool anyValidator = false;
  // With the ETag and total of kept bytes: ranges after them (or with none
  // kept, alone) already in the file (a part's ranges, KeptPart::keptFor);
  // only the holes between them are fetched.
  ByteRanges written;
  // Asked, once a ranged body flows, how many more connections would pay
  // (see TransferRequest::moreConnections); empty: one connection.
  std::function<int(const LinkSample&)> moreConnections;
  // With kept bytes or a range: the file's URLs on other hosts, which may
  // bring parts of it at once (TransferRequest::otherHosts). Only for a
  // file whose whole is checked afterwards (a signature).
  std::vector<std::string> otherHosts;
};

// Why a fetch failed, as its owner words it for people.
enum class FetchFailure {
  kCannotReach,     // no connection could be made (or no answer before the idle limit)
  kConnectionLost,  // the connection broke, or closed early, after the server answered
  kServerStatus,    // the server refused with an HTTP status (FetchError::status)
  kNotModified,     // a 304 to a request that asked no condition
  kBadResponse,     // a range that does not fit, a body longer than announced
  kTooLarge,        // larger than FetchRequest::maxBytes
  kRefused,         // certificate, TLS, a forbidden redirect, a bad URL
  kLocalWrite,      // the destination could not be written
  kProxyAuth,       // the proxy wants a user name and password it did not get (HTTP 407)
  kOther,
};

struct FetchError {
  FetchFailure failure = FetchFailure::kOther;
  long status = 0;          // with kServerStatus (and kNotModified: 304)
  std::string description;  // one line for the log
  std::string url;          // the URL that failed, after redirects
  // With kProxyAuth: the proxy ("host:port"), and whether the credentials
  // sent were refused rather than none sent.
  std::string proxy = {};
  bool credentialsRefused = false;
};

// Why a fetch waits before its next attempt.
enum class FetchWait { kConnectionLost, kServerBusy, kServerTimedOut };

// A response whose body the fetch writes: the file's whole length (-1 when
// unknown), its validators, and how many of its first bytes were already
// kept (the body continues after them).
struct FetchStart {
  int64_t kept = 0;
  int64_t total = -1;
  std::string etag;
  std::string lastModified;
  // The body is the file's end from this byte (FetchRequest::suffix), else -1.
  int64_t tailStart = -1;
  // The body stops before this byte (FetchRequest::rangeEnd), else -1: it
  // runs to the file's end.
  int64_t end = -1;
  // Bytes before |end| but after the kept ones already in the file (ranges
  // an earlier attempt or run wrote out of order).
  int64_t further = 0;
};

// Whether two ETags name the same file by weak comparison (a "W/" prefix
// on either side does not matter), as If-None-Match is answered.
bool weakEtagMatch(const std::string& a, const std::string& b);

// A body must bring at least this many bytes per idle limit once it flows:
// a server that trickles slower is treated as stalled.
constexpr int64_t kMinBytesPerIdle = 64 * 1024;

// Receives the events of one Fetch, on the loop's thread. A receiver must
// not destroy the Fetch that delivers an event inside that event; it may
// cancel it, or start another Fetch.
class FetchDelegate {
 public:
  virtual ~FetchDelegate() = default;
  // The server answered with the file |start| describes (before the kept
  // bytes are weighed). False takes no body: the fetch ends quietly, no
  // event follows.
  virtual bool fetchWantsBody(const FetchStart& /*offered*/) { return true; }
  // Other https URLs the server names for the same file (Link:
  // rel=duplicate) in an answer of any status, before the answer is judged.
  virtual void fetchNamesDuplicates(const std::vector<std::string>& /*urls*/) {}
  // The server answered the condition with 304. True ends the fetch
  // quietly; false fetches the file again without the condition.
  virtual bool fetchNotModified() { return false; }
  // The body about to be written, before its first byte.
  virtual void fetchAccepted(const FetchStart& start) = 0;
  // The file now holds its first |received| bytes (for a file's end: the
  // bytes from tailStart up to |received|), and |further| bytes after them
  // that other connections wrote (for display: they are no first bytes).
  virtual void fetchProgress(int64_t received, int64_t further) = 0;
  // An attempt failed in a way that may pass; the next one starts in
  // |seconds| unless the fetch is cancelled.
  virtual void fetchWaiting(FetchWait why, int seconds) = 0;
  // Exactly one of these ends a fetch that was not cancelled.
  virtual void fetchFinished() = 0;
  virtual void fetchFailed(const FetchError& error) = 0;
};

// Fetches one file to a destination, with every attempt that takes: the
// conditional request, continuing kept bytes, the HTTP decisions (304, 206,
// 416, transient statuses and Retry-After), the retry bounds and waits
// (RetryPolicy), and what to keep of a broken body. Every new attempt is
// started from the loop, never inside the event of the transfer it
// replaces, and a transfer is released only from the loop too.
class Fetch : public TransferDelegate {
 public:
  Fetch(const FetchServices& services, FetchDelegate& delegate);
  ~Fetch() override;
  Fetch(const Fetch&) = delete;
  Fetch& operator=(const Fetch&) = delete;

  // Starts the first attempt of |request|; also starts a fetch that ended
  // anew (not from inside one of its own events).
  void start(const FetchRequest& request);
  // Stops every attempt and wait; no event follows. Kept bytes stay (of a
  // bounded range, its contiguous first bytes).
  void cancel();
  // Whether an attempt runs or waits.
  bool running() const { return running_; }
  // Whether bytes of the file came from one of the request's otherHosts
  // since it was started.
  bool mixedHosts() const { return mixedHosts_; }

  // Transfer events.
  void transferDidReceiveResponse(const TransferResponse& response) override;
  void transferDidReceiveData(uint64_t length) override;
  void transferDidWriteRange(int64_t start, int64_t length, bool otherHost) override;
  void transferDidFinish() override;
  void transferDidFail(const TransferError& error) override;

 private:
  void startAttempt();
  void startSoon(double seconds);
  bool takeBody(const TransferResponse& response);
  bool takeEnd(const TransferResponse& response);
  void notModified(const TransferResponse& response);
  void restartFromZero(const std::string& reason);
  void tooLong();
  void retryAfterStatus(const TransferResponse& response);
  void retryOrFail(FetchError error, FetchWait why, double wait);
  void fail(FetchError error);
  void stop();
  void keepPrefix();
  bool keepsPart() const;
  bool describesPrefix() const;
  // Whether the file holds bytes of this fetch already: its first ones, or
  // ranges further on (an earlier run's, another connection's).
  bool continues() const { return offset_ > 0 || !written_.empty(); }
  ByteRanges keptAfter(int64_t prefix, bool withEnd = true) const;
  int64_t writtenAfter(int64_t prefix) const;
  void describeSoon();
  int64_t limit() const { return request_.rangeEnd > 0 ? request_.rangeEnd : total_; }
  FetchError error(FetchFailure failure, const std::string& description, long status = 0) const;

  const FetchServices& services_;
  FetchDelegate& delegate_;
  FetchRequest request_;
  RetryPolicy retry_;
  std::unique_ptr<Transfer> transfer_;
  Loop::Handle timer_ = 0;
  bool running_ = false;
  bool conditional_ = false;  // the running attempt carries If-None-Match
  bool responded_ = false;    // the running attempt's body is being written
  std::string url_;           // the URL of the last response, after redirects
  int64_t offset_ = 0;        // bytes kept before this attempt's body
  int64_t attemptBytes_ = 0;  // body bytes of this attempt
  int64_t total_ = -1;        // the file's announced length
  int64_t tailStart_ = -1;    // the body is the file's end from here
  int64_t described_ = 0;     // the first bytes the part says it holds
  double describedAt_ = -1;   // when it said so
  bool suffixAsked_ = false;  // the running attempt asks for the file's end
  std::string etag_;          // the strong ETag the bytes belong to, else empty
  ByteRanges written_;        // bytes in the file after the first ones, in order
  int64_t askedEnd_ = -1;     // where the running attempt's first request stops
  int64_t rangesTold_ = 0;    // range bytes written since the part last said
  bool partsOff_ = false;     // the server refused a part: one connection from now on
  bool mixedHosts_ = false;
};

#endif  // SETUP_DOWNLOAD_FETCH_H_
