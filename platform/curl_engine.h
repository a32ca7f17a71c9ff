#ifndef SETUP_PLATFORM_CURL_ENGINE_H_
#define SETUP_PLATFORM_CURL_ENGINE_H_

// The one way this program speaks HTTP, behind startTransfer (one request
// into a file) and startRangeFetch (many ranges of one file at once): every
// request set up alike, every answer read by one parser, every body written
// by one writer, every failure classified once, one idle rule, each run on
// a libcurl multi handle driven by the loop (CurlMultiOnLoop). Only the
// platform's HTTP clients use it.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/curl_library.h"
#include "platform/loop.h"
#include "platform/transfer.h"

// What one request is: everything else is the same for every request.
struct CurlRequestSetup {
  std::string url;
  std::string proxy;                 // as TransferRequest::proxy
  std::string proxyUser, proxyPassword;  // as TransferRequest's
  std::vector<std::string> headers;  // whole lines, "Name: value"
  // Connections, TLS sessions and names shared with earlier requests.
  CURLSH* share = nullptr;
  bool http2 = false;  // offer HTTP/2 (and wait for a connection to multiplex on)
  // libcurl's header and body callbacks, given |callbackData|; the error
  // buffer (CURL_ERROR_SIZE bytes); what CURLINFO_PRIVATE returns.
  curl_write_callback onHeader = nullptr, onWrite = nullptr;
  void* callbackData = nullptr;
  char* errorBuffer = nullptr;
  void* privateData = nullptr;
};

// Sets |easy| up for |setup|: http and https only, redirects followed
// (never from https down to http), certificates always verified (the usual
// variables may name other trust anchors, as for the curl tool), sockets
// closed on exec, no Accept-Encoding (compression on the fly weakens ETags
// and disables ranges), whatever authentication a proxy asks for (Basic,
// Digest, NTLM, Negotiate) answered by libcurl. Returns the header list, to be freed with the
// handle.
curl_slist* setUpRequest(const CurlLibrary& curl, CURL* easy, const CurlRequestSetup& setup);

// Reads a response's header lines as libcurl hands them over, one by one.
class HeaderBlock {
 public:
  // True for the blank line that ends the final answer's headers: not an
  // interim 1xx, nor a redirect that libcurl is about to follow.
  bool endsFinal(const CurlLibrary& curl, CURL* easy, const std::string& line);

 private:
  bool sawLocation_ = false;  // in the block being read
};

// A whole non-negative decimal number that fits in 63 bits, else -1.
int64_t parseLength(const std::string& text);

// "bytes N-M/T" exactly, with N <= M < T; a total of "*" is refused (every
// file this program asks ranges of has a known length).
bool parseContentRange(const std::string& text, int64_t* first, int64_t* last, int64_t* total);

// The https URLs that Link header values name as duplicates of the
// answer's file (rel=duplicate), lowest "pri" first (in header order among
// equals): at most kMaxDuplicateLinks of them, none longer than
// kMaxLinkUrlLength, none with blanks or control characters.
constexpr size_t kMaxDuplicateLinks = 8;
constexpr size_t kMaxLinkUrlLength = 2048;
std::vector<std::string> duplicateLinks(const std::vector<std::string>& values);

// The final answer's head from |easy|, with every header value trimmed and
// every length checked by the two parsers above.
TransferResponse readResponseHead(const CurlLibrary& curl, CURL* easy,
                                  const std::string& requestUrl);

// How a failed request is described to its caller: |result| of |easy|
// classified once for every request (a tunnel the proxy refused with 407 is
// kProxyAuth), the description libcurl left in |errorBuffer|.
TransferError failureOf(const CurlLibrary& curl, CURL* easy, CURLcode result,
                        const char* errorBuffer,
                        const std::string& url, const std::string& proxy);

// The idle rule of every request: |expired| is called (from the loop) once
// no byte has come for |timeout| seconds, connecting included, or, with
// requireRate, once the body brings fewer than the bytes asked in such a
// window. Cheap to tell of activity: a timer is only re-armed when it fires.
class IdleWatch {
 public:
  IdleWatch(Loop& loop, double timeout, std::function<void(const std::string&)> expired);
  ~IdleWatch() { stop(); }
  IdleWatch(const IdleWatch&) = delete;
  IdleWatch& operator=(const IdleWatch&) = delete;

  void activity();
  // From now on, at least |minBytes| of |received()| in every window.
  void requireRate(int64_t minBytes, std::function<uint64_t()> received);
  void stop();

 private:
  void arm(double seconds);
  void armRate();

  double timeout_;
  std::function<void(const std::string&)> expired_;
  double last_;
  LoopCall idle_, rate_;
  int64_t minBytes_ = 0;
  std::function<uint64_t()> received_;
  uint64_t windowStart_ = 0;
};

// The writer of every body: bytes are held in memory, up to |holdBytes|,
// and written at their place in the file when that is full, when the
// oldest held byte is 5 ms old (a timer), or when asked.
// libcurl hands a body over one TLS record (16 KiB) at a time; written in
// larger pieces, a large download costs a tenth of a core less and leaves
// its file in larger pages. Held no longer: what a killed run held is
// fetched again. Past |limit| nothing is written: the body
// overran what was asked for.
class BodyWriter {
 public:
  // |flushed| is called from the loop when the timer wrote held bytes.
  BodyWriter(Loop& loop, size_t holdBytes, std::function<void()> flushed);

  BodyWriter(const BodyWriter&) = delete;
  BodyWriter& operator=(const BodyWriter&) = delete;

  // Writes into |fd| from |offset| on, stopping at |limit| (-1: none).
  void place(int fd, int64_t offset, int64_t limit = -1);
  // Takes |length| bytes; false when they would pass the limit, or when
  // bytes could not be written (see error()).
  bool append(const char* data, size_t length);
  // Writes what is held now, or once it is old enough (or arms the timer).
  bool flush();
  bool flushIfDue();
  // Bytes written since the last call: what may be counted as delivered.
  uint64_t takeWritten();
  uint64_t received() const { return received_; }  // taken, held or written
  int64_t position() const { return next_ + int64_t(held_.size()); }  // after the last byte taken
  int64_t writtenTo() const { return next_; }  // the file holds the bytes before this one
  bool overrun() const { return overrun_; }
  int error() const { return error_; }  // errno of a failed write, else 0
  void cancelTimer();

 private:
  size_t holdBytes_;
  std::function<void()> flushed_;
  int fd_ = -1;
  int64_t next_ = 0;  // where the first held byte goes
  int64_t limit_ = -1;
  std::string held_;
  uint64_t received_ = 0, written_ = 0;
  double lastFlush_ = 0;
  LoopCall timer_;
  bool overrun_ = false;
  int error_ = 0;
};

// Where a connection's TLS records end, in body bytes. libcurl hands the
// body on a record at a time (it reads one per call), and a server that
// fills its records (nginx's hold 16 KiB) ends the next ones every |size|
// bytes on: a connection cut there needs no byte of the record after it.
struct RecordEnds {
  int64_t last = -1, size = 0;
  int same = 0;
  // A body piece of |length| bytes ending at |end| came.
  void saw(int64_t end, int64_t length) {
    same = length == size ? same + 1 : 0;
    size = length, last = end;
  }
  bool known() const { return same >= 3 && size >= 4096; }
  bool endsAt(int64_t at) const { return known() && at >= last && (at - last) % size == 0; }
  // The record end nearest |at|, where one lies in (|after|, |before|); else |at|.
  int64_t nearest(int64_t at, int64_t after, int64_t before) const {
    if (!known() || at < last) return at;
    int64_t end = last + (at - last + size / 2) / size * size;
    return end > after && end < before ? end : at;
  }
};

// The kernel's view of a connection (TCP_INFO of its socket |fd|) into
// |sample|'s connection fields; false (measured stays false) when it is no
// TCP socket to ask.
bool readLinkSample(curl_socket_t fd, LinkSample* sample);

// Narrows connection |fd|'s receive window so that its server may send
// about |bytes| past what the program has read from the socket, and no
// more: for a connection that will be cut where its server does not know
// (another connection took over the rest), what was on its way past the
// cut is lost. The window is only ever narrowed, and where the program may
// hold the socket's buffer at its size, that stops growing, so that the
// kernel does not widen the window again.
// (|widen|: or widened, where more room is needed after all.)
void narrowReceiveWindow(curl_socket_t fd, int64_t bytes, bool widen = false);
// Lets the window grow again to the socket's buffer: for a connection
// that was to be cut and now goes on.
void widenReceiveWindow(curl_socket_t fd);

// Why no request can run here at all.
extern const char kCurlUnavailable[];

#endif  // SETUP_PLATFORM_CURL_ENGINE_H_
