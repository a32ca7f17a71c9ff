#ifndef SETUP_PLATFORM_CURL_LIBRARY_H_
#define SETUP_PLATFORM_CURL_LIBRARY_H_

// libcurl, loaded on the first transfer rather than linked: libcurl brings
// some thirty libraries whose loading would otherwise slow every start of
// the program, the local-archive road and its waiting user included.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>

#include <functional>
#include <map>

#include "platform/loop.h"
#include "platform/shared_library.h"

#define SETUP_CURL_FUNCTIONS(X)                                                            \
  X(curl_global_init) X(curl_easy_init) X(curl_easy_setopt) X(curl_easy_getinfo)           \
  X(curl_easy_header) X(curl_easy_pause) X(curl_easy_strerror) X(curl_easy_cleanup) X(curl_multi_init)        \
  X(curl_multi_setopt) X(curl_multi_add_handle) X(curl_multi_remove_handle)                \
  X(curl_multi_socket_action) X(curl_multi_info_read) X(curl_multi_cleanup)                \
  X(curl_slist_append) X(curl_slist_free_all) X(curl_share_init) X(curl_share_setopt)

// The libcurl functions the transfer uses, under their own names.
struct CurlLibrary {
  SETUP_CURL_FUNCTIONS(SETUP_LIBRARY_MEMBER)
};

// Loads and initializes libcurl once; null when it cannot be loaded.
const CurlLibrary* curlLibrary();

// A new share of connections, TLS sessions and resolved names; null when
// libcurl cannot make it.
CURLSH* newConnectionShare(const CurlLibrary& curl);
// The one every transfer of the process uses (range fetches have their own).
CURLSH* connectionShare(const CurlLibrary& curl);
// libcurl's socket opener, for CURLOPT_OPENSOCKETFUNCTION: close-on-exec.
curl_socket_t openSocket(void*, curlsocktype, curl_sockaddr* address);

// A multi handle driven from |loop|: it watches the sockets libcurl names
// and keeps libcurl's timer, and after each action calls |acted|, where the
// owner delivers its events outside libcurl's callbacks.
class CurlMultiOnLoop {
 public:
  CurlMultiOnLoop(const CurlLibrary& curl, Loop& loop, std::function<void()> acted);
  ~CurlMultiOnLoop();
  CurlMultiOnLoop(const CurlMultiOnLoop&) = delete;
  CurlMultiOnLoop& operator=(const CurlMultiOnLoop&) = delete;

  CURLM* get() const { return multi_; }
  // The socket |easy| runs on now, as libcurl last said; CURL_SOCKET_BAD
  // when none.
  curl_socket_t socketOf(CURL* easy) const;
  // Stops watching; what libcurl asks from then on (as its handles are
  // removed) is ignored.
  void stop();

 private:
  static int onSocket(CURL* easy, curl_socket_t fd, int what, void* self, void*);
  static int onTimer(CURLM*, long timeoutMs, void* self);
  void watchSocket(curl_socket_t fd, int what);
  void setTimer(long timeoutMs);
  void act(curl_socket_t fd, int events);

  const CurlLibrary& curl_;
  Loop& loop_;
  std::function<void()> acted_;
  CURLM* multi_;
  std::map<curl_socket_t, Loop::Handle> watches_;
  std::map<CURL*, curl_socket_t> sockets_;
  Loop::Handle timer_ = 0;
  bool stopped_ = false;
};

#endif  // SETUP_PLATFORM_CURL_LIBRARY_H_
