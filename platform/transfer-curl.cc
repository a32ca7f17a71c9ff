// The transfer on libcurl's multi interface, driven by the loop's fd watches
// and timers, so that it runs on whichever loop the display brought.
#include <fcntl.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "platform/curl_library.h"
#include "platform/clock.h"
#include "platform/loop.h"
#include "platform/transfer.h"

namespace {

bool startsWithNoCase(const std::string& text, const char* prefix) {
  return strncasecmp(text.c_str(), prefix, strlen(prefix)) == 0;
}

}  // namespace

// Connections, TLS sessions and resolved names kept for the whole process,
// so that the next attempt or file goes to the server over the connection
// the last one left open. Made once and never freed: libcurl refuses to
// free a share that an easy handle still uses, and the connections in it
// close with the process. Every transfer runs on the loop's thread, so no
// locks are needed.
CURLSH* newConnectionShare(const CurlLibrary& curl) {
  CURLSH* made = curl.curl_share_init();
  for (curl_lock_data data : {CURL_LOCK_DATA_CONNECT, CURL_LOCK_DATA_SSL_SESSION, CURL_LOCK_DATA_DNS})
    if (made) curl.curl_share_setopt(made, CURLSHOPT_SHARE, data);
  return made;
}

CURLSH* connectionShare(const CurlLibrary& curl) {
  static CURLSH* share = newConnectionShare(curl);
  return share;
}

// Connections outlive their transfer in the share: the programs started
// afterwards (unzip, the agent) must not inherit them.
curl_socket_t openSocket(void*, curlsocktype, curl_sockaddr* address) {
  return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

namespace {

const size_t kHoldBytes = 256 * 1024;
const double kHoldSeconds = 0.05;

// The Range header's value for |request|, empty when it asks for the whole.
std::string rangeOf(const TransferRequest& request) {
  if (request.suffixLength > 0) return "bytes=-" + std::to_string(request.suffixLength);
  if (request.rangeEnd > 0)
    return "bytes=" + std::to_string(request.rangeStart) + "-" + std::to_string(request.rangeEnd - 1);
  if (request.rangeStart > 0) return "bytes=" + std::to_string(request.rangeStart) + "-";
  return "";
}

class CurlTransfer : public Transfer {
 public:
  CurlTransfer(const CurlLibrary& curl, Loop& loop, const TransferRequest& request,
               TransferDelegate& delegate);
  ~CurlTransfer() override;
  void cancel() override;
  void writeBodyAt(int64_t offset) override;

  // Trampolines from libcurl's C callbacks.
  static size_t onHeader(char* data, size_t size, size_t count, void* self);
  static size_t onWrite(char* data, size_t size, size_t count, void* self);

 private:
  void configure();
  void configureHeaders();
  void cutFileTo(int64_t length);
  void configureCertificates();
  size_t header(const std::string& line);
  size_t write(const char* data, size_t length);
  void deliverEvents();
  void deliverResponse();
  bool deliverPendingData(bool all = false);
  bool flushHeld();
  void deliverEnd(CURLcode result);
  TransferError failureOf(CURLcode result);
  std::string effectiveUrl();
  std::string headerValue(const char* name);
  void armIdleTimer(double seconds);
  void onIdleTimer();
  void armSpeedTimer();
  void failIdle(const std::string& description);
  // Ends the transfer; returns true when the file was kept.
  bool finish(bool keepFile);

  const CurlLibrary& curl_;
  Loop& loop_;
  TransferRequest request_;
  TransferDelegate& delegate_;
  CurlMultiOnLoop multi_{curl_, loop_, [this] { deliverEvents(); }};
  CURL* easy_ = curl_.curl_easy_init();
  curl_slist* headers_ = nullptr;
  char errorBuffer_[CURL_ERROR_SIZE] = {0};
  int fd_ = -1;
  bool ended_ = false;       // finished, failed or cancelled: nothing more
  bool finalHeaders_ = false;
  bool sawLocation_ = false;  // in the header block being read
  bool responseDelivered_ = false;
  uint64_t pendingBytes_ = 0;
  bool paused_ = false;      // holding the body back until the response is out
  int writeErrno_ = 0;       // set when the destination could not be written
  bool placed_ = false;      // writeBodyAt was called
  long status_ = 0;          // the final response's
  int64_t bodyOffset_ = 0;
  int64_t bodyLimit_ = -1;   // the body may not be written past this byte
  bool overrun_ = false;     // and went past it
  double lastActivity_ = monotonicSeconds();
  Loop::Handle idleTimer_ = 0;
  Loop::Handle speedTimer_ = 0;
  uint64_t received_ = 0;       // body bytes received so far
  // Body bytes received but not yet written: writing 16 KiB at a time (one
  // TLS record) costs a large download a tenth of a core more than writing
  // in pieces of 256 KiB, and leaves its file in smaller pages.
  std::string held_;
  double lastFlush_ = 0;
  Loop::Handle flushTimer_ = 0;
  uint64_t windowStartBytes_ = 0;  // and when the speed window began
};

CurlTransfer::CurlTransfer(const CurlLibrary& curl, Loop& loop, const TransferRequest& request,
                           TransferDelegate& delegate)
    : curl_(curl), loop_(loop), request_(request), delegate_(delegate) {
  // Never blocks (a FIFO planted in its place) and never writes through a
  // link into another file.
  fd_ = open(request_.destination.c_str(),
             O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  struct stat st;
  if (fd_ >= 0 && (fstat(fd_, &st) != 0 || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ||
                   (S_ISREG(st.st_mode) && st.st_nlink != 1))) {
    close(fd_);
    fd_ = -1;
    writeErrno_ = EINVAL;
  }
  configure();
  armIdleTimer(request_.idleTimeout);
  curl_.curl_multi_add_handle(multi_.get(), easy_);
}

CurlTransfer::~CurlTransfer() {
  cancel();
  curl_.curl_easy_cleanup(easy_);
  curl_.curl_slist_free_all(headers_);
}

void CurlTransfer::configure() {
  if (CURLSH* share = connectionShare(curl_)) curl_.curl_easy_setopt(easy_, CURLOPT_SHARE, share);
  curl_.curl_easy_setopt(easy_, CURLOPT_OPENSOCKETFUNCTION, openSocket);
  curl_.curl_easy_setopt(easy_, CURLOPT_URL, request_.url.c_str());
  curl_.curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
  bool secure = startsWithNoCase(request_.url, "https:");
  curl_.curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  curl_.curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
  curl_.curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, 10L);
  curl_.curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
  curl_.curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, (long)CURL_HTTP_VERSION_1_1);
  configureHeaders();
  curl_.curl_easy_setopt(easy_, CURLOPT_USERAGENT, "setup/1.0");
  curl_.curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, 256L * 1024);
  curl_.curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorBuffer_);
  curl_.curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, onHeader);
  curl_.curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
  curl_.curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, onWrite);
  curl_.curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
  configureCertificates();
  // See TransferRequest::proxy.
  if (request_.proxy == "direct://") curl_.curl_easy_setopt(easy_, CURLOPT_NOPROXY, "*");
  else if (!request_.proxy.empty()) curl_.curl_easy_setopt(easy_, CURLOPT_PROXY, request_.proxy.c_str());
}

// No Accept-Encoding: compression on the fly weakens ETags and disables
// ranges. The Range header is the request's own rather than libcurl's
// resume option, which fails a 200: the caller decides what an answer
// without the range means.
void CurlTransfer::configureHeaders() {
  std::vector<std::string> lines;
  if (!request_.ifNoneMatch.empty()) lines.push_back("If-None-Match: " + request_.ifNoneMatch);
  if (!request_.ifModifiedSince.empty())
    lines.push_back("If-Modified-Since: " + request_.ifModifiedSince);
  std::string range = rangeOf(request_);
  if (!range.empty()) {
    lines.push_back("Range: " + range);
    if (!request_.ifRange.empty()) lines.push_back("If-Range: " + request_.ifRange);
  }
  for (const std::string& line : lines) headers_ = curl_.curl_slist_append(headers_, line.c_str());
  curl_.curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
}

// Certificates are always verified; like the curl tool, the usual variables
// may name other trust anchors.
void CurlTransfer::configureCertificates() {
  curl_.curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_.curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, 2L);
  const char* bundle = getenv("CURL_CA_BUNDLE");
  if (!bundle || !*bundle) bundle = getenv("SSL_CERT_FILE");
  if (bundle && *bundle) curl_.curl_easy_setopt(easy_, CURLOPT_CAINFO, bundle);
  const char* dir = getenv("SSL_CERT_DIR");
  if (dir && *dir) curl_.curl_easy_setopt(easy_, CURLOPT_CAPATH, dir);
}

size_t CurlTransfer::onHeader(char* data, size_t size, size_t count, void* self) {
  return static_cast<CurlTransfer*>(self)->header(std::string(data, size * count));
}

size_t CurlTransfer::onWrite(char* data, size_t size, size_t count, void* self) {
  return static_cast<CurlTransfer*>(self)->write(data, size * count);
}

// The blank line ends a header block; it is the final response's unless
// curl is about to follow a redirect or it was an interim 1xx.
size_t CurlTransfer::header(const std::string& line) {
  lastActivity_ = monotonicSeconds();
  if (ended_) return 0;
  if (startsWithNoCase(line, "HTTP/")) sawLocation_ = false;
  if (startsWithNoCase(line, "Location:")) sawLocation_ = true;
  if (line != "\r\n" && line != "\n") return line.size();
  long code = 0;
  curl_.curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &code);
  if (code >= 200 && !(code / 100 == 3 && sawLocation_)) finalHeaders_ = true;
  return line.size();
}

// The body waits (libcurl keeps it) until the delegate has seen the
// response and said where it goes; then it is held in memory, up to
// kHoldBytes, and written when that is full or the last write is
// kHoldSeconds old.
size_t CurlTransfer::write(const char* data, size_t length) {
  lastActivity_ = monotonicSeconds();
  if (ended_) return 0;
  finalHeaders_ = true;
  if (!responseDelivered_) {
    paused_ = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  if (bodyLimit_ >= 0 && bodyOffset_ + int64_t(received_ + length) > bodyLimit_) {
    overrun_ = true;  // would overwrite the bytes after the range
    return 0;
  }
  if (writeErrno_) return 0;
  if (held_.size() + length > kHoldBytes && !flushHeld()) return 0;
  held_.append(data, length);
  received_ += length;
  return length;
}

// Writes the held bytes; they count as delivered data from now on.
bool CurlTransfer::flushHeld() {
  lastFlush_ = monotonicSeconds();
  for (size_t done = 0; done < held_.size();) {
    ssize_t n = ::write(fd_, held_.data() + done, held_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      writeErrno_ = n < 0 ? errno : ENOSPC;
      held_.clear();
      return false;
    }
    done += n;
  }
  pendingBytes_ += held_.size();
  held_.clear();
  return true;
}

// Delegate calls are made here, outside libcurl's callbacks, so that the
// delegate may cancel the transfer from any of them.
void CurlTransfer::deliverEvents() {
  if (!ended_ && finalHeaders_ && !responseDelivered_) deliverResponse();
  if (!deliverPendingData()) return;
  int left = 0;
  while (!ended_) {
    CURLMsg* message = curl_.curl_multi_info_read(multi_.get(), &left);
    if (!message) break;
    if (message->msg == CURLMSG_DONE) deliverEnd(message->data.result);
  }
}

std::string CurlTransfer::headerValue(const char* name) {
  curl_header* header = nullptr;
  if (curl_.curl_easy_header(easy_, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK) return "";
  std::string value = header->value;
  size_t first = value.find_first_not_of(" \t\r\n");
  size_t last = value.find_last_not_of(" \t\r\n");
  return first == std::string::npos ? "" : value.substr(first, last - first + 1);
}

std::string CurlTransfer::effectiveUrl() {
  char* url = nullptr;
  curl_.curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &url);
  return url ? url : request_.url;
}

// A whole non-negative decimal number that fits in 63 bits, else -1.
int64_t parseLength(const std::string& text) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  errno = 0;
  long long value = strtoll(text.c_str(), nullptr, 10);
  return errno == 0 ? value : -1;
}

// "bytes N-M/T" exactly, with N <= M < T.
bool parseContentRange(const std::string& text, int64_t* first, int64_t* total) {
  static const char kUnit[] = "bytes ";
  if (text.compare(0, strlen(kUnit), kUnit) != 0) return false;
  size_t dash = text.find('-'), slash = text.find('/');
  if (dash == std::string::npos || slash == std::string::npos || dash > slash) return false;
  int64_t start = parseLength(text.substr(strlen(kUnit), dash - strlen(kUnit)));
  int64_t last = parseLength(text.substr(dash + 1, slash - dash - 1));
  int64_t length = parseLength(text.substr(slash + 1));
  if (start < 0 || last < start || length <= last) return false;
  *first = start;
  *total = length;
  return true;
}

void CurlTransfer::deliverResponse() {
  TransferResponse response;
  curl_.curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &response.status);
  status_ = response.status;
  response.etag = headerValue("ETag");
  std::string length = headerValue("Content-Length");
  response.expectedLength = parseLength(length);
  response.badLength = !length.empty() && response.expectedLength < 0;
  parseContentRange(headerValue("Content-Range"), &response.rangeStart, &response.rangeTotal);
  response.retryAfter = headerValue("Retry-After");
  response.lastModified = headerValue("Last-Modified");
  response.url = effectiveUrl();
  responseDelivered_ = true;
  delegate_.transferDidReceiveResponse(response);
  if (ended_) return;
  if (request_.minBytesPerIdle > 0) armSpeedTimer();
  if (!placed_) cutFileTo(0);
  if (paused_) {
    paused_ = false;
    curl_.curl_easy_pause(easy_, CURLPAUSE_CONT);
  }
}

// Delivers what is in the file; with |all|, everything received first.
// Bytes held back are written by a timer when no more come. Returns false
// when the transfer ended meanwhile.
bool CurlTransfer::deliverPendingData(bool all) {
  if (ended_) return false;
  if (!held_.empty()) {
    if (all || held_.size() >= kHoldBytes || monotonicSeconds() - lastFlush_ >= kHoldSeconds) {
      flushHeld();
    } else if (!flushTimer_) {
      flushTimer_ = loop_.addTimer(kHoldSeconds, [this] {
        flushTimer_ = 0;
        deliverPendingData(true);
      });
    }
  }
  if (!responseDelivered_ || pendingBytes_ == 0) return true;
  uint64_t bytes = pendingBytes_;
  pendingBytes_ = 0;
  delegate_.transferDidReceiveData(bytes);
  return !ended_;
}

void CurlTransfer::deliverEnd(CURLcode result) {
  // A body that ends before its Content-Length, the connection closed
  // cleanly, is delivered as it came: the caller compares the count with
  // the announced length and continues it.
  if (result == CURLE_PARTIAL_FILE && responseDelivered_ && !headerValue("Content-Length").empty())
    result = CURLE_OK;
  if (result == CURLE_OK && !responseDelivered_) deliverResponse();
  // What came before a failure counts too: a resume starts after it.
  if (!deliverPendingData(true)) return;
  if (result == CURLE_OK && !writeErrno_ && !overrun_ && fd_ >= 0 && finish(true)) {
    delegate_.transferDidFinish();
    return;
  }
  TransferError error = failureOf(result);
  finish(false);
  delegate_.transferDidFail(error);
}

TransferFault faultOf(CURLcode result) {
  switch (result) {
    case CURLE_COULDNT_RESOLVE_PROXY: case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT: case CURLE_SEND_ERROR: case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE: case CURLE_GOT_NOTHING: case CURLE_SSL_CONNECT_ERROR:
    case CURLE_HTTP2: case CURLE_HTTP2_STREAM: case CURLE_OPERATION_TIMEDOUT:
      return TransferFault::kNetwork;
    case CURLE_PEER_FAILED_VERIFICATION: case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM: case CURLE_SSL_ISSUER_ERROR: case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_UNSUPPORTED_PROTOCOL: case CURLE_URL_MALFORMAT: case CURLE_TOO_MANY_REDIRECTS:
      return TransferFault::kRefused;
    default:
      return TransferFault::kOther;
  }
}

TransferError CurlTransfer::failureOf(CURLcode result) {
  TransferError error;
  error.failingUrl = effectiveUrl();
  if (overrun_) {
    error.description = "The server sent more than the range asked for.";
  } else if (writeErrno_ || fd_ < 0) {
    error.fault = TransferFault::kLocalWrite;
    error.description = "Cannot write " + request_.destination + ": " +
                        strerror(writeErrno_ ? writeErrno_ : errno);
  } else {
    error.fault = faultOf(result);
    bool viaProxy = !request_.proxy.empty() && request_.proxy != "direct://";
    error.proxyUnreachable = result == CURLE_COULDNT_RESOLVE_PROXY ||
                             (result == CURLE_COULDNT_CONNECT && viaProxy);
    error.description = *errorBuffer_ ? errorBuffer_ : curl_.curl_easy_strerror(result);
  }
  return error;
}

void CurlTransfer::armIdleTimer(double seconds) {
  idleTimer_ = loop_.addTimer(seconds, [this] { onIdleTimer(); });
}

// Exact idle timeout without touching a timer per chunk: when the timer
// fires, it is re-armed for whatever is left since the last byte.
void CurlTransfer::onIdleTimer() {
  idleTimer_ = 0;
  double idle = monotonicSeconds() - lastActivity_;
  if (idle < request_.idleTimeout) {
    armIdleTimer(request_.idleTimeout - idle);
    return;
  }
  failIdle("The request timed out.");
}

// A body that trickles in slower than the request allows fails as an idle
// one would, so that the caller's retry bounds end it.
void CurlTransfer::armSpeedTimer() {
  windowStartBytes_ = received_;
  speedTimer_ = loop_.addTimer(request_.idleTimeout, [this] {
    speedTimer_ = 0;
    if (received_ - windowStartBytes_ >= static_cast<uint64_t>(request_.minBytesPerIdle))
      return armSpeedTimer();
    failIdle("The transfer stalled: fewer than " + std::to_string(request_.minBytesPerIdle) +
             " bytes in " + std::to_string(static_cast<int>(request_.idleTimeout)) + " s.");
  });
}

void CurlTransfer::failIdle(const std::string& description) {
  if (!deliverPendingData(true)) return;
  TransferError error;
  error.description = description;
  error.failingUrl = request_.url;
  error.fault = TransferFault::kIdle;
  finish(false);
  delegate_.transferDidFail(error);
}

bool CurlTransfer::finish(bool keepFile) {
  if (ended_) return false;
  ended_ = true;
  multi_.stop();
  if (idleTimer_) loop_.cancelTimer(idleTimer_);
  if (speedTimer_) loop_.cancelTimer(speedTimer_);
  if (flushTimer_) loop_.cancelTimer(flushTimer_);
  idleTimer_ = speedTimer_ = flushTimer_ = 0;
  curl_.curl_multi_remove_handle(multi_.get(), easy_);
  // What came is kept for a resume, though it was not delivered.
  if ((keepFile || request_.keepPartial) && !flushHeld()) keepFile = false;
  if (fd_ >= 0 && close(fd_) != 0) keepFile = false;
  fd_ = -1;
  if (!keepFile && !request_.keepPartial) unlink(request_.destination.c_str());
  return keepFile;
}

void CurlTransfer::cancel() { finish(false); }

// A suffix's start is where the file must end before its body (a hole in
// front of it in a fresh file); a bounded range's body (a 206: anything
// else is the whole file, which replaces them) goes in front of bytes that
// are kept, and stops where they start.
void CurlTransfer::writeBodyAt(int64_t offset) {
  placed_ = true;
  bodyOffset_ = offset;
  if (request_.suffixLength > 0) {
    struct stat st;
    if (fd_ >= 0 && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size != offset &&
        ftruncate(fd_, offset) != 0)
      writeErrno_ = errno;
  } else if (request_.rangeEnd > 0 && status_ == 206) {
    bodyLimit_ = request_.rangeEnd;
  } else {
    cutFileTo(offset);
  }
  if (fd_ >= 0 && lseek(fd_, offset, SEEK_SET) != offset) writeErrno_ = errno;
}

// Only a file that is longer is cut: ext4 flushes a file truncated and
// rewritten when it is closed, which would cost a large download dearly.
void CurlTransfer::cutFileTo(int64_t length) {
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= length) return;
  if (ftruncate(fd_, length) != 0) writeErrno_ = errno;
}

// Stands in for a transfer that cannot start (libcurl missing, a range
// that asks for nothing): fails from the loop, as a transfer would, and
// leaves the file alone.
class UnavailableTransfer : public Transfer {
 public:
  UnavailableTransfer(Loop& loop, const TransferRequest& request, TransferDelegate& delegate,
                      const std::string& why)
      : loop_(loop) {
    timer_ = loop.addTimer(0, [this, &delegate, url = request.url, why] {
      timer_ = 0;
      delegate.transferDidFail({why, url, TransferFault::kOther});
    });
  }
  ~UnavailableTransfer() override { cancel(); }
  void cancel() override {
    if (timer_) loop_.cancelTimer(timer_);
    timer_ = 0;
  }
  void writeBodyAt(int64_t) override {}

 private:
  Loop& loop_;
  Loop::Handle timer_ = 0;
};

}  // namespace

std::unique_ptr<Transfer> startTransfer(Loop& loop, const TransferRequest& request,
                                        TransferDelegate& delegate) {
  if (request.rangeStart < 0 || (request.rangeEnd > 0 && request.rangeEnd <= request.rangeStart))
    return std::make_unique<UnavailableTransfer>(
        loop, request, delegate,
        "Invalid range: bytes " + std::to_string(request.rangeStart) + " to " +
            std::to_string(request.rangeEnd) + ".");
  if (const CurlLibrary* curl = curlLibrary())
    return std::make_unique<CurlTransfer>(*curl, loop, request, delegate);
  return std::make_unique<UnavailableTransfer>(loop, request, delegate,
                                               "libcurl (libcurl.so.4) cannot be loaded.");
}
