// Many ranges of one file on the engine (curl_engine.h), one multi handle
// driven by the loop's fd watches and timers: streams of one HTTP/2
// connection where the server offers it, else a few reused HTTP/1.1
// connections.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <list>
#include <map>
#include <optional>

#include "platform/curl_engine.h"
#include "platform/loop.h"
#include "platform/range_fetch.h"

namespace {

class CurlRangeFetch;

// Ranges are many and mostly small: less is held per request than for a
// transfer, so that 64 at once hold at most 4 MiB.
const size_t kHoldBytes = 64 * 1024;

// One request: range |index| of the fetch.
struct Stream {
  Stream(CurlRangeFetch* fetch, Loop& loop, size_t index, std::function<void()> flushed)
      : index(index), fetch(fetch), body(loop, kHoldBytes, std::move(flushed)) {}
  size_t index;
  CurlRangeFetch* fetch;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  HeaderBlock block;
  bool accepted = false;     // a 206 for exactly this range
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

  static size_t onHeader(char* data, size_t size, size_t count, void* stream);
  static size_t onWrite(char* data, size_t size, size_t count, void* stream);

 private:
  void startMore();
  size_t header(Stream& stream, const std::string& line);
  size_t write(Stream& stream, const char* data, size_t length);
  RangeFetchError acceptResponse(Stream& stream);
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
  size_t next_ = 0;   // the first range not yet asked for
  size_t limit_ = 1;  // requests at once; one until the protocol is known
  bool http1_ = false;  // the first answer came over HTTP/1.1
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
void CurlRangeFetch::startMore() {
  static CURLSH* rangeShare = newConnectionShare(curl_);
  while (!ended_ && streams_.size() < limit_ && next_ < request_.ranges.size()) {
    // A stream's bytes written by its timer are told of from the loop's next
    // turn: the delegate may cancel the fetch, which frees the stream.
    Stream& stream = streams_.emplace_back(this, loop_, next_++, [this] {
      report_.schedule(0, [this] { reportBytes(); });
    });
    const ByteRange& range = request_.ranges[stream.index];
    stream.body.place(fd_, range.start, range.start + range.length);
    stream.easy = curl_.curl_easy_init();
    CurlRequestSetup setup;
    setup.url = request_.url;
    setup.proxy = request_.proxy;
    setup.proxyUser = request_.proxyUser;
    setup.proxyPassword = request_.proxyPassword;
    setup.headers = {"Range: bytes=" + std::to_string(range.start) + "-" +
                     std::to_string(range.start + range.length - 1)};
    if (!request_.ifRange.empty()) setup.headers.push_back("If-Range: " + request_.ifRange);
    setup.share = rangeShare;
    setup.http2 = !http1_;
    setup.onHeader = onHeader, setup.onWrite = onWrite, setup.callbackData = &stream;
    setup.errorBuffer = stream.errorBuffer;
    setup.privateData = &stream;
    stream.headers = setUpRequest(curl_, stream.easy, setup);
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
  if (ended_ || stream.fault) return 0;
  if (!stream.block.endsFinal(curl_, stream.easy, line)) return line.size();
  RangeFetchError error = acceptResponse(stream);
  if (error.description.empty()) return stream.accepted = true, line.size();
  stream.fault = error;
  return 0;
}

// An empty description: the answer is this range's.
RangeFetchError CurlRangeFetch::acceptResponse(Stream& stream) {
  TransferResponse head = readResponseHead(curl_, stream.easy, request_.url);
  if (protocol_.empty()) {
    http1_ = !head.http2;
    protocol_ = http1_ ? "HTTP/1.1" : "HTTP/2";
    limit_ = std::max(1, http1_ ? request_.maxConnections : request_.maxStreams);
  }
  if (head.status == 200)
    return {RangeFault::kWholeFile, head.status, "The server sent the whole file instead of a range."};
  if (head.status != 206)
    return {RangeFault::kStatus, head.status,
            "The server answered " + std::to_string(head.status) + "."};
  // A server that ignores If-Range would send a range of another file.
  if (!request_.ifRange.empty() && !head.etag.empty() && head.etag != request_.ifRange)
    return {RangeFault::kWholeFile, head.status,
            "The file changed on the server (ETag " + head.etag + ")."};
  const ByteRange& range = request_.ranges[stream.index];
  if (head.rangeStart != range.start || head.rangeEnd != range.start + range.length - 1)
    return {RangeFault::kBadRange, head.status,
            "The server sent another range than bytes " + std::to_string(range.start) + "-" +
                std::to_string(range.start + range.length - 1) + "."};
  return {};
}

size_t CurlRangeFetch::write(Stream& stream, const char* data, size_t length) {
  idle_->activity();
  if (ended_ || stream.fault) return 0;
  if (stream.accepted && stream.body.append(data, length)) return length;
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
  if (!ended_ && streams_.empty() && next_ == request_.ranges.size()) {
    finish();
    delegate_.rangesFinished();
  }
}

void CurlRangeFetch::deliverEnd(Stream& stream, CURLcode result) {
  if (stream.fault) return fail(*stream.fault);
  if (result != CURLE_OK) {
    TransferError error = failureOf(curl_, stream.easy, result, stream.errorBuffer, request_.url, request_.proxy);
    return fail({error.fault == TransferFault::kRefused ? RangeFault::kRefused : RangeFault::kNetwork,
                 0, error.description});
  }
  if (!stream.body.flush())
    return fail({RangeFault::kLocalWrite, 0,
                 "Cannot write " + request_.destination + ": " + strerror(stream.body.error())});
  // A body closed before the range's end, with no length announced.
  if (!stream.accepted ||
      int64_t(stream.body.received()) != request_.ranges[stream.index].length)
    return fail({RangeFault::kNetwork, 0, "The connection closed amid a range."});
  if (!reportBytes()) return;
  size_t index = stream.index;
  remove(stream);
  delegate_.rangeWritten(index);
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
