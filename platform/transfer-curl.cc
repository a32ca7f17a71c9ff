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
#include <map>
#include <vector>

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

// The Range header's value for |request|, empty when it asks for the whole.
std::string rangeOf(const TransferRequest& request) {
  if (request.suffixLength > 0) return "bytes=-" + std::to_string(request.suffixLength);
  if (request.rangeEnd > 0)
    return "bytes=" + std::to_string(request.rangeStart) + "-" + std::to_string(request.rangeEnd - 1);
  if (request.rangeStart > 0) return "bytes=" + std::to_string(request.rangeStart) + "-";
  return "";
}

// One request into a file, on a multi handle of its own.
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
  std::string range = rangeOf(request_);
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
  if (openErrno_ || !body_.append(data, length)) return 0;
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
    if (message->msg == CURLMSG_DONE) deliverEnd(message->data.result);
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
  }
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
  if (!responseDelivered_) return true;
  if (uint64_t bytes = body_.takeWritten()) delegate_.transferDidReceiveData(bytes);
  return !ended_;
}

void CurlTransfer::deliverEnd(CURLcode result) {
  // A body that ends before its Content-Length, the connection closed
  // cleanly, is delivered as it came: the caller compares the count with
  // the announced length and continues it.
  if (result == CURLE_PARTIAL_FILE && responseDelivered_) {
    TransferResponse head = readResponseHead(curl_, easy_, request_.url);
    if (head.expectedLength >= 0 || head.badLength) result = CURLE_OK;
  }
  if (result == CURLE_OK && !responseDelivered_) deliverResponse();
  // What came before a failure counts too: a resume starts after it.
  if (!deliverPendingData(true)) return;
  if (result == CURLE_OK && !body_.error() && !body_.overrun() && fd_ >= 0 && finish(true)) {
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
  if (!deliverPendingData(true)) return;
  TransferError error;
  error.description = description;
  error.failingUrl = request_.url;
  error.fault = TransferFault::kIdle;
  finish(false);
  delegate_.transferDidFail(error);
}

bool CurlTransfer::finish(bool keepFile, bool dropHeld) {
  if (ended_) return false;
  ended_ = true;
  multi_.stop();
  idle_.stop();
  curl_.curl_multi_remove_handle(multi_.get(), easy_);
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
  } else if (request_.rangeEnd > 0 && status_ == 206) {
    limit = request_.rangeEnd;
  } else {
    cutFileTo(offset);
  }
  body_.place(fd_, offset, limit);
}

// Only a file that is longer is cut: ext4 flushes a file truncated and
// rewritten when it is closed, which would cost a large download dearly.
void CurlTransfer::cutFileTo(int64_t length) {
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= length) return;
  if (ftruncate(fd_, length) != 0) openErrno_ = errno;
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
