#include "platform/curl_engine.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>

#include "platform/clock.h"

const char kCurlUnavailable[] = "libcurl (libcurl.so.4) cannot be loaded.";

namespace {

const double kHoldSeconds = 0.005;

bool startsWithNoCase(const std::string& text, const char* prefix) {
  return strncasecmp(text.c_str(), prefix, strlen(prefix)) == 0;
}

std::string trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\r\n"), last = text.find_last_not_of(" \t\r\n");
  return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

std::string headerValue(const CurlLibrary& curl, CURL* easy, const char* name) {
  curl_header* header = nullptr;
  if (curl.curl_easy_header(easy, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK) return "";
  return trimmed(header->value);
}

}  // namespace

curl_slist* setUpRequest(const CurlLibrary& curl, CURL* easy, const CurlRequestSetup& setup) {
  if (setup.share) curl.curl_easy_setopt(easy, CURLOPT_SHARE, setup.share);
  curl.curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, openSocket);
  curl.curl_easy_setopt(easy, CURLOPT_PRIVATE, setup.privateData);
  curl.curl_easy_setopt(easy, CURLOPT_URL, setup.url.c_str());
  curl.curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  bool secure = startsWithNoCase(setup.url, "https:");
  curl.curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  curl.curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl.curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
  curl.curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl.curl_easy_setopt(easy, CURLOPT_HTTP_VERSION,
                        long(setup.http2 ? CURL_HTTP_VERSION_2TLS : CURL_HTTP_VERSION_1_1));
  if (setup.http2) curl.curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
  curl_slist* headers = nullptr;
  for (const std::string& line : setup.headers) headers = curl.curl_slist_append(headers, line.c_str());
  curl.curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl.curl_easy_setopt(easy, CURLOPT_USERAGENT, "setup/1.0");
  curl.curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024);
  curl.curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, setup.errorBuffer);
  curl.curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, setup.onHeader);
  curl.curl_easy_setopt(easy, CURLOPT_HEADERDATA, setup.callbackData);
  curl.curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, setup.onWrite);
  curl.curl_easy_setopt(easy, CURLOPT_WRITEDATA, setup.callbackData);
  curl.curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl.curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  const char* bundle = getenv("CURL_CA_BUNDLE");
  if (!bundle || !*bundle) bundle = getenv("SSL_CERT_FILE");
  if (bundle && *bundle) curl.curl_easy_setopt(easy, CURLOPT_CAINFO, bundle);
  const char* dir = getenv("SSL_CERT_DIR");
  if (dir && *dir) curl.curl_easy_setopt(easy, CURLOPT_CAPATH, dir);
  if (setup.proxy == "direct://") curl.curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
  else if (!setup.proxy.empty()) curl.curl_easy_setopt(easy, CURLOPT_PROXY, setup.proxy.c_str());
  // libcurl picks the strongest scheme the proxy offers. A user name, even
  // an empty one, is what lets it answer at all: empty, Negotiate goes with
  // the Kerberos ticket, and credentials in the proxy's URL take precedence.
  curl.curl_easy_setopt(easy, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
  curl.curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, setup.proxyUser.c_str());
  curl.curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, setup.proxyPassword.c_str());
  return headers;
}

bool HeaderBlock::endsFinal(const CurlLibrary& curl, CURL* easy, const std::string& line) {
  if (startsWithNoCase(line, "HTTP/")) sawLocation_ = false;
  if (startsWithNoCase(line, "Location:")) sawLocation_ = true;
  if (line != "\r\n" && line != "\n") return false;
  long code = 0;
  curl.curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
  return code >= 200 && !(code / 100 == 3 && sawLocation_);
}

int64_t parseLength(const std::string& text) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  errno = 0;
  long long value = strtoll(text.c_str(), nullptr, 10);
  return errno == 0 ? value : -1;
}

bool parseContentRange(const std::string& text, int64_t* first, int64_t* last, int64_t* total) {
  static const char kUnit[] = "bytes ";
  if (text.compare(0, strlen(kUnit), kUnit) != 0) return false;
  size_t dash = text.find('-'), slash = text.find('/');
  if (dash == std::string::npos || slash == std::string::npos || dash > slash) return false;
  int64_t start = parseLength(text.substr(strlen(kUnit), dash - strlen(kUnit)));
  int64_t end = parseLength(text.substr(dash + 1, slash - dash - 1));
  int64_t length = parseLength(text.substr(slash + 1));
  if (start < 0 || end < start || length <= end) return false;
  *first = start, *last = end, *total = length;
  return true;
}

namespace {

// Link values read at most, and the characters of each looked at.
const size_t kMaxLinkHeaders = 16;
const size_t kMaxLinkValueLength = 16384;

// A parameter's value, unquoted (no escapes: none of those read has any).
std::string paramValue(const std::string& text) {
  std::string value = trimmed(text);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    value = value.substr(1, value.size() - 2);
  return value;
}

bool relHasDuplicate(const std::string& rel) {
  size_t at = 0;
  while (at < rel.size()) {
    size_t end = rel.find(' ', at);
    if (end == std::string::npos) end = rel.size();
    if (end - at == 9 && strncasecmp(rel.c_str() + at, "duplicate", 9) == 0) return true;
    at = end + 1;
  }
  return false;
}

}  // namespace

std::vector<std::string> duplicateLinks(const std::vector<std::string>& values) {
  struct Found { long pri; size_t order; std::string url; };
  std::vector<Found> found;
  for (const std::string& whole : values) {
    std::string value = whole.substr(0, kMaxLinkValueLength);
    size_t at = 0;
    while ((at = value.find('<', at)) != std::string::npos) {
      size_t close = value.find('>', at);
      if (close == std::string::npos) break;
      std::string url = value.substr(at + 1, close - at - 1);
      // The parameters run to the next link's comma outside quotes.
      size_t end = close + 1;
      for (bool quoted = false; end < value.size() && (quoted || value[end] != ','); ++end)
        if (value[end] == '"') quoted = !quoted;
      bool duplicate = false;
      long pri = 999999;
      for (size_t p = value.find(';', close); p != std::string::npos && p < end;) {
        size_t next = std::min(value.find(';', p + 1), end);
        std::string param = value.substr(p + 1, next - p - 1);
        size_t eq = param.find('=');
        std::string name = trimmed(param.substr(0, eq));
        std::string text = eq == std::string::npos ? "" : paramValue(param.substr(eq + 1));
        if (strcasecmp(name.c_str(), "rel") == 0) duplicate = relHasDuplicate(text);
        if (strcasecmp(name.c_str(), "pri") == 0 && parseLength(text) >= 0 && text.size() < 10)
          pri = static_cast<long>(parseLength(text));
        p = next < end ? next : std::string::npos;
      }
      bool plain = std::none_of(url.begin(), url.end(), [](char c) {
        return static_cast<unsigned char>(c) <= ' ' || c == 0x7f;
      });
      if (duplicate && plain && url.size() <= kMaxLinkUrlLength && startsWithNoCase(url, "https://") &&
          url.size() > 8)
        found.push_back({pri, found.size(), url});
      at = end;
    }
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const Found& a, const Found& b) { return a.pri < b.pri; });
  std::vector<std::string> urls;
  for (const Found& link : found) {
    if (urls.size() == kMaxDuplicateLinks) break;
    if (std::find(urls.begin(), urls.end(), link.url) == urls.end()) urls.push_back(link.url);
  }
  return urls;
}

TransferResponse readResponseHead(const CurlLibrary& curl, CURL* easy,
                                  const std::string& requestUrl) {
  TransferResponse response;
  curl.curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &response.status);
  response.etag = headerValue(curl, easy, "ETag");
  std::string length = headerValue(curl, easy, "Content-Length");
  response.expectedLength = parseLength(length);
  response.badLength = !length.empty() && response.expectedLength < 0;
  parseContentRange(headerValue(curl, easy, "Content-Range"), &response.rangeStart,
                    &response.rangeEnd, &response.rangeTotal);
  response.retryAfter = headerValue(curl, easy, "Retry-After");
  response.lastModified = headerValue(curl, easy, "Last-Modified");
  std::vector<std::string> links;
  curl_header* link = nullptr;
  for (size_t i = 0; i < kMaxLinkHeaders &&
                     curl.curl_easy_header(easy, "Link", i, CURLH_HEADER, -1, &link) == CURLHE_OK;
       ++i) {
    links.push_back(link->value);
    if (i + 1 >= link->amount) break;
  }
  response.duplicates = duplicateLinks(links);
  char* url = nullptr;
  curl.curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &url);
  response.url = url ? url : requestUrl;
  long version = 0;
  curl.curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
  response.http2 = version >= CURL_HTTP_VERSION_2_0;
  return response;
}

TransferError failureOf(const CurlLibrary& curl, CURL* easy, CURLcode result,
                        const char* errorBuffer, const std::string& url,
                        const std::string& proxy) {
  TransferError error;
  error.failingUrl = url;
  error.description = errorBuffer && *errorBuffer ? errorBuffer : curl.curl_easy_strerror(result);
  switch (result) {
    case CURLE_COULDNT_RESOLVE_PROXY: case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT: case CURLE_SEND_ERROR: case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE: case CURLE_GOT_NOTHING: case CURLE_SSL_CONNECT_ERROR:
    case CURLE_HTTP2: case CURLE_HTTP2_STREAM: case CURLE_OPERATION_TIMEDOUT:
      error.fault = TransferFault::kNetwork;
      break;
    case CURLE_PEER_FAILED_VERIFICATION: case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM: case CURLE_SSL_ISSUER_ERROR: case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_UNSUPPORTED_PROTOCOL: case CURLE_URL_MALFORMAT: case CURLE_TOO_MANY_REDIRECTS:
      error.fault = TransferFault::kRefused;
      break;
    default:
      error.fault = TransferFault::kOther;
  }
  long tunnel = 0;
  curl.curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &tunnel);
  if (tunnel == 407) error.fault = TransferFault::kProxyAuth;
  bool viaProxy = !proxy.empty() && proxy != "direct://";
  error.proxyUnreachable = result == CURLE_COULDNT_RESOLVE_PROXY ||
                           (result == CURLE_COULDNT_CONNECT && viaProxy);
  return error;
}

IdleWatch::IdleWatch(Loop& loop, double timeout, std::function<void(const std::string&)> expired)
    : timeout_(timeout), expired_(std::move(expired)), last_(monotonicSeconds()), idle_(loop),
      rate_(loop) {
  arm(timeout_);
}

void IdleWatch::activity() { last_ = monotonicSeconds(); }

// Exact without touching a timer per chunk: when the timer fires, it is
// re-armed for whatever is left since the last byte.
void IdleWatch::arm(double seconds) {
  idle_.schedule(seconds, [this] {
    double idle = monotonicSeconds() - last_;
    if (idle < timeout_) return arm(timeout_ - idle);
    stop();
    expired_("The request timed out.");
  });
}

void IdleWatch::requireRate(int64_t minBytes, std::function<uint64_t()> received) {
  minBytes_ = minBytes;
  received_ = std::move(received);
  armRate();
}

// A body that trickles in slower than asked fails as an idle one would, so
// that the caller's retry bounds end it.
void IdleWatch::armRate() {
  windowStart_ = received_();
  rate_.schedule(timeout_, [this] {
    if (received_() - windowStart_ >= static_cast<uint64_t>(minBytes_)) return armRate();
    stop();
    expired_("The transfer stalled: fewer than " + std::to_string(minBytes_) + " bytes in " +
             std::to_string(static_cast<int>(timeout_)) + " s.");
  });
}

void IdleWatch::stop() {
  idle_.cancel();
  rate_.cancel();
}

BodyWriter::BodyWriter(Loop& loop, size_t holdBytes, std::function<void()> flushed)
    : holdBytes_(holdBytes), flushed_(std::move(flushed)), timer_(loop) {}

void BodyWriter::place(int fd, int64_t offset, int64_t limit) {
  fd_ = fd, next_ = offset, limit_ = limit;
  lastFlush_ = monotonicSeconds();
}

bool BodyWriter::append(const char* data, size_t length) {
  if (limit_ >= 0 && next_ + int64_t(held_.size() + length) > limit_) {
    overrun_ = true;
    return false;
  }
  if (error_ || (held_.size() + length > holdBytes_ && !flush())) return false;
  held_.append(data, length);
  received_ += length;
  return true;
}

bool BodyWriter::flush() {
  lastFlush_ = monotonicSeconds();
  cancelTimer();
  for (size_t done = 0; done < held_.size();) {
    ssize_t n = fd_ < 0 ? -1 : pwrite(fd_, held_.data() + done, held_.size() - done, next_ + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = fd_ < 0 ? EBADF : n < 0 ? errno : ENOSPC;
      held_.clear();
      return false;
    }
    done += n;
  }
  next_ += held_.size();
  written_ += held_.size();
  held_.clear();
  return error_ == 0;
}

bool BodyWriter::flushIfDue() {
  if (held_.empty()) return error_ == 0;
  if (held_.size() >= holdBytes_ || monotonicSeconds() - lastFlush_ >= kHoldSeconds) return flush();
  if (!timer_.pending())
    timer_.schedule(kHoldSeconds, [this] {
      flush();
      flushed_();
    });
  return true;
}

uint64_t BodyWriter::takeWritten() {
  uint64_t bytes = written_;
  written_ = 0;
  return bytes;
}

void BodyWriter::cancelTimer() { timer_.cancel(); }

void narrowReceiveWindow(curl_socket_t fd, int64_t bytes, bool widen) {
  if (fd == CURL_SOCKET_BAD) return;
  int unread = 0, clamp = 0, buffer = 0;
  socklen_t size = sizeof(clamp);
  if (ioctl(fd, FIONREAD, &unread) != 0) unread = 0;  // read by the kernel, not yet by us
  int64_t want = std::max<int64_t>(4096, bytes - unread);
  if (getsockopt(fd, IPPROTO_TCP, TCP_WINDOW_CLAMP, &clamp, &size) != 0 || (want >= clamp && !widen))
    return;
  // Set to its size (the kernel doubles what it is given), the buffer no
  // longer grows, and growing it would reset the clamp. Not where a
  // program may not set it that large: a smaller buffer than the window
  // offered drops what was sent into it.
  static const int64_t largest = [] {
    int64_t value = 0;
    std::ifstream("/proc/sys/net/core/rmem_max") >> value;
    return value;
  }();
  size = sizeof(buffer);
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, &size) == 0 && buffer / 2 <= largest) {
    buffer /= 2;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
  }
  clamp = int(want);
  setsockopt(fd, IPPROTO_TCP, TCP_WINDOW_CLAMP, &clamp, sizeof(clamp));
}

void widenReceiveWindow(curl_socket_t fd) {
  int buffer = 0;
  socklen_t size = sizeof(buffer);
  if (fd != CURL_SOCKET_BAD && getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, &size) == 0)
    setsockopt(fd, IPPROTO_TCP, TCP_WINDOW_CLAMP, &buffer, sizeof(buffer));
}

bool readLinkSample(curl_socket_t fd, LinkSample* sample) {
  if (fd == CURL_SOCKET_BAD) return false;
  // Newer kernels tell more than this header knows: the window offered
  // (tcpi_rcv_wnd) follows tcpi_snd_wnd, where the header ends.
  constexpr size_t kWindowAt = offsetof(tcp_info, tcpi_snd_wnd) + sizeof(uint32_t);
  unsigned char told[sizeof(tcp_info) + 64] = {};
  socklen_t size = sizeof(told);
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, told, &size) != 0 ||
      size < offsetof(tcp_info, tcpi_rcv_ooopack) + sizeof(uint32_t))
    return false;
  tcp_info info;
  memcpy(&info, told, sizeof(info));
  uint32_t window = 0;
  int unread = 0;
  if (size >= kWindowAt + sizeof(window) && ioctl(fd, FIONREAD, &unread) == 0) {
    memcpy(&window, told + kWindowAt, sizeof(window));
    sample->windowAhead = int64_t(window) + unread;
  }
  sample->measured = true;
  sample->rtt = (info.tcpi_rcv_rtt ? info.tcpi_rcv_rtt : info.tcpi_rtt) / 1e6;
  sample->minRtt = info.tcpi_min_rtt / 1e6;
  sample->segmentsIn = info.tcpi_data_segs_in;
  sample->outOfOrder = info.tcpi_rcv_ooopack;
  sample->mss = info.tcpi_rcv_mss;
  return true;
}
