#ifndef SETUP_PLATFORM_RANGE_FETCH_H_
#define SETUP_PLATFORM_RANGE_FETCH_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Loop;

// Bytes [start, start + length) of a file.
struct ByteRange {
  int64_t start = 0;
  int64_t length = 0;
};

struct RangeFetchRequest {
  std::string url;
  std::string destination;  // an existing file; each range is written at its own offset
  std::string ifRange;      // the strong ETag every range must belong to
  std::vector<ByteRange> ranges;
  double idleTimeout = 60.0;  // seconds without a byte on any range
  std::string proxy;          // as TransferRequest::proxy
  std::string proxyUser, proxyPassword;  // as TransferRequest's
  // At most this many requests at once: streams of one HTTP/2 connection
  // where the server offers HTTP/2, else connections of HTTP/1.1.
  int maxStreams = 64;
  int maxConnections = 4;
  // More than 1: the server speaks HTTP/1.1 (as an earlier fetch found), and
  // each request asks for up to this many ranges at once, answered as
  // multipart/byteranges. A server that answers such a request otherwise
  // (one range, a 200 of the same file, a refusal, parts that are not the
  // ones asked for) ends the fetch with kManyRanges, the parts it sent
  // whole written.
  size_t rangesPerRequest = 1;
  int64_t total = -1;  // the file's length, which every part must name (-1: unchecked)
};

// Why a range fetch ended early.
enum class RangeFault {
  kWholeFile,   // a 200: the server ignores ranges, or the ETag changed (If-Range)
  kStatus,      // another status (416, 404, 5xx); RangeFetchError::status
  kBadRange,    // a 206 whose Content-Range is not the range asked for
  kNetwork,     // no connection, a connection broken, or idle too long
  kRefused,     // certificate, TLS, a forbidden redirect
  kLocalWrite,  // the destination could not be written
  kManyRanges,  // many ranges in one request answered otherwise: ask one a request
};

struct RangeFetchError {
  RangeFault fault = RangeFault::kNetwork;
  long status = 0;
  std::string description;
};

// Receives a range fetch's events on the loop's thread. It may cancel the
// fetch from any event, but never destroys it inside one.
class RangeFetchDelegate {
 public:
  virtual ~RangeFetchDelegate() = default;
  // Range |index| of the request is written whole.
  virtual void rangeWritten(size_t index) = 0;
  // |bytes| more bytes were written, over all ranges.
  virtual void rangeBytes(int64_t bytes) = 0;
  // Exactly one of these ends a fetch that was not cancelled. On a failure
  // every request still running is stopped at once (a 200's body is not
  // read on), and ranges not reported written may hold part of their bytes.
  virtual void rangesFinished() = 0;
  virtual void rangesFailed(const RangeFetchError& error) = 0;
};

class RangeFetch {
 public:
  virtual ~RangeFetch() = default;
  // Stops every request; no event follows.
  virtual void cancel() = 0;
  // "HTTP/2" or "HTTP/1.1" once a response has come, else empty.
  virtual std::string protocol() const = 0;
  // The shortest time from a request sent to its answer's first byte, the
  // connection's set-up left out (seconds; 0 before any answer).
  virtual double roundTrip() const { return 0; }
  // Requests made so far (0: not counted).
  virtual int requests() const { return 0; }
};

// Fetches |request|'s ranges with If-Range, one range per request over
// HTTP/2 where the server offers it (many streams on one connection), else
// over a few HTTP/1.1 connections, each reused, with many ranges a request
// where the caller asks for that. Connections and TLS
// sessions are shared with the process's other transfers.
std::unique_ptr<RangeFetch> startRangeFetch(Loop& loop, const RangeFetchRequest& request,
                                            RangeFetchDelegate& delegate);

#endif  // SETUP_PLATFORM_RANGE_FETCH_H_
