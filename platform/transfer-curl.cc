// One request into a file, on the engine (curl_engine.h): libcurl's multi
// interface driven by the loop's fd watches and timers, so that it runs on
// whichever loop the display brought.
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
#include <algorithm>
#include <map>
#include <vector>

#include "platform/clock.h"
#include "platform/curl_engine.h"
#include "platform/loop.h"
#include "platform/transfer.h"

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
// Parts of a range on more connections to the same host: at most this many at once, none
// smaller than kMinPart (a part costs a request, and a new connection a
// handshake), and a part that keeps breaking off ends the transfer.
const int kMaxParts = 5;
// Holes left by an earlier run are asked for on this many at once: a
// continued run has not measured its link yet.
const int kHoleParts = 3;
const int64_t kMinPart = 512 * 1024;
const int kMaxPartFailures = 6;
const double kProbeSeconds = 0.25;

bool strongEtag(const std::string& etag) {
  return etag.size() >= 2 && etag.front() == '"' && etag.back() == '"';
}

// The Range header's value for |request|, empty when it asks for the whole.
std::string rangeOf(const TransferRequest& request) {
  if (request.suffixLength > 0) return "bytes=-" + std::to_string(request.suffixLength);
  if (request.rangeEnd > 0)
    return "bytes=" + std::to_string(request.rangeStart) + "-" + std::to_string(request.rangeEnd - 1);
  if (request.rangeStart > 0) return "bytes=" + std::to_string(request.rangeStart) + "-";
  return "";
}

// A connection that will be cut |left| body bytes from here: its server
// may send those, each record's TLS overhead, the record that holds the
// cut (none where a record ends there, else up to 16 KiB), and little
// more. A window that leaves out some of it costs a round trip at the end
// (the last bytes wait for the window to slide on); one offered is never
// taken back: what the first narrowing allows past the cut stays allowed.
// Where the records are known, their overhead is TLS 1.3's or AES-GCM's
// (22 or 29 bytes); else up to a CBC cipher's (85 bytes a record, which
// may be short). Where the records stop falling on the cut, the window is
// let out to hold the cut's record.
struct CutWindow {
  RecordEnds records;
  bool onEnd = false;  // the cut was on a record's end when last narrowed
  void narrow(curl_socket_t fd, int64_t left, int64_t cut) {
    bool now = records.endsAt(cut);
    int64_t bytes = now ? left + (left / records.size + 1) * 32 + 256 : left + left / 128 + (16 << 10) + 256;
    narrowReceiveWindow(fd, bytes, onEnd && !now);
    onEnd = now;
  }
};

// A piece off the back of the |left| bytes connection |fd| has still to
// bring, moved back to start past the window its server was already
// offered, where |least| remains beyond it: what is sent past a cut comes
// for nothing. Where less would remain, the piece as it is, or 0 where
// |beyondOnly|: its server may already have sent the piece's bytes (a lossy
// link holds them out of order behind a hole), and a cut there loses them.
int64_t pieceBeyondWindow(curl_socket_t fd, int64_t left, int64_t piece, int64_t least, bool beyondOnly) {
  LinkSample sample;
  readLinkSample(fd, &sample);
  int64_t ahead = sample.windowAhead;
  if (ahead <= left - piece) return piece;
  return left - ahead >= least ? left - ahead : beyondOnly ? 0 : piece;
}

// One request into a file, on a multi handle of its own. Once its first
// response is a 206 of a file with a strong ETag, other parts of the range
// may come over further connections on the same multi handle: each a
// bounded range with If-Range, written at its place. The first connection
// keeps the front of the range; each free connection asks for a share of
// what the first one has still to bring, off its back, so that all end
// together, and once that is given out, the back of the share that would
// end last (the first connection's too). A connection is cut short only
// where another took over its bytes: no byte is asked for by two requests
// that both run to their end.
// Data events count the bytes in order from the start, whichever
// connection wrote them. Other hosts of the file, where the request names
// them, take pieces the same way, one connection each, sized by their
// speed against the first connection's.
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
  static size_t onPartHeader(char* data, size_t size, size_t count, void* self);
  static size_t onPartWrite(char* data, size_t size, size_t count, void* self);

 private:
  struct Part;
  struct OtherHost;
  // Parts.
  void beginParts(const TransferResponse& response);
  void probe();
  int64_t mainLimit() const;
  size_t freeConnection() const;
  int freeOwn() const;
  int64_t hostPiece(size_t host, int64_t left) const;
  double hostRate(size_t host) const;
  bool takeFromSlowest(size_t host);
  void leaveHost(Part& part);
  void startPart(int64_t start, int64_t end, size_t host);
  size_t writePart(Part& part, const char* data, size_t length);
  void partEnded(Part& part, CURLcode result);
  void assignWork();
  void refuseParts();
  void retire(Part& part);
  void noteWritten(Part& part);
  int64_t advancePrefix() const;
  void mainEnded(bool ok);
  void failWith(TransferError error);

  std::vector<std::string> headerLines() const;
  void cutFileTo(int64_t length);
  size_t write(const char* data, size_t length);
  void deliverEvents();
  void deliverResponse();
  bool deliverPendingData(bool all = false);
  void deliverEnd(CURLcode result);
  TransferError failureOf(CURLcode result);
  void failIdle(const std::string& description);
  // Ends the transfer, writing what is held unless |dropHeld|; returns
  // true when the file was kept.
  bool finish(bool keepFile, bool dropHeld = false);

  const CurlLibrary& curl_;
  Loop& loop_;
  TransferRequest request_;
  TransferDelegate& delegate_;
  CurlMultiOnLoop multi_{curl_, loop_, [this] { deliverEvents(); }};
  CURL* easy_ = curl_.curl_easy_init();
  curl_slist* headers_ = nullptr;
  char errorBuffer_[CURL_ERROR_SIZE] = {0};
  HeaderBlock block_;
  IdleWatch idle_{loop_, request_.idleTimeout, [this](const std::string& why) { failIdle(why); }};
  // Written where writeBodyAt says, in pieces (see BodyWriter); a data
  // event counts only bytes already in the file.
  BodyWriter body_{loop_, kHoldBytes, [this] { deliverPendingData(); }};
  int fd_ = -1;
  bool ended_ = false;       // finished, failed or cancelled: nothing more
  bool finalHeaders_ = false;
  bool responseDelivered_ = false;
  bool paused_ = false;      // holding the body back until the response is out
  int openErrno_ = 0;        // set when the destination could not be opened or placed
  bool placed_ = false;      // writeBodyAt was called
  long status_ = 0;          // the final response's

  int64_t base_ = 0;         // where the body began
  int64_t delivered_ = 0;    // data events told the bytes before this one
  int64_t mainEnd_ = -1;     // where the first request stops (-1: the file's end)
  int64_t cut_ = -1;         // the first connection's bytes stop here (-1: at its end)
  CutWindow window_;         // the first connection's
  bool cutReached_ = false;
  bool mainDone_ = false;    // the first connection has brought its bytes
  // Parts: possible once the first answer allows them.
  bool partsAllowed_ = false;
  bool partsOff_ = false;
  int64_t end_ = -1, total_ = -1;
  std::string etag_, partUrl_;
  int parts_ = 0;            // connections beside the first one that pay
  int partFailures_ = 0;
  double bodyStart_ = 0;
  std::vector<LinkSample> sampled_;  // the probes' of the last second or so
  LoopCall probe_{loop_};
  LoopCall retake_{loop_};   // a free connection looks again for a share to take over
  std::vector<std::unique_ptr<Part>> running_, retired_;
  std::vector<OtherHost> others_;    // a part's host i > 0 is others_[i - 1]
  bool othersOn_ = false;
  double mainRate_ = 0;              // the first connection's bytes a second, once it ended
  LoopCall reap_{loop_};
  std::map<int64_t, int64_t> done_;  // bytes other connections wrote: start -> end
  ByteRanges pending_;               // holes no connection is asked for yet
  struct Written { int64_t start, length; bool otherHost; };
  std::vector<Written> toTell_;      // written, not yet told
};

// Another host of the file: the ETag its first answer named, which its
// later parts must name too (and ask for with If-Range), and its parts'
// bytes in the seconds from their requests to their ends.
struct CurlTransfer::OtherHost {
  std::string url, etag;
  bool answered = false;
  bool off = false;  // it answered another file or broke off: asked no more
  int64_t bytes = 0;
  double seconds = 0;
};

// One part of the range on a connection of its own.
struct CurlTransfer::Part {
  Part(CurlTransfer& owner, int64_t start, int64_t end, size_t host)
      : owner(owner), start(start), asked(end), limit(end), reported(start), host(host),
        body(owner.loop_, kHoldBytes, [&owner] { owner.deliverPendingData(); }),
        idle(owner.loop_, owner.request_.idleTimeout, [this](const std::string&) {
          this->owner.partEnded(*this, CURLE_OPERATION_TIMEDOUT);
        }) {}
  ~Part() {
    owner.curl_.curl_easy_cleanup(easy);
    owner.curl_.curl_slist_free_all(headers);
  }
  CurlTransfer& owner;
  int64_t start, asked, limit;  // asked for [start, asked), the bytes it keeps
  int64_t reported;             // bytes before this one are told
  size_t host;                  // 0: the request's own; else others_[host - 1]
  double began = monotonicSeconds();
  BodyWriter body;
  IdleWatch idle;
  CURL* easy = owner.curl_.curl_easy_init();
  curl_slist* headers = nullptr;
  char errorBuffer[CURL_ERROR_SIZE] = {0};
  bool checked = false, refused = false, ended = false;
  CutWindow window;
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
    openErrno_ = EINVAL;
  } else if (fd_ < 0) {
    openErrno_ = errno;
  }
  mainEnd_ = request_.ifRange.empty() ? request_.rangeEnd : firstRequestEnd(request_);
  if (!request_.ifRange.empty())
    for (const auto& [start, length] : request_.written) done_[start] = start + length;
  for (const std::string& url : request_.otherHosts) others_.emplace_back().url = url;
  CurlRequestSetup setup;
  setup.url = request_.url;
  setup.proxy = request_.proxy;
  setup.proxyUser = request_.proxyUser;
  setup.proxyPassword = request_.proxyPassword;
  setup.headers = headerLines();
  setup.share = connectionShare(curl_);
  setup.onHeader = onHeader, setup.onWrite = onWrite, setup.callbackData = this;
  setup.errorBuffer = errorBuffer_;
  headers_ = setUpRequest(curl_, easy_, setup);
  curl_.curl_multi_add_handle(multi_.get(), easy_);
}

CurlTransfer::~CurlTransfer() {
  cancel();
  curl_.curl_easy_cleanup(easy_);
  curl_.curl_slist_free_all(headers_);
}

// The Range header is the request's own rather than libcurl's resume
// option, which fails a 200: the caller decides what an answer without the
// range means.
std::vector<std::string> CurlTransfer::headerLines() const {
  std::vector<std::string> lines;
  if (!request_.ifNoneMatch.empty()) lines.push_back("If-None-Match: " + request_.ifNoneMatch);
  if (!request_.ifModifiedSince.empty())
    lines.push_back("If-Modified-Since: " + request_.ifModifiedSince);
  TransferRequest asked = request_;
  asked.rangeEnd = mainEnd_;
  std::string range = rangeOf(asked);
  if (!range.empty()) {
    lines.push_back("Range: " + range);
    if (!request_.ifRange.empty()) lines.push_back("If-Range: " + request_.ifRange);
  }
  return lines;
}

size_t CurlTransfer::onHeader(char* data, size_t size, size_t count, void* self) {
  CurlTransfer& transfer = *static_cast<CurlTransfer*>(self);
  transfer.idle_.activity();
  if (transfer.ended_) return 0;
  std::string line(data, size * count);
  if (transfer.block_.endsFinal(transfer.curl_, transfer.easy_, line)) transfer.finalHeaders_ = true;
  return line.size();
}

size_t CurlTransfer::onWrite(char* data, size_t size, size_t count, void* self) {
  return static_cast<CurlTransfer*>(self)->write(data, size * count);
}

// The body waits (libcurl keeps it) until the delegate has seen the
// response and said where it goes.
size_t CurlTransfer::write(const char* data, size_t length) {
  idle_.activity();
  if (ended_) return 0;
  finalHeaders_ = true;
  if (!responseDelivered_) {
    paused_ = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  if (openErrno_) return 0;
  // The first connection's share ends here: the rest is other parts'.
  // Where a record ends on the cut, nothing past it need be waited for.
  if (cut_ >= 0 && body_.position() + int64_t(length) >= cut_) {
    size_t room = size_t(std::max<int64_t>(0, cut_ - body_.position()));
    if (room > 0 && !body_.append(data, room)) return 0;
    cutReached_ = true;
    return 0;
  }
  if (!body_.append(data, length)) return 0;
  window_.records.saw(body_.position(), int64_t(length));
  if (cut_ >= 0) window_.narrow(multi_.socketOf(easy_), cut_ - body_.position(), cut_);
  return length;
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
    if (message->msg != CURLMSG_DONE) continue;
    void* part = nullptr;
    curl_.curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &part);
    if (part) partEnded(*static_cast<Part*>(part), message->data.result);
    else deliverEnd(message->data.result);
  }
}

void CurlTransfer::deliverResponse() {
  TransferResponse response = readResponseHead(curl_, easy_, request_.url);
  status_ = response.status;
  responseDelivered_ = true;
  delegate_.transferDidReceiveResponse(response);
  if (ended_) return;
  if (request_.minBytesPerIdle > 0)
    idle_.requireRate(request_.minBytesPerIdle, [this] { return body_.received(); });
  if (!placed_) {  // the body replaces the file's contents
    cutFileTo(0);
    body_.place(fd_, 0);
    base_ = delivered_ = 0;
  }
  bodyStart_ = monotonicSeconds();
  beginParts(response);
  if (paused_) {
    paused_ = false;
    curl_.curl_easy_pause(easy_, CURLPAUSE_CONT);
  }
}

// Delivers what is in the file; with |all|, everything received first.
// Returns false when the transfer ended meanwhile.
bool CurlTransfer::deliverPendingData(bool all) {
  if (ended_) return false;
  if (all) body_.flush();
  else body_.flushIfDue();
  for (auto& part : running_) {
    if (all) part->body.flush();
    else part->body.flushIfDue();
    noteWritten(*part);
  }
  if (!responseDelivered_) return true;
  body_.takeWritten();
  int64_t prefix = advancePrefix();
  if (prefix > delivered_) {
    uint64_t bytes = uint64_t(prefix - delivered_);
    delivered_ = prefix;
    delegate_.transferDidReceiveData(bytes);
  }
  std::vector<Written> told;
  told.swap(toTell_);
  for (const Written& range : told)
    if (!ended_) delegate_.transferDidWriteRange(range.start, range.length, range.otherHost);
  return !ended_;
}

// The first bytes in order: the first connection's, then those of other
// parts that follow on without a hole.
int64_t CurlTransfer::advancePrefix() const {
  int64_t prefix = std::max(delivered_, body_.writtenTo());
  for (auto it = done_.upper_bound(prefix); it != done_.begin();) {
    --it;
    if (it->first > prefix || it->second <= prefix) break;
    prefix = it->second;
    it = done_.upper_bound(prefix);
  }
  return prefix;
}

void CurlTransfer::deliverEnd(CURLcode result) {
  // A body that ends before its Content-Length, the connection closed
  // cleanly, is delivered as it came: the caller compares the count with
  // the announced length and continues it.
  if (result == CURLE_PARTIAL_FILE && responseDelivered_) {
    TransferResponse head = readResponseHead(curl_, easy_, request_.url);
    if (head.expectedLength >= 0 || head.badLength) result = CURLE_OK;
  }
  if (cutReached_) result = CURLE_OK;
  if (result == CURLE_OK && !responseDelivered_) deliverResponse();
  // What came before a failure counts too: a resume starts after it.
  if (!deliverPendingData(true)) return;
  bool ok = result == CURLE_OK && !body_.error() && !body_.overrun() && fd_ >= 0;
  // With parts, the first connection's end is not the transfer's: its bytes
  // missing (it broke off) become a hole that another connection fetches.
  if (parts_ > 0 || !running_.empty() || !pending_.empty() || othersOn_) {
    TransferError error = failureOf(result);
    if (ok || (error.fault == TransferFault::kNetwork && ++partFailures_ <= kMaxPartFailures))
      return mainEnded(true);
    return failWith(error);
  }
  if (ok && finish(true)) {
    delegate_.transferDidFinish();
    return;
  }
  TransferError error = failureOf(result);
  finish(false);
  delegate_.transferDidFail(error);
}

TransferError CurlTransfer::failureOf(CURLcode result) {
  TransferError error = ::failureOf(curl_, easy_, result, errorBuffer_, request_.url, request_.proxy);
  char* url = nullptr;
  curl_.curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &url);
  if (url) error.failingUrl = url;
  if (body_.overrun()) {
    error.fault = TransferFault::kOther;
    error.description = "The server sent more than the range asked for.";
  } else if (body_.error() || openErrno_) {
    error.fault = TransferFault::kLocalWrite;
    error.proxyUnreachable = false;
    error.description = "Cannot write " + request_.destination + ": " +
                        strerror(body_.error() ? body_.error() : openErrno_);
  }
  return error;
}

void CurlTransfer::failIdle(const std::string& description) {
  TransferError error;
  error.description = description;
  error.failingUrl = request_.url;
  error.fault = TransferFault::kIdle;
  if (mainDone_) return;
  if ((parts_ > 0 || !running_.empty()) && ++partFailures_ <= kMaxPartFailures) {
    if (!deliverPendingData(true)) return;
    return mainEnded(false);
  }
  failWith(error);
}

// What was written is told first, so that a later attempt asks for none
// of it again.
void CurlTransfer::failWith(TransferError error) {
  if (!deliverPendingData(true)) return;
  finish(false);
  delegate_.transferDidFail(error);
}

bool CurlTransfer::finish(bool keepFile, bool dropHeld) {
  if (ended_) return false;
  ended_ = true;
  multi_.stop();
  idle_.stop();
  probe_.cancel();
  retake_.cancel();
  curl_.curl_multi_remove_handle(multi_.get(), easy_);
  for (auto& part : running_) {
    curl_.curl_multi_remove_handle(multi_.get(), part->easy);
    part->idle.stop();
    if (!dropHeld && (keepFile || request_.keepPartial) && !part->body.flush()) keepFile = false;
    part->body.cancelTimer();
  }
  // What came is kept for a resume (and was delivered, before a failure).
  if (!dropHeld && (keepFile || request_.keepPartial) && !body_.flush()) keepFile = false;
  body_.cancelTimer();
  if (fd_ >= 0 && close(fd_) != 0) keepFile = false;
  fd_ = -1;
  if (!keepFile && !request_.keepPartial) unlink(request_.destination.c_str());
  return keepFile;
}

// No event follows a cancel: bytes held then could never be counted, and
// a kept file holds exactly what was.
void CurlTransfer::cancel() { finish(false, true); }

// A suffix's start is where the file must end before its body (a hole in
// front of it in a fresh file); a bounded range's body (a 206: anything
// else is the whole file, which replaces them) goes in front of bytes that
// are kept, and stops where they start.
void CurlTransfer::writeBodyAt(int64_t offset) {
  placed_ = true;
  int64_t limit = -1;
  if (request_.suffixLength > 0) {
    struct stat st;
    if (fd_ >= 0 && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size != offset &&
        ftruncate(fd_, offset) != 0)
      openErrno_ = errno;
  } else if (mainEnd_ > 0 && status_ == 206) {
    limit = mainEnd_;
  } else {
    cutFileTo(offset);
  }
  body_.place(fd_, offset, limit);
  base_ = delivered_ = offset;
}

// Only a file that is longer is cut: ext4 flushes a file truncated and
// rewritten when it is closed, which would cost a large download dearly.
void CurlTransfer::cutFileTo(int64_t length) {
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= length) return;
  if (ftruncate(fd_, length) != 0) openErrno_ = errno;
}

// Parts are possible where every byte can be asked for by place with the
// same strong validator: a 206 of a file whose ETag and length the first
// answer names. Holes left by an earlier attempt are fetched at once (they
// exist only where parts paid); else the caller is asked from time to
// time whether more connections would pay.
void CurlTransfer::beginParts(const TransferResponse& response) {
  if (response.status != 206) {
    done_.clear();  // the whole file replaces what was written
    return;
  }
  if (request_.ifRange.empty() || response.etag != request_.ifRange || !strongEtag(response.etag) ||
      response.rangeTotal <= 0 || (!request_.moreConnections && done_.empty() && others_.empty()))
    return;
  partsAllowed_ = true;
  etag_ = response.etag, total_ = response.rangeTotal;
  partUrl_ = response.url.empty() ? request_.url : response.url;
  end_ = request_.rangeEnd > 0 ? std::min(request_.rangeEnd, total_) : total_;
  if (mainEnd_ < 0) mainEnd_ = end_;
  for (int64_t at = mainEnd_; at < end_;) {  // the holes after the first request
    auto next = done_.lower_bound(at);
    int64_t stop = next == done_.end() ? end_ : std::min(next->first, end_);
    if (stop > at) pending_.push_back({at, stop - at});
    at = next == done_.end() ? end_ : next->second;
  }
  othersOn_ = !others_.empty() && end_ - request_.rangeStart >= kOtherHostsFrom;
  if (!pending_.empty()) parts_ = kHoleParts;
  assignWork();
  if (request_.moreConnections && parts_ == 0) probe_.schedule(kProbeSeconds, [this] { probe(); });
}

int64_t CurlTransfer::mainLimit() const {
  return cut_ >= 0 ? cut_ : mainEnd_ > 0 ? mainEnd_ : end_;
}

void CurlTransfer::probe() {
  if (ended_ || mainDone_ || partsOff_ || parts_ > 0) return;
  LinkSample sample;
  sample.seconds = monotonicSeconds() - bodyStart_;
  sample.bytes = int64_t(body_.received());
  sample.remaining = mainLimit() - body_.position();
  readLinkSample(multi_.socketOf(easy_), &sample);
  // Lately: against the latest probe a window back (else the body's start);
  // earlier: that probe against the latest one a window before it. The
  // probes before that one are needed no more.
  const double window = std::max(0.5, 4 * sample.minRtt);
  auto windowBack = [&](double from) {  // that probe's index + 1; 0: none
    size_t i = sampled_.size();
    while (i > 0 && from - sampled_[i - 1].seconds < window) --i;
    return i;
  };
  size_t recent = windowBack(sample.seconds);
  LinkSample since = recent > 0 ? sampled_[recent - 1] : LinkSample();
  sample.recentMaxRtt = sample.rtt;
  for (size_t i = recent > 0 ? recent - 1 : 0; i < sampled_.size(); ++i)
    sample.recentMaxRtt = std::max(sample.recentMaxRtt, sampled_[i].rtt);
  size_t earlier = recent > 0 ? windowBack(since.seconds) : 0;
  if (recent > 0 && (earlier > 0 || since.seconds >= window)) {
    LinkSample first = earlier > 0 ? sampled_[earlier - 1] : LinkSample();
    sample.earlierSegmentsIn = since.segmentsIn - first.segmentsIn;
    sample.earlierSeconds = since.seconds - first.seconds;
  }
  if (!sampled_.empty() && sampled_.back().seconds > since.seconds) {
    sample.latestSegmentsIn = sample.segmentsIn - sampled_.back().segmentsIn;
    sample.latestSeconds = sample.seconds - sampled_.back().seconds;
  }
  sampled_.erase(sampled_.begin(), sampled_.begin() + (earlier > 0 ? earlier - 1 : 0));
  sample.recentSegmentsIn = sample.segmentsIn - since.segmentsIn;
  sample.recentOutOfOrder = sample.outOfOrder - since.outOfOrder;
  sample.recentSeconds = sample.seconds - since.seconds;
  sampled_.push_back(sample);
  int more = std::min(request_.moreConnections(sample), kMaxParts);
  if (more <= 0) return probe_.schedule(kProbeSeconds, [this] { probe(); });
  parts_ = more;
  assignWork();
}

// Another host's part is asked for without a condition until the host has
// named its own ETag: hosts name one file differently.
void CurlTransfer::startPart(int64_t start, int64_t end, size_t host) {
  running_.push_back(std::make_unique<Part>(*this, start, end, host));
  Part& part = *running_.back();
  part.body.place(fd_, start);
  CurlRequestSetup setup;
  setup.url = host == 0 ? partUrl_ : others_[host - 1].url;
  setup.proxy = request_.proxy;
  setup.proxyUser = request_.proxyUser;
  setup.proxyPassword = request_.proxyPassword;
  setup.headers = {"Range: bytes=" + std::to_string(start) + "-" + std::to_string(end - 1)};
  std::string etag = host == 0 ? etag_ : others_[host - 1].etag;
  if (strongEtag(etag)) setup.headers.push_back("If-Range: " + etag);
  setup.share = connectionShare(curl_);
  setup.onHeader = onPartHeader, setup.onWrite = onPartWrite, setup.callbackData = &part;
  setup.errorBuffer = part.errorBuffer;
  setup.privateData = &part;
  part.headers = setUpRequest(curl_, part.easy, setup);
  curl_.curl_multi_add_handle(multi_.get(), part.easy);
}

size_t CurlTransfer::onPartHeader(char*, size_t size, size_t count, void* self) {
  Part& part = *static_cast<Part*>(self);
  part.idle.activity();
  return part.ended || part.owner.ended_ ? 0 : size * count;
}

size_t CurlTransfer::onPartWrite(char* data, size_t size, size_t count, void* self) {
  Part& part = *static_cast<Part*>(self);
  return part.owner.writePart(part, data, size * count);
}

// A part's answer must be exactly the bytes asked, of the same file: else
// (a 200, another ETag or length, a server that ignores If-Range) nothing
// of it is written.
size_t CurlTransfer::writePart(Part& part, const char* data, size_t length) {
  part.idle.activity();
  if (ended_ || part.ended) return 0;
  if (!part.checked) {
    TransferResponse head = readResponseHead(curl_, part.easy, partUrl_);
    part.checked = true;
    OtherHost* other = part.host > 0 ? &others_[part.host - 1] : nullptr;
    bool sameFile = other ? !other->answered || head.etag == other->etag : head.etag == etag_;
    part.refused = head.status != 206 || !sameFile || head.rangeStart != part.start ||
                   head.rangeEnd != part.asked - 1 || head.rangeTotal != total_ ||
                   (head.expectedLength >= 0 && head.expectedLength != part.asked - part.start);
    if (part.refused) return 0;
    if (other && !other->answered) {
      other->answered = true;
      other->etag = head.etag;
    }
  }
  int64_t reach = part.body.position() + int64_t(length);
  if (reach > part.limit || (reach == part.limit && part.limit < part.asked)) {
    // Up to where another connection took over; else more than asked.
    if (part.limit < part.asked && part.body.append(data, size_t(part.limit - part.body.position())))
      return 0;
    part.refused = true;
    return 0;
  }
  if (!part.body.append(data, length)) return 0;
  part.window.records.saw(part.body.position(), int64_t(length));
  if (part.limit < part.asked)
    part.window.narrow(multi_.socketOf(part.easy), part.limit - part.body.position(), part.limit);
  return length;
}

void CurlTransfer::noteWritten(Part& part) {
  int64_t written = part.body.writtenTo();
  if (written <= part.reported) return;
  int64_t& end = done_[part.reported];
  end = std::max(end, written);
  // Joined to the range it continues, so that the map stays small.
  auto it = done_.find(part.reported);
  if (it != done_.begin()) {
    auto before = std::prev(it);
    if (before->second >= it->first) {
      before->second = std::max(before->second, it->second);
      done_.erase(it);
    }
  }
  toTell_.push_back({part.reported, written - part.reported, part.host > 0});
  part.reported = written;
}

// A part that broke off leaves a hole for the next free connection; one
// refused ends parts for this transfer.
void CurlTransfer::partEnded(Part& part, CURLcode result) {
  if (ended_ || part.ended) return;
  part.body.flush();
  noteWritten(part);
  if (part.body.error()) return failWith(failureOf(CURLE_WRITE_ERROR));
  bool whole = part.body.writtenTo() >= part.limit;
  if (part.host > 0 && (part.refused || !whole || !part.checked)) return leaveHost(part);
  if (part.refused || (result == CURLE_OK && !part.checked)) return refuseParts();
  int64_t missing = part.limit - part.body.writtenTo();
  int64_t from = part.body.writtenTo();
  if (part.host > 0) {
    others_[part.host - 1].bytes += part.limit - part.start;
    others_[part.host - 1].seconds += monotonicSeconds() - part.began;
  }
  retire(part);
  if (!whole) {
    pending_.push_back({from, missing});
    if (++partFailures_ > kMaxPartFailures) {
      TransferError error = ::failureOf(curl_, part.easy, result, part.errorBuffer, partUrl_, request_.proxy);
      if (result == CURLE_OK) error.fault = TransferFault::kNetwork;
      return failWith(error);
    }
  }
  if (!deliverPendingData()) return;
  assignWork();
  if (mainDone_) mainEnded(true);
}

// Another host that answered another file, or broke off, is asked no more
// in this transfer: what its part did not bring is a hole for the others.
void CurlTransfer::leaveHost(Part& part) {
  others_[part.host - 1].off = true;
  int64_t from = part.body.writtenTo();
  if (from < part.limit) pending_.push_back({from, part.limit - from});
  retire(part);
  if (!deliverPendingData()) return;
  assignWork();
  if (mainDone_) mainEnded(true);
}

// Released from the loop: the part may be inside its own timer's event.
void CurlTransfer::retire(Part& part) {
  part.ended = true;
  part.idle.stop();
  part.body.cancelTimer();
  curl_.curl_multi_remove_handle(multi_.get(), part.easy);
  for (auto it = running_.begin(); it != running_.end(); ++it)
    if (it->get() == &part) {
      retired_.push_back(std::move(*it));
      running_.erase(it);
      break;
    }
  reap_.schedule(0, [this] { retired_.clear(); });
}

// Free connections take holes first, then pieces off the back of the
// first connection's share (never below kMinPart, and never the last
// kMinPart, which the first connection brings itself), then the back of
// the part that would end last.
void CurlTransfer::assignWork() {
  size_t host;
  while (!ended_ && !partsOff_ && (host = freeConnection()) != SIZE_MAX) {
    int64_t left = mainDone_ ? 0 : mainLimit() - body_.position();
    int64_t piece = host > 0 ? hostPiece(host, left) : std::max(kMinPart, left / (freeOwn() + 1));
    if (!pending_.empty()) {
      auto [start, length] = pending_.front();
      pending_.erase(pending_.begin());
      if (left == 0)  // shared out among the free connections, as the first split is
        piece = host > 0 ? hostPiece(host, length) : std::max(kMinPart, length / (freeOwn() + 1));
      if (length > piece + kMinPart) {
        pending_.insert(pending_.begin(), {start + piece, length - piece});
        length = piece;
      }
      startPart(start, start + length, host);
      continue;
    }
    if (left < piece + kMinPart) {
      if (takeFromSlowest(host)) continue;
      // Nothing worth taking now: a slow share may be one not under way yet,
      // or one whose speed is still unknown. Nothing else would look again
      // before another connection ends.
      retake_.schedule(kProbeSeconds, [this] { assignWork(); });
      return;
    }
    piece = pieceBeyondWindow(multi_.socketOf(easy_), left, piece, kMinPart, false);
    int64_t end = mainLimit();
    cut_ = window_.records.nearest(end - piece, body_.position(), end);
    startPart(cut_, end, host);
  }
}

// Once the first connection's share is given out, a free connection takes
// the back of the share that would end last, in proportion to their
// speeds, where that is worth a request (a slow host's part, or a first
// connection held back by loss, would hold the end). Only from past the
// window the slow share's server was offered: within it, bytes may be on
// their way or held out of order behind a loss, and a cut loses them. A
// piece off a first connection already cut short is worth a request from a
// quarter of kMinPart (it is cut once, wherever). Others lose what is on
// its way to them when they are cut, about a round trip's bytes at their
// speed: worth it from eight of those (twice kMinPart while no round trip
// was measured).
bool CurlTransfer::takeFromSlowest(size_t host) {
  Part* slowest = nullptr;
  bool main = false;
  double latest = 0, slowRate = 0, now = monotonicSeconds();
  for (const auto& part : running_) {
    double seconds = now - part->began;
    int64_t got = part->body.position() - part->start, left = part->limit - part->body.position();
    if (seconds < 0.05 || (got <= 0 && seconds < 1.0)) continue;  // not under way yet
    double rate = std::max(1.0, got / seconds);
    if (left / rate > latest) latest = left / rate, slowest = part.get(), slowRate = rate;
  }
  int64_t mainLeft = mainLimit() - body_.position();
  if (!mainDone_ && now - bodyStart_ >= 0.05) {
    double rate = std::max(1.0, body_.received() / (now - bodyStart_));
    if (mainLeft / rate > latest) main = true, slowRate = rate;
  }
  if (!slowest && !main) return false;
  double mine = host > 0 ? hostRate(host) : mainRate_;
  double share = mine > 0 ? mine / (mine + slowRate) : 0.5;
  // The slow share keeps its part, and at least what it brings in about a
  // second, while the new request is on its way.
  int64_t left = main ? mainLeft : slowest->limit - slowest->body.position();
  int64_t keep = std::max(int64_t(double(left) * (1 - share)),
                          std::min(left / 2, std::max<int64_t>(64 << 10, int64_t(slowRate))));
  int64_t piece = left - keep;
  double rtt = sampled_.empty() || !sampled_.back().measured ? 0 : sampled_.back().rtt;
  int64_t least = main && cut_ >= 0 ? kMinPart / 4
                  : rtt > 0         ? std::max(kMinPart / 4, int64_t(8 * slowRate * rtt))
                                    : 2 * kMinPart;
  if (piece < least) return false;
  piece = pieceBeyondWindow(multi_.socketOf(main ? easy_ : slowest->easy), left, piece, least, true);
  if (piece == 0) return false;
  int64_t end = main ? mainLimit() : slowest->limit;
  int64_t start = (main ? window_ : slowest->window)
                      .records.nearest(end - piece, main ? body_.position() : slowest->body.position(), end);
  (main ? cut_ : slowest->limit) = start;
  startPart(start, end, host);
  return true;
}

// The next connection that may take work (SIZE_MAX: none): another host
// with no part running, else one more to the request's own host, up to
// parts_, and one once the first connection has ended (for holes, or, with
// other hosts, for the back of the slowest part).
size_t CurlTransfer::freeConnection() const {
  std::vector<bool> busy(others_.size() + 1);
  int own = 0;
  for (const auto& part : running_) {
    if (part->host == 0) ++own;
    busy[part->host] = true;
  }
  for (size_t host = 1; othersOn_ && host <= others_.size(); ++host)
    if (!busy[host] && !others_[host - 1].off) return host;
  return own < std::max(parts_, mainDone_ && (othersOn_ || !pending_.empty()) ? 1 : 0) ? 0 : SIZE_MAX;
}

// Connections to the request's own host that may still start, beside the
// first: each free one takes an equal share of what the first has left
// (the first split shares it out evenly; a part that ends early takes half
// of the rest).
int CurlTransfer::freeOwn() const {
  int own = 0;
  for (const auto& part : running_) own += part->host == 0;
  return std::max(1, parts_ - own);
}

// Another host's piece of |left| bytes: its share of the speed it and the
// first connection have shown, so that both end together; a quarter before
// it has shown any (a host is often slower than the one first asked).
int64_t CurlTransfer::hostPiece(size_t host, int64_t left) const {
  double seconds = monotonicSeconds() - bodyStart_;
  double main = mainDone_ || seconds < 0.05 ? 0 : body_.received() / seconds, other = hostRate(host);
  double share = main > 0 && other > 0 ? other / (main + other) : 0.25;
  return std::max(kMinPart, int64_t(double(left) * share));
}

// Bytes a second of another host's parts, ended and running, from their
// requests on; 0 before it has brought any.
double CurlTransfer::hostRate(size_t host) const {
  const OtherHost& other = others_[host - 1];
  double seconds = other.seconds, now = monotonicSeconds();
  int64_t bytes = other.bytes;
  for (const auto& part : running_)
    if (part->host == host) bytes += part->body.position() - part->start, seconds += now - part->began;
  return seconds > 0.05 && bytes > 0 ? double(bytes) / seconds : 0;
}

// Parts cannot be trusted: the first connection goes on alone where its
// request reaches the end (rewriting what parts wrote, with bytes of the
// same file); otherwise the attempt fails and the caller asks again.
void CurlTransfer::refuseParts() {
  partsOff_ = true;
  parts_ = 0;
  probe_.cancel();
  while (!running_.empty()) {
    running_.front()->body.flush();
    noteWritten(*running_.front());
    retire(*running_.front());
  }
  if (!mainDone_ && mainEnd_ >= end_) {
    if (cut_ >= 0) widenReceiveWindow(multi_.socketOf(easy_));
    cut_ = -1;
    pending_.clear();
    deliverPendingData();
    return;
  }
  TransferError error;
  error.description = "The server answered a part of the file with another file or range.";
  error.failingUrl = partUrl_;
  error.fault = TransferFault::kNetwork;
  error.partsRefused = true;
  failWith(error);
}

// The first connection has ended its share (|ok|), or broke off (its rest
// becomes a hole). The transfer ends once no part runs and no hole is left.
void CurlTransfer::mainEnded(bool ok) {
  if (!mainDone_) {
    mainDone_ = true;
    double seconds = monotonicSeconds() - bodyStart_;
    if (ok && seconds > 0.05) mainRate_ = body_.received() / seconds;
    idle_.stop();
    probe_.cancel();
    curl_.curl_multi_remove_handle(multi_.get(), easy_);
    int64_t stop = mainLimit(), reached = body_.writtenTo();
    if (reached < stop) pending_.push_back({reached, stop - reached});
    assignWork();
  }
  if (ended_ || !running_.empty()) return;
  if (!pending_.empty()) {
    TransferError error;
    error.description = "Parts of the file are missing.";
    error.failingUrl = partUrl_;
    error.fault = TransferFault::kNetwork;
    return failWith(error);
  }
  if (!deliverPendingData(true)) return;
  if (finish(true)) return delegate_.transferDidFinish();
  failWith(failureOf(CURLE_WRITE_ERROR));
}

// Stands in for a transfer that cannot start (libcurl missing, a range
// that asks for nothing): fails from the loop, as a transfer would, and
// leaves the file alone.
class UnavailableTransfer : public Transfer {
 public:
  UnavailableTransfer(Loop& loop, const TransferRequest& request, TransferDelegate& delegate,
                      const std::string& why)
      : fail_(loop) {
    fail_.schedule(0, [&delegate, url = request.url, why] {
      delegate.transferDidFail({why, url, TransferFault::kOther});
    });
  }
  void cancel() override { fail_.cancel(); }
  void writeBodyAt(int64_t) override {}

 private:
  LoopCall fail_;
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
  return std::make_unique<UnavailableTransfer>(loop, request, delegate, kCurlUnavailable);
}
