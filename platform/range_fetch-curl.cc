// Many ranges of one file on the engine (curl_engine.h), one multi handle
// driven by the loop's fd watches and timers: streams of one HTTP/2
// connection where the server offers it, else a few reused HTTP/1.1
// connections, each request asking for many ranges where the caller wants
// that (multipart_ranges.h reads the answer).
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <optional>
#include <utility>

#include "platform/curl_engine.h"
#include "platform/loop.h"
#include "platform/multipart_ranges.h"
#include "platform/range_fetch.h"

namespace {

class CurlRangeFetch;

// Ranges are many and mostly small: less is held per request than for a
// transfer, so that 64 at once hold at most 4 MiB.
const size_t kHoldBytes = 64 * 1024;
// The Range header of one request stays within this many bytes: servers
// refuse a request whose header lines pass 8 KiB (nginx's buffer for a long
// one, Apache's LimitRequestFieldSize).
const size_t kMaxRangeHeader = 6000;

// One request: ranges |indices| of the fetch, in file order.
struct Stream {
  Stream(CurlRangeFetch* fetch, Loop& loop, std::vector<size_t> indices, std::function<void()> flushed)
      : indices(std::move(indices)), fetch(fetch), body(loop, kHoldBytes, std::move(flushed)) {}
  std::vector<size_t> indices;
  CurlRangeFetch* fetch;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  HeaderBlock block;
  bool accepted = false;     // a 206 for exactly these ranges, or for the first alone
  bool firstOnly = false;    // a 206 for the first of many ranges
  bool refused = false;      // many ranges answered otherwise: ask them one by one
  std::unique_ptr<MultipartRanges> parts;  // a multipart/byteranges answer
  std::vector<size_t> written;             // ranges written whole, not yet told of
  std::optional<RangeFetchError> fault;
  char errorBuffer[CURL_ERROR_SIZE] = {0};
  BodyWriter body;
};

class CurlRangeFetch : public RangeFetch {
 public:
  CurlRangeFetch(const CurlLibrary& curl, Loop& loop, const RangeFetchRequest& request,
                 RangeFetchDelegate& delegate);
  ~CurlRangeFetch() override;
  void cancel() override { finish(); }
  std::string protocol() const override { return protocol_; }
  double roundTrip() const override { return roundTrip_; }
  int requests() const override { return requests_; }

  static size_t onHeader(char* data, size_t size, size_t count, void* stream);
  static size_t onWrite(char* data, size_t size, size_t count, void* stream);

 private:
  void startMore();
  size_t header(Stream& stream, const std::string& line);
  size_t write(Stream& stream, const char* data, size_t length);
  RangeFetchError acceptResponse(Stream& stream);
  bool acceptParts(Stream& stream, const TransferResponse& head);
  bool tellWritten(Stream& stream);
  bool reportBytes();
  void deliverEvents();
  void deliverEnd(Stream& stream, CURLcode result);
  void fail(const RangeFetchError& error);
  void remove(Stream& stream);
  void finish();

  const CurlLibrary& curl_;
  Loop& loop_;
  RangeFetchRequest request_;
  RangeFetchDelegate& delegate_;
  CurlMultiOnLoop multi_{curl_, loop_, [this] { deliverEvents(); }};
  int fd_ = -1;
  std::deque<size_t> pending_;  // ranges not yet asked for, in file order
  size_t limit_ = 1;  // requests at once; one until the protocol is known
  bool http1_ = false;  // the first answer came over HTTP/1.1
  size_t perRequest_ = 1;  // ranges in one request
  double roundTrip_ = 0;
  int requests_ = 0;
  std::list<Stream> streams_;
  std::string protocol_;
  bool ended_ = false;
  std::unique_ptr<IdleWatch> idle_;
  LoopCall end_{loop_};  // a fetch that ends before it asks anything
  LoopCall report_{loop_};  // bytes a stream's timer wrote
};

bool validRange(const ByteRange& range) {
  return range.start >= 0 && range.length > 0 && range.start <= INT64_MAX - range.length;
}

CurlRangeFetch::CurlRangeFetch(const CurlLibrary& curl, Loop& loop,
                               const RangeFetchRequest& request, RangeFetchDelegate& delegate)
    : curl_(curl), loop_(loop), request_(request), delegate_(delegate) {
  auto endLater = [this](std::function<void()> end) { end_.schedule(0, std::move(end)); };
  for (const ByteRange& range : request_.ranges)
    if (!validRange(range)) {
      std::string why = "Invalid range: " + std::to_string(range.length) + " bytes at " +
                        std::to_string(range.start) + ".";
      endLater([this, why] { fail({RangeFault::kBadRange, 0, why}); });
      return;
    }
  // An existing regular file, never created, cut, or written through a link.
  fd_ = open(request_.destination.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    std::string why = "Cannot write " + request_.destination + ": " +
                      strerror(fd_ < 0 ? errno : EINVAL);
    endLater([this, why] { fail({RangeFault::kLocalWrite, 0, why}); });
    return;
  }
  for (size_t i = 0; i < request_.ranges.size(); ++i) pending_.push_back(i);
  if (request_.rangesPerRequest > 1) {
    http1_ = true, perRequest_ = request_.rangesPerRequest;
    limit_ = std::max(1, request_.maxConnections);
  }
  if (request_.ranges.empty()) {
    endLater([this] {
      finish();
      delegate_.rangesFinished();
    });
    return;
  }
  curl_.curl_multi_setopt(multi_.get(), CURLMOPT_PIPELINING, long(CURLPIPE_MULTIPLEX));
  long connections = std::max(1, request_.maxConnections);
  curl_.curl_multi_setopt(multi_.get(), CURLMOPT_MAX_HOST_CONNECTIONS, connections);
  curl_.curl_multi_setopt(multi_.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, connections);
  long streams = std::max(1, request_.maxStreams);
  curl_.curl_multi_setopt(multi_.get(), CURLMOPT_MAX_CONCURRENT_STREAMS, streams);
  idle_ = std::make_unique<IdleWatch>(loop_, request_.idleTimeout, [this](const std::string& why) {
    fail({RangeFault::kNetwork, 0, why});
  });
  startMore();
}

CurlRangeFetch::~CurlRangeFetch() {
  finish();
}

// The first request goes alone: its answer tells whether the others can
// be streams of its connection. libcurl (7.88) mixing HTTP/1.1 and HTTP/2
// connections to one host may send a request over a busy HTTP/1.1 one, as
// if it multiplexed, and hand its answer to another request: after an
// HTTP/1.1 answer (a server without HTTP/2, or the connection an earlier
// transfer left open) every request asks for HTTP/1.1 only.
//
// Not the transfers' shared connections: the transfers speak HTTP/1.1, and
// libcurl would hand the first range an open HTTP/1.1 connection of theirs
// even where the server offers HTTP/2. The ranges share theirs among range
// fetches, so that one fetch goes on where another left off.
//
// Many ranges a request are shared out over the free connections, so that
// each carries its part of what is left.
void CurlRangeFetch::startMore() {
  static CURLSH* rangeShare = newConnectionShare(curl_);
  while (!ended_ && streams_.size() < limit_ && !pending_.empty()) {
    size_t free = limit_ - streams_.size();
    size_t want = std::min(perRequest_, std::max<size_t>(1, (pending_.size() + free - 1) / free));
    std::vector<size_t> indices;
    std::string asked;
    while (indices.size() < want && !pending_.empty()) {
      const ByteRange& range = request_.ranges[pending_.front()];
      std::string one = std::to_string(range.start) + "-" + std::to_string(range.start + range.length - 1);
      if (!indices.empty() && asked.size() + 1 + one.size() > kMaxRangeHeader) break;
      asked += (indices.empty() ? "" : ",") + one;
      indices.push_back(pending_.front());
      pending_.pop_front();
    }
    // A stream's bytes written by its timer are told of from the loop's next
    // turn: the delegate may cancel the fetch, which frees the stream.
    Stream& stream = streams_.emplace_back(this, loop_, std::move(indices), [this] {
      report_.schedule(0, [this] { reportBytes(); });
    });
    const ByteRange& first = request_.ranges[stream.indices.front()];
    stream.body.place(fd_, first.start, first.start + first.length);
    stream.easy = curl_.curl_easy_init();
    CurlRequestSetup setup;
    setup.url = request_.url;
    setup.proxy = request_.proxy;
    setup.proxyUser = request_.proxyUser;
    setup.proxyPassword = request_.proxyPassword;
    setup.headers = {"Range: bytes=" + asked};
    if (!request_.ifRange.empty()) setup.headers.push_back("If-Range: " + request_.ifRange);
    setup.share = rangeShare;
    setup.http2 = !http1_;
    setup.onHeader = onHeader, setup.onWrite = onWrite, setup.callbackData = &stream;
    setup.errorBuffer = stream.errorBuffer;
    setup.privateData = &stream;
    stream.headers = setUpRequest(curl_, stream.easy, setup);
    ++requests_;
    curl_.curl_multi_add_handle(multi_.get(), stream.easy);
  }
}

size_t CurlRangeFetch::onHeader(char* data, size_t size, size_t count, void* stream) {
  Stream& s = *static_cast<Stream*>(stream);
  return s.fetch->header(s, std::string(data, size * count));
}

size_t CurlRangeFetch::onWrite(char* data, size_t size, size_t count, void* stream) {
  Stream& s = *static_cast<Stream*>(stream);
  return s.fetch->write(s, data, size * count);
}

// The final answer is judged at the blank line that ends its headers, and
// any answer but the range stops the request there, before its body:
// a 200 may be the whole file.
size_t CurlRangeFetch::header(Stream& stream, const std::string& line) {
  idle_->activity();
  if (ended_ || stream.fault || stream.refused) return 0;
  if (!stream.block.endsFinal(curl_, stream.easy, line)) return line.size();
  RangeFetchError error = acceptResponse(stream);
  if (error.description.empty()) return stream.accepted = true, line.size();
  if (!stream.refused) stream.fault = error;
  return 0;
}

// A multipart answer of the ranges asked for, or, to many ranges, a 206 of
// the first alone (the server takes one range a request). Any other answer
// to many ranges has them asked one by one, the only fault that ends the
// fetch being a changed file. False when the answer is left to the checks
// of one range.
bool CurlRangeFetch::acceptParts(Stream& stream, const TransferResponse& head) {
  char* type = nullptr;
  curl_.curl_easy_getinfo(stream.easy, CURLINFO_CONTENT_TYPE, &type);
  std::string boundary = head.status == 206 && type ? byterangesBoundary(type) : "";
  if (!boundary.empty()) {
    std::vector<ByteRange> asked;
    for (size_t index : stream.indices) asked.push_back(request_.ranges[index]);
    MultipartRanges::Sink sink;
    sink.begins = [this, &stream](size_t i) {
      const ByteRange& range = request_.ranges[stream.indices[i]];
      if (!stream.body.flush()) return false;
      stream.body.place(fd_, range.start, range.start + range.length);
      return true;
    };
    sink.data = [&stream](const char* data, size_t length) { return stream.body.append(data, length); };
    sink.ends = [&stream](size_t i) {
      if (stream.body.flush()) stream.written.push_back(stream.indices[i]);
    };
    stream.parts = std::make_unique<MultipartRanges>(boundary, asked, request_.total, std::move(sink));
    return true;
  }
  if (stream.indices.size() == 1) return false;
  const ByteRange& first = request_.ranges[stream.indices.front()];
  if (head.status == 206 && head.rangeStart == first.start &&
      head.rangeEnd == first.start + first.length - 1)
    return stream.firstOnly = true;
  stream.refused = true;
  return false;
}

// An empty description: the answer is this range's, or these ranges'.
RangeFetchError CurlRangeFetch::acceptResponse(Stream& stream) {
  TransferResponse head = readResponseHead(curl_, stream.easy, request_.url);
  if (protocol_.empty()) {
    http1_ = !head.http2;
    protocol_ = http1_ ? "HTTP/1.1" : "HTTP/2";
    limit_ = std::max(1, http1_ ? request_.maxConnections : request_.maxStreams);
  }
  // From the request sent to the answer's first byte; connecting and TLS
  // come before the request is sent.
  curl_off_t sent = 0, answered = 0;
  curl_.curl_easy_getinfo(stream.easy, CURLINFO_PRETRANSFER_TIME_T, &sent);
  curl_.curl_easy_getinfo(stream.easy, CURLINFO_STARTTRANSFER_TIME_T, &answered);
  if (answered > sent) {
    double seconds = (answered - sent) / 1e6;
    roundTrip_ = roundTrip_ > 0 ? std::min(roundTrip_, seconds) : seconds;
  }
  // A changed file (If-Range) ends the fetch however many ranges were asked;
  // a server that ignores If-Range would send a range of another file.
  if ((head.status == 200 || head.status == 206) && !request_.ifRange.empty() && !head.etag.empty() &&
      head.etag != request_.ifRange)
    return {RangeFault::kWholeFile, head.status,
            "The file changed on the server (ETag " + head.etag + ")."};
  if ((stream.indices.size() > 1 || head.status == 206) && acceptParts(stream, head)) return {};
  if (stream.refused) return {RangeFault::kBadRange, head.status, "refused"};  // not a fault: see header()
  if (head.status == 200)
    return {RangeFault::kWholeFile, head.status, "The server sent the whole file instead of a range."};
  if (head.status != 206)
    return {RangeFault::kStatus, head.status,
            "The server answered " + std::to_string(head.status) + "."};
  const ByteRange& range = request_.ranges[stream.indices.front()];
  if (head.rangeStart != range.start || head.rangeEnd != range.start + range.length - 1)
    return {RangeFault::kBadRange, head.status,
            "The server sent another range than bytes " + std::to_string(range.start) + "-" +
                std::to_string(range.start + range.length - 1) + "."};
  return {};
}

size_t CurlRangeFetch::write(Stream& stream, const char* data, size_t length) {
  idle_->activity();
  if (ended_ || stream.fault || stream.refused) return 0;
  if (stream.parts) {
    if (stream.parts->feed(data, length)) return length;
    // A body that is not the parts asked for: what it brought whole stays,
    // the rest is asked one by one.
    if (!stream.parts->why().empty()) return stream.refused = true, 0;
  } else if (stream.accepted && stream.body.append(data, length)) {
    return length;
  }
  if (!stream.accepted || stream.body.overrun())
    stream.fault = {RangeFault::kBadRange, 206, "The server sent more than the range asked for."};
  else
    stream.fault = {RangeFault::kLocalWrite, 0,
                    "Cannot write " + request_.destination + ": " + strerror(stream.body.error())};
  return 0;
}

// Tells of the bytes written since the last call; false when the fetch
// ended meanwhile.
bool CurlRangeFetch::reportBytes() {
  int64_t bytes = 0;
  for (Stream& stream : streams_) bytes += stream.body.takeWritten();
  if (bytes > 0 && !ended_) delegate_.rangeBytes(bytes);
  return !ended_;
}

// Delegate calls are made here, outside libcurl's callbacks, so that the
// delegate may cancel the fetch from any of them.
void CurlRangeFetch::deliverEvents() {
  if (ended_) return;
  for (Stream& stream : streams_) stream.body.flushIfDue();
  if (!reportBytes()) return;
  for (Stream& stream : streams_)
    if (!tellWritten(stream)) return;
  int left = 0;
  while (!ended_) {
    CURLMsg* message = curl_.curl_multi_info_read(multi_.get(), &left);
    if (!message) break;
    Stream* stream = nullptr;
    curl_.curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &stream);
    if (message->msg == CURLMSG_DONE && stream) deliverEnd(*stream, message->data.result);
  }
  // A refused answer stops every request at once, not when libcurl next
  // gets round to the stream that had it.
  for (const Stream& stream : streams_)
    if (!ended_ && stream.fault) return fail(*stream.fault);
  startMore();
  if (!ended_ && streams_.empty() && pending_.empty()) {
    finish();
    delegate_.rangesFinished();
  }
}

// Tells of the parts written whole since the last call; false when the
// fetch ended meanwhile.
bool CurlRangeFetch::tellWritten(Stream& stream) {
  std::vector<size_t> written = std::exchange(stream.written, {});
  for (size_t index : written) {
    if (ended_) return false;
    delegate_.rangeWritten(index);
  }
  return !ended_;
}

void CurlRangeFetch::deliverEnd(Stream& stream, CURLcode result) {
  if (stream.fault) return fail(*stream.fault);
  if (!reportBytes() || !tellWritten(stream)) return;
  if (stream.refused)
    return fail({RangeFault::kManyRanges, 0, "The server does not send many ranges at once."});
  if (stream.parts && stream.body.error())
    return fail({RangeFault::kLocalWrite, 0,
                 "Cannot write " + request_.destination + ": " + strerror(stream.body.error())});
  if (result != CURLE_OK) {
    TransferError error = failureOf(curl_, stream.easy, result, stream.errorBuffer, request_.url, request_.proxy);
    return fail({error.fault == TransferFault::kRefused ? RangeFault::kRefused : RangeFault::kNetwork,
                 0, error.description});
  }
  if (!stream.body.flush())
    return fail({RangeFault::kLocalWrite, 0,
                 "Cannot write " + request_.destination + ": " + strerror(stream.body.error())});
  // A body closed before the range's end, or before the last part, with no
  // length announced.
  bool whole = stream.parts ? stream.parts->complete()
                            : stream.accepted && int64_t(stream.body.received()) ==
                                                     request_.ranges[stream.indices.front()].length;
  if (!whole) return fail({RangeFault::kNetwork, 0, "The connection closed amid a range."});
  if (!reportBytes() || !tellWritten(stream)) return;
  if (stream.parts) return remove(stream);
  size_t index = stream.indices.front();
  bool firstOnly = stream.firstOnly;
  remove(stream);
  delegate_.rangeWritten(index);
  if (firstOnly && !ended_)
    fail({RangeFault::kManyRanges, 206, "The server sends one range a request."});
}

void CurlRangeFetch::fail(const RangeFetchError& error) {
  RangeFetchError copy = error;  // it may live in a stream that finish() frees
  finish();
  delegate_.rangesFailed(copy);
}

void CurlRangeFetch::remove(Stream& stream) {
  curl_.curl_multi_remove_handle(multi_.get(), stream.easy);
  curl_.curl_easy_cleanup(stream.easy);
  curl_.curl_slist_free_all(stream.headers);
  streams_.remove_if([&stream](const Stream& s) { return &s == &stream; });
}

void CurlRangeFetch::finish() {
  if (ended_) return;
  ended_ = true;
  multi_.stop();
  if (idle_) idle_->stop();
  end_.cancel();
  report_.cancel();
  while (!streams_.empty()) remove(streams_.front());
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

// Stands in for a fetch without libcurl: fails from the loop, as a fetch
// that cannot connect would, leaving the file alone.
class UnavailableRangeFetch : public RangeFetch {
 public:
  UnavailableRangeFetch(Loop& loop, RangeFetchDelegate& delegate) : fail_(loop) {
    fail_.schedule(0, [&delegate] {
      delegate.rangesFailed({RangeFault::kNetwork, 0, kCurlUnavailable});
    });
  }
  void cancel() override { fail_.cancel(); }
  std::string protocol() const override { return ""; }

 private:
  LoopCall fail_;
};

}  // namespace

std::unique_ptr<RangeFetch> startRangeFetch(Loop& loop, const RangeFetchRequest& request,
                                            RangeFetchDelegate& delegate) {
  if (const CurlLibrary* curl = curlLibrary())
    return std::make_unique<CurlRangeFetch>(*curl, loop, request, delegate);
  return std::make_unique<UnavailableRangeFetch>(loop, delegate);
}
