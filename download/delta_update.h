#ifndef SETUP_DOWNLOAD_DELTA_UPDATE_H_
#define SETUP_DOWNLOAD_DELTA_UPDATE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agent/delta_plan.h"
#include "download/fetch.h"
#include "platform/range_fetch.h"

class KeptPart;

// What a delta needs beyond a fetch's services. Tests give fakes.
struct DeltaServices {
  std::function<std::unique_ptr<RangeFetch>(const RangeFetchRequest&, RangeFetchDelegate&)>
      startRanges;
  std::function<bool(const std::string& from, int64_t fromOffset, const std::string& to,
                     int64_t toOffset, int64_t length)>
      copy;
};

// The new archive to rebuild: |path| holds its bytes from |end| on (its
// end, fetched first) and gets the rest.
struct DeltaTarget {
  std::string url, path, etag, proxy;
  std::string proxyUser, proxyPassword;  // as TransferRequest's
  int64_t total = 0, end = 0;
  double idleTimeout = 60.0;
  double bytesPerSecond = 0;  // the link's, as the end's fetch saw it; 0: unknown
  // From the end's request to its answer, connecting included (0: unknown):
  // an upper bound, for the choice alone.
  double roundTrip = 0;
  std::string keptArchive;    // the archive of an earlier agent
  KeptPart* part = nullptr;   // notes each range written, for a later run
  // Another host serves the same release: a range that breaks off or that
  // the server answers with an error status ends the update at once
  // (kFailed), for that host to make it, rather than after retries or with
  // a whole download from this one.
  bool handOver = false;
};

// The delta step of a signed download: plans the new archive from the kept
// one (agent/delta_plan), copies what it can, and fetches the rest as byte
// ranges with If-Range: one range per request, many at once over HTTP/2;
// over HTTP/1.1 many ranges a request (ranges closer than a part's head
// fetched as one), or, from a server that refuses that, one a request, with
// ranges closer than a round trip's worth of bytes fetched as one. Ranges an earlier run finished are not fetched again. The rebuilt
// file is the server's only if its signature checks: the caller's to ask.
class DeltaUpdate : private RangeFetchDelegate {
 public:
  // kRebuilt: every byte is in place. kWhole: the server answered a range
  // with the whole file, another status or a range of another file (the
  // ETag changed), or ranges kept breaking off until the retries were
  // spent: the caller downloads the whole archive. kFailed: refused (TLS,
  // a redirect) or not written, or, with handOver, the host failing.
  enum class Outcome { kRebuilt, kWhole, kFailed };
  using Done = std::function<void(Outcome outcome, const FetchError& error)>;

  DeltaUpdate(const FetchServices& net, DeltaServices services);
  ~DeltaUpdate() override;

  // Plans |target| against its new directory |fresh|. False, with the
  // reason logged and nothing written, when the kept archive cannot be
  // trusted for it or a delta is estimated to take longer than the whole
  // download (estimateDelta);
  // else copies, starts the ranges and calls |done| once, from the loop.
  bool start(const DeltaTarget& target, const ZipDirectory& fresh,
             std::function<void(int64_t fetched)> progress, Done done);
  void cancel();
  // The bytes the delta fetches in all (what the display counts).
  int64_t fetchBytes() const { return plan_.fetchBytes; }
  // "2.7 MB fetched for 52 ranges (2.6 MB) over HTTP/2 (52 requests), 378.2 MB
  // copied from the kept archive": the bytes that came, the ranges planned
  // and their bytes, the requests made.
  std::string summary() const;

 private:
  void rangeWritten(size_t index) override;
  void rangeBytes(int64_t bytes) override;
  void rangesFinished() override;
  void rangesFailed(const RangeFetchError& error) override;
  void fetchNext();
  void later(double seconds, std::function<void()> step);
  void end(Outcome outcome, const FetchError& error = FetchError());

  const FetchServices& net_;
  DeltaServices services_;
  RetryPolicy retry_;
  DeltaTarget target_;
  DeltaPlan plan_;
  std::vector<ByteRange> left_;     // still to fetch, in file order
  std::vector<ByteRange> running_;  // the running fetch's ranges
  std::vector<bool> written_;       // which of them are written whole
  std::unique_ptr<RangeFetch> fetch_;
  Loop::Handle timer_ = 0;
  bool probing_ = false;  // the first range alone, to learn the protocol and the round trip
  bool oneByOne_ = false;  // the server refused many ranges a request
  double roundTrip_ = 0;   // as the fetches measured it, connecting left out
  int64_t fetched_ = 0, reached_ = 0;
  int requests_ = 0;
  std::string protocol_;
  void learnFromFetch();
  std::function<void(int64_t)> progress_;
  Done done_;
};

#endif  // SETUP_DOWNLOAD_DELTA_UPDATE_H_
