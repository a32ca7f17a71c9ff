#ifndef SETUP_PLATFORM_TRANSFER_H_
#define SETUP_PLATFORM_TRANSFER_H_

#include <cstdint>
#include <memory>
#include <functional>
#include <string>
#include <utility>
#include <vector>

class Loop;

// What a transfer's first connection has seen of its link so far: its body
// and the kernel's view of the TCP connection (receiving side).
struct LinkSample {
  double seconds = 0;       // since the body began
  int64_t bytes = 0;        // body bytes in that time
  int64_t remaining = 0;    // bytes of the range still to come
  bool measured = false;    // the connection's TCP_INFO could be read
  double rtt = 0;           // the receiver's round trip estimate now (s)
  double minRtt = 0;        // the least round trip seen on the connection (s)
  // The most |rtt| was, now and at the probes over recentSeconds: a queue
  // that a flow's losses drained just before this probe still shows.
  double recentMaxRtt = 0;
  uint32_t segmentsIn = 0;  // data segments received
  uint32_t outOfOrder = 0;  // of those, received out of order (a loss ahead)
  // The same two lately: over the last recentSeconds (at least half a
  // second and four round trips where the body has run that long, else
  // all of it).
  uint32_t recentSegmentsIn = 0, recentOutOfOrder = 0;
  double recentSeconds = 0;
  // Segments received over as long a window just before that one (none
  // until the body has run two windows' time).
  uint32_t earlierSegmentsIn = 0;
  double earlierSeconds = 0;
  // Segments received since the probe before this one, where that probe
  // lies within recentSeconds (else none).
  uint32_t latestSegmentsIn = 0;
  double latestSeconds = 0;
  uint32_t mss = 0;         // bytes per segment
  // Bytes the server may send before it must wait: those the kernel holds
  // unread and the receive window offered past them (-1: the kernel does
  // not tell its window, before Linux 6.2).
  int64_t windowAhead = -1;
};

// (start, length) pairs of bytes already in a file, in order, disjoint.
using ByteRanges = std::vector<std::pair<int64_t, int64_t>>;

struct TransferRequest {
  std::string url;
  std::string destination;    // file the body is written to (created when missing)
  double idleTimeout = 60.0;  // seconds without a byte (connecting included)
  std::string ifNoneMatch;    // sent as If-None-Match when not empty
  std::string ifModifiedSince;  // sent as If-Modified-Since when not empty
  // At least this many bytes must arrive in every idleTimeout seconds once
  // the body flows, else the transfer fails as idle (a trickle); 0: any.
  int64_t minBytesPerIdle = 0;
  int64_t rangeStart = 0;     // > 0 (or with rangeEnd): asks for the bytes from this one on
  // > 0: only up to this byte (excluded). The file's bytes from here on are
  // left as they are: the body fills a gap before bytes already written.
  int64_t rangeEnd = -1;
  // > 0: asks for the file's last |suffixLength| bytes (Range: bytes=-N)
  // instead; the answer's Content-Range says where they start.
  int64_t suffixLength = 0;
  std::string ifRange;        // with a range: the ETag the bytes must belong to
  bool keepPartial = false;   // a failed or cancelled transfer leaves its file
  // With a range and ifRange: ranges after rangeStart (and before rangeEnd)
  // already in the file. Only the holes between them are fetched.
  ByteRanges written;
  // With a range and ifRange: asked from time to time, once the body flows,
  // how many more connections would pay on this link; the first answer
  // above 0 splits the rest of the range among them. Empty: one connection.
  std::function<int(const LinkSample&)> moreConnections;
  // With a range and ifRange: the same file's URLs on other hosts, for a
  // file whose whole a signature checks afterwards. Where the range is
  // long enough (kOtherHostsFrom), each of them takes parts of it at once
  // on a connection of its own, sized by its measured speed against the
  // first connection's. A host's part must name the file's length (and,
  // after its first, the ETag of its first): else, or when it breaks off,
  // the host is left and its bytes are asked elsewhere.
  std::vector<std::string> otherHosts;
  // The proxy: empty, libcurl's own reading of the environment (https_proxy,
  // http_proxy, all_proxy, no_proxy); "direct://", none whatever the
  // environment says; otherwise its URL ("http://host:port", "socks5h://…").
  std::string proxy;
  // The proxy's user name and password, in place of any in its URL. With
  // none here or in the URL, a proxy that asks Negotiate gets the user's
  // Kerberos ticket. Never logged.
  std::string proxyUser, proxyPassword;
};

// Other hosts take parts of a range of at least this many bytes: below it a
// handshake with each would cost more than it saves.
constexpr int64_t kOtherHostsFrom = 4 << 20;

struct TransferResponse {
  long status = 0;              // HTTP status of the final response
  std::string etag;             // the ETag header's value, trimmed; empty when none
  int64_t expectedLength = -1;  // Content-Length; -1 when the server announces none
  bool badLength = false;       // a Content-Length that is not a number of 63 bits
  int64_t rangeStart = -1;      // Content-Range "bytes N-M/T": N, else -1
  int64_t rangeEnd = -1;        // M, else -1
  int64_t rangeTotal = -1;      // and T, else -1
  std::string retryAfter;       // the Retry-After header's value, trimmed
  std::string lastModified;     // the Last-Modified header's value, trimmed
  std::string url;              // the final URL, after redirects
  bool http2 = false;           // it came over HTTP/2
  // Other https URLs of the same file, from Link: <url>; rel=duplicate.
  std::vector<std::string> duplicates;
};

// Why a transfer failed, as far as the transport can tell.
enum class TransferFault {
  kNetwork,     // could not connect or resolve, or the connection broke
  kIdle,        // no byte for the idle timeout
  kRefused,     // certificate or TLS verification, a forbidden redirect, a bad URL
  kLocalWrite,  // the destination could not be written
  kProxyAuth,   // the proxy answered 407: it took none of the credentials sent, if any
  kOther,
};

struct TransferError {
  std::string description;
  std::string failingUrl;
  TransferFault fault = TransferFault::kOther;
  // The request's proxy could not be resolved or connected to (a kNetwork
  // fault); the server itself was not reached.
  bool proxyUnreachable = false;
  // With kProxyAuth, where the caller that answers a proxy's 407 knows them:
  // the proxy that asked ("host:port"), and whether credentials had been
  // sent (and were refused) rather than none.
  std::string askingProxy = {};
  bool credentialsRefused = false;
  // A part of the range, on another connection, came back as another file
  // or without its range: the file's bytes cannot be asked for in parts.
  bool partsRefused = false;
};

// Where the first request of |request| stops: before the first range
// already written after rangeStart, else at rangeEnd (-1: the file's end).
inline int64_t firstRequestEnd(const TransferRequest& request) {
  for (const auto& [start, length] : request.written)
    if (start > request.rangeStart && (request.rangeEnd <= 0 || start < request.rangeEnd))
      return start;
  return request.rangeEnd;
}

// Receives the events of one transfer, on the loop's thread, in order: one
// response (the final one, after redirects; of the first connection), data
// chunks, each counting bytes already written to the file in order after
// the first ones (held back no more than 5 ms; all of them before a
// failure), then exactly one of finished / failed. Nothing arrives after
// Transfer::cancel(). A delegate may cancel the transfer from any event,
// but never destroys it inside one: the transfer is still on the stack.
// Release it later, from the loop.
class TransferDelegate {
 public:
  virtual ~TransferDelegate() = default;
  virtual void transferDidReceiveResponse(const TransferResponse& response) = 0;
  virtual void transferDidReceiveData(uint64_t length) = 0;
  // Bytes the file now holds at |start|, out of order (another connection's
  // part of the range): data events count them once the first bytes reach
  // them. Told from time to time as they are written; |otherHost| when
  // they came from one of the request's otherHosts.
  virtual void transferDidWriteRange(int64_t start, int64_t length, bool otherHost) = 0;
  virtual void transferDidFinish() = 0;
  virtual void transferDidFail(const TransferError& error) = 0;
};

// One running transfer into a file. Until the response has been delivered
// the file is left as it was; a failed or cancelled transfer then deletes
// it unless the request said to keep it. Destroying it cancels it.
class Transfer {
 public:
  virtual ~Transfer() = default;
  // Stops the transfer; no effect once it has finished or failed. Bytes
  // received but not yet counted are dropped: a file kept holds exactly the
  // bytes counted.
  virtual void cancel() = 0;
  // Called from transferDidReceiveResponse: keeps the file's first |offset|
  // bytes (cutting anything after them, unless the request has a rangeEnd
  // and the answer is a 206: then bytes past rangeEnd are neither cut nor
  // written) and writes the body after them. Without it the body replaces the
  // file's contents.
  virtual void writeBodyAt(int64_t offset) = 0;
};

// Starts |request| on |loop|: http and https only, redirects followed (never
// from https down to http), certificates always verified. Transfers to one
// server reuse an open connection (and a TLS session) of an earlier one in
// the process where the server kept it open.
std::unique_ptr<Transfer> startTransfer(Loop& loop, const TransferRequest& request,
                                        TransferDelegate& delegate);

#endif  // SETUP_PLATFORM_TRANSFER_H_
