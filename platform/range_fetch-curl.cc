// Many ranges of one file on one libcurl multi handle, driven by the loop's
// fd watches and timers: streams of one HTTP/2 connection where the server
// offers it, else a few reused HTTP/1.1 connections.
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

#include "platform/clock.h"
#include "platform/curl_library.h"
#include "platform/loop.h"
#include "platform/range_fetch.h"

namespace {

CURLSH* rangeShare(const CurlLibrary& curl) {
  static CURLSH* share = newConnectionShare(curl);
  return share;
}

class CurlRangeFetch;

// One request: range |index| of the fetch.
struct Stream {
  size_t index = 0;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  int64_t written = 0;
  bool sawLocation = false;  // in the header block being read
  bool accepted = false;     // a 206 for exactly this range
  std::optional<RangeFetchError> fault;
  char errorBuffer[CURL_ERROR_SIZE] = {0};
  CurlRangeFetch* fetch = nullptr;
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
  void configure(Stream& stream);
  void configureCertificates(CURL* easy);
  size_t header(Stream& stream, const std::string& line);
  size_t write(Stream& stream, const char* data, size_t length);
  RangeFetchError acceptResponse(Stream& stream, long status);
  void deliverEvents();
  void deliverEnd(Stream& stream, CURLcode result);
  void fail(const RangeFetchError& error);
  void failLater(RangeFault fault, const std::string& description);
  void armIdleTimer(double seconds);
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
  int64_t pendingBytes_ = 0;
  double lastActivity_ = monotonicSeconds();
  Loop::Handle idleTimer_ = 0;
  Loop::Handle endTimer_ = 0;  // a fetch that ends before it asks anything
};

bool validRange(const ByteRange& range) {
  return range.start >= 0 && range.length > 0 && range.start <= INT64_MAX - range.length;
}

CurlRangeFetch::CurlRangeFetch(const CurlLibrary& curl, Loop& loop,
                               const RangeFetchRequest& request, RangeFetchDelegate& delegate)
    : curl_(curl), loop_(loop), request_(request), delegate_(delegate) {
  for (const ByteRange& range : request_.ranges)
    if (!validRange(range)) {
      failLater(RangeFault::kBadRange, "Invalid range: " + std::to_string(range.length) +
                                           " bytes at " + std::to_string(range.start) + ".");
      return;
    }
  // An existing regular file, never created, cut, or written through a link.
  fd_ = open(request_.destination.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    int error = fd_ < 0 ? errno : EINVAL;
    failLater(RangeFault::kLocalWrite,
              "Cannot write " + request_.destination + ": " + strerror(error));
    return;
  }
  if (request_.ranges.empty()) {
    endTimer_ = loop_.addTimer(0, [this] {
      endTimer_ = 0;
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
  armIdleTimer(request_.idleTimeout);
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
void CurlRangeFetch::startMore() {
  while (!ended_ && streams_.size() < limit_ && next_ < request_.ranges.size()) {
    Stream& stream = streams_.emplace_back();
    stream.index = next_++;
    stream.fetch = this;
    stream.easy = curl_.curl_easy_init();
    configure(stream);
    curl_.curl_multi_add_handle(multi_.get(), stream.easy);
  }
}

void CurlRangeFetch::configure(Stream& stream) {
  CURL* easy = stream.easy;
  const ByteRange& range = request_.ranges[stream.index];
  // Not the transfers' shared connections: the transfers speak HTTP/1.1, and
  // libcurl would hand the first range an open HTTP/1.1 connection of
  // theirs even where the server offers HTTP/2. The ranges share theirs
  // among range fetches, so that one fetch goes on where another left off.
  if (CURLSH* share = rangeShare(curl_)) curl_.curl_easy_setopt(easy, CURLOPT_SHARE, share);
  curl_.curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, openSocket);
  curl_.curl_easy_setopt(easy, CURLOPT_PRIVATE, &stream);
  curl_.curl_easy_setopt(easy, CURLOPT_URL, request_.url.c_str());
  curl_.curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  bool secure = strncasecmp(request_.url.c_str(), "https:", 6) == 0;
  curl_.curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  curl_.curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_.curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
  curl_.curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_.curl_easy_setopt(easy, CURLOPT_HTTP_VERSION,
                         long(http1_ ? CURL_HTTP_VERSION_1_1 : CURL_HTTP_VERSION_2TLS));
  curl_.curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
  // As the transfer's: no Accept-Encoding, which would weaken the ETag.
  std::string last = std::to_string(range.start + range.length - 1);
  stream.headers = curl_.curl_slist_append(
      nullptr, ("Range: bytes=" + std::to_string(range.start) + "-" + last).c_str());
  if (!request_.ifRange.empty())
    stream.headers =
        curl_.curl_slist_append(stream.headers, ("If-Range: " + request_.ifRange).c_str());
  curl_.curl_easy_setopt(easy, CURLOPT_HTTPHEADER, stream.headers);
  curl_.curl_easy_setopt(easy, CURLOPT_USERAGENT, "setup/1.0");
  curl_.curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, stream.errorBuffer);
  curl_.curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
  curl_.curl_easy_setopt(easy, CURLOPT_HEADERDATA, &stream);
  curl_.curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onWrite);
  curl_.curl_easy_setopt(easy, CURLOPT_WRITEDATA, &stream);
  configureCertificates(easy);
  // See TransferRequest::proxy.
  if (request_.proxy == "direct://") curl_.curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
  else if (!request_.proxy.empty())
    curl_.curl_easy_setopt(easy, CURLOPT_PROXY, request_.proxy.c_str());
}

// Always verified; the usual variables may name other trust anchors.
void CurlRangeFetch::configureCertificates(CURL* easy) {
  curl_.curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_.curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  const char* bundle = getenv("CURL_CA_BUNDLE");
  if (!bundle || !*bundle) bundle = getenv("SSL_CERT_FILE");
  if (bundle && *bundle) curl_.curl_easy_setopt(easy, CURLOPT_CAINFO, bundle);
  const char* dir = getenv("SSL_CERT_DIR");
  if (dir && *dir) curl_.curl_easy_setopt(easy, CURLOPT_CAPATH, dir);
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
  lastActivity_ = monotonicSeconds();
  if (ended_ || stream.fault) return 0;
  if (strncasecmp(line.c_str(), "HTTP/", 5) == 0) stream.sawLocation = false;
  if (strncasecmp(line.c_str(), "Location:", 9) == 0) stream.sawLocation = true;
  if (line != "\r\n" && line != "\n") return line.size();
  long status = 0;
  curl_.curl_easy_getinfo(stream.easy, CURLINFO_RESPONSE_CODE, &status);
  if (status < 200 || (status / 100 == 3 && stream.sawLocation)) return line.size();
  if (protocol_.empty()) {
    long version = 0;
    curl_.curl_easy_getinfo(stream.easy, CURLINFO_HTTP_VERSION, &version);
    http1_ = version < CURL_HTTP_VERSION_2_0;
    protocol_ = http1_ ? "HTTP/1.1" : "HTTP/2";
    limit_ = std::max(1, http1_ ? request_.maxConnections : request_.maxStreams);
  }
  RangeFetchError error = acceptResponse(stream, status);
  if (error.description.empty()) return stream.accepted = true, line.size();
  stream.fault = error;
  return 0;
}

std::string trimmed(const char* value) {
  std::string text = value;
  size_t first = text.find_first_not_of(" \t\r\n"), last = text.find_last_not_of(" \t\r\n");
  return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// A whole non-negative decimal number that fits in 63 bits, else -1.
int64_t parseNumber(const std::string& text) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  errno = 0;
  long long value = strtoll(text.c_str(), nullptr, 10);
  return errno == 0 ? value : -1;
}

// An empty description: the answer is this range's.
RangeFetchError CurlRangeFetch::acceptResponse(Stream& stream, long status) {
  auto value = [&](const char* name) {
    curl_header* header = nullptr;
    if (curl_.curl_easy_header(stream.easy, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK)
      return std::string();
    return trimmed(header->value);
  };
  if (status == 200)
    return {RangeFault::kWholeFile, status, "The server sent the whole file instead of a range."};
  if (status != 206)
    return {RangeFault::kStatus, status, "The server answered " + std::to_string(status) + "."};
  // A server that ignores If-Range would send a range of another file.
  std::string etag = value("ETag");
  if (!request_.ifRange.empty() && !etag.empty() && etag != request_.ifRange)
    return {RangeFault::kWholeFile, status, "The file changed on the server (ETag " + etag + ")."};
  const ByteRange& range = request_.ranges[stream.index];
  std::string asked = "bytes " + std::to_string(range.start) + "-" +
                      std::to_string(range.start + range.length - 1);
  std::string got = value("Content-Range");
  int64_t total = got.compare(0, asked.size() + 1, asked + "/") == 0
                      ? parseNumber(got.substr(asked.size() + 1)) : -1;
  if (got != asked + "/*" && total < range.start + range.length)
    return {RangeFault::kBadRange, status, "The server sent \"" + got + "\" for " + asked + "."};
  return {};
}

size_t CurlRangeFetch::write(Stream& stream, const char* data, size_t length) {
  lastActivity_ = monotonicSeconds();
  if (ended_ || stream.fault) return 0;
  const ByteRange& range = request_.ranges[stream.index];
  if (!stream.accepted || int64_t(length) > range.length - stream.written) {
    stream.fault = {RangeFault::kBadRange, 206, "The server sent more than the range asked for."};
    return 0;
  }
  for (size_t done = 0; done < length;) {
    ssize_t n = pwrite(fd_, data + done, length - done, range.start + stream.written + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::string why = request_.destination + ": " + strerror(n < 0 ? errno : ENOSPC);
      stream.fault = {RangeFault::kLocalWrite, 0, "Cannot write " + why};
      return 0;
    }
    done += n;
  }
  stream.written += length;
  pendingBytes_ += length;
  return length;
}

// Delegate calls are made here, outside libcurl's callbacks, so that the
// delegate may cancel the fetch from any of them.
void CurlRangeFetch::deliverEvents() {
  if (ended_) return;
  if (pendingBytes_ > 0) {
    int64_t bytes = pendingBytes_;
    pendingBytes_ = 0;
    delegate_.rangeBytes(bytes);
  }
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

RangeFault faultOf(CURLcode result) {
  switch (result) {
    case CURLE_PEER_FAILED_VERIFICATION: case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM: case CURLE_SSL_ISSUER_ERROR: case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_UNSUPPORTED_PROTOCOL: case CURLE_URL_MALFORMAT: case CURLE_TOO_MANY_REDIRECTS:
      return RangeFault::kRefused;
    default:
      return RangeFault::kNetwork;
  }
}

void CurlRangeFetch::deliverEnd(Stream& stream, CURLcode result) {
  if (stream.fault) return fail(*stream.fault);
  const ByteRange& range = request_.ranges[stream.index];
  if (result != CURLE_OK) {
    return fail({faultOf(result), 0,
                 *stream.errorBuffer ? stream.errorBuffer : curl_.curl_easy_strerror(result)});
  }
  // A body closed before the range's end, with no length announced.
  if (!stream.accepted || stream.written != range.length)
    return fail({RangeFault::kNetwork, 0, "The connection closed amid a range."});
  size_t index = stream.index;
  remove(stream);
  delegate_.rangeWritten(index);
}

void CurlRangeFetch::fail(const RangeFetchError& error) {
  RangeFetchError copy = error;  // it may live in a stream that finish() frees
  finish();
  delegate_.rangesFailed(copy);
}

// Fails from the loop, as a fetch that ran would, leaving the file alone.
void CurlRangeFetch::failLater(RangeFault fault, const std::string& description) {
  endTimer_ = loop_.addTimer(0, [this, fault, description] {
    endTimer_ = 0;
    fail({fault, 0, description});
  });
}

// Exact idle timeout without touching a timer per chunk: when it fires, it
// is re-armed for whatever is left since the last byte on any range.
void CurlRangeFetch::armIdleTimer(double seconds) {
  idleTimer_ = loop_.addTimer(seconds, [this] {
    idleTimer_ = 0;
    double idle = monotonicSeconds() - lastActivity_;
    if (idle < request_.idleTimeout) return armIdleTimer(request_.idleTimeout - idle);
    fail({RangeFault::kNetwork, 0, "The request timed out."});
  });
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
  for (Loop::Handle timer : {idleTimer_, endTimer_})
    if (timer) loop_.cancelTimer(timer);
  idleTimer_ = endTimer_ = 0;
  while (!streams_.empty()) remove(streams_.front());
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

// Stands in for a fetch without libcurl: fails from the loop, as a fetch
// that cannot connect would, leaving the file alone.
class UnavailableRangeFetch : public RangeFetch {
 public:
  UnavailableRangeFetch(Loop& loop, RangeFetchDelegate& delegate) : loop_(loop) {
    timer_ = loop.addTimer(0, [this, &delegate] {
      timer_ = 0;
      delegate.rangesFailed({RangeFault::kNetwork, 0, "libcurl (libcurl.so.4) cannot be loaded."});
    });
  }
  ~UnavailableRangeFetch() override { cancel(); }
  void cancel() override {
    if (timer_) loop_.cancelTimer(timer_);
    timer_ = 0;
  }
  std::string protocol() const override { return ""; }

 private:
  Loop& loop_;
  Loop::Handle timer_ = 0;
};

}  // namespace

std::unique_ptr<RangeFetch> startRangeFetch(Loop& loop, const RangeFetchRequest& request,
                                            RangeFetchDelegate& delegate) {
  if (const CurlLibrary* curl = curlLibrary())
    return std::make_unique<CurlRangeFetch>(*curl, loop, request, delegate);
  return std::make_unique<UnavailableRangeFetch>(loop, delegate);
}
