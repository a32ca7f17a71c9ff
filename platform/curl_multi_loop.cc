#include "platform/curl_library.h"

CurlMultiOnLoop::CurlMultiOnLoop(const CurlLibrary& curl, Loop& loop, std::function<void()> acted)
    : curl_(curl), loop_(loop), acted_(std::move(acted)), multi_(curl.curl_multi_init()) {
  curl_.curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, onSocket);
  curl_.curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
  curl_.curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, onTimer);
  curl_.curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
}

CurlMultiOnLoop::~CurlMultiOnLoop() {
  stop();
  curl_.curl_multi_cleanup(multi_);
}

void CurlMultiOnLoop::stop() {
  stopped_ = true;
  for (auto& [fd, watch] : watches_) loop_.unwatchFd(watch);
  watches_.clear();
  if (timer_) loop_.cancelTimer(timer_);
  timer_ = 0;
}

int CurlMultiOnLoop::onSocket(CURL* easy, curl_socket_t fd, int what, void* self, void*) {
  auto& multi = *static_cast<CurlMultiOnLoop*>(self);
  if (what == CURL_POLL_REMOVE) {
    for (auto it = multi.sockets_.begin(); it != multi.sockets_.end();)
      it = it->second == fd ? multi.sockets_.erase(it) : std::next(it);
  } else {
    multi.sockets_[easy] = fd;
  }
  multi.watchSocket(fd, what);
  return 0;
}

curl_socket_t CurlMultiOnLoop::socketOf(CURL* easy) const {
  auto it = sockets_.find(easy);
  return it == sockets_.end() ? CURL_SOCKET_BAD : it->second;
}

int CurlMultiOnLoop::onTimer(CURLM*, long timeoutMs, void* self) {
  static_cast<CurlMultiOnLoop*>(self)->setTimer(timeoutMs);
  return 0;
}

void CurlMultiOnLoop::watchSocket(curl_socket_t fd, int what) {
  if (stopped_) return;
  auto it = watches_.find(fd);
  if (it != watches_.end()) {
    loop_.unwatchFd(it->second);
    watches_.erase(it);
  }
  if (what == CURL_POLL_REMOVE) return;
  int events = ((what & CURL_POLL_IN) ? Loop::kReadable : 0) |
               ((what & CURL_POLL_OUT) ? Loop::kWritable : 0);
  watches_[fd] = loop_.watchFd(fd, events, [this, fd](int ready) { act(fd, ready); });
}

void CurlMultiOnLoop::setTimer(long timeoutMs) {
  if (stopped_) return;
  if (timer_) loop_.cancelTimer(timer_);
  timer_ = 0;
  if (timeoutMs < 0) return;
  timer_ = loop_.addTimer(timeoutMs / 1000.0, [this] {
    timer_ = 0;
    act(CURL_SOCKET_TIMEOUT, 0);
  });
}

void CurlMultiOnLoop::act(curl_socket_t fd, int events) {
  int mask = ((events & Loop::kReadable) ? CURL_CSELECT_IN : 0) |
             ((events & Loop::kWritable) ? CURL_CSELECT_OUT : 0);
  int running = 0;
  curl_.curl_multi_socket_action(multi_, fd, mask, &running);
  acted_();
}
