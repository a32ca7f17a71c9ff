#ifndef SETUP_DOWNLOAD_PROXY_LOGIN_H_
#define SETUP_DOWNLOAD_PROXY_LOGIN_H_

#include <functional>
#include <set>
#include <string>

#include "display/window.h"
#include "download/proxy_choice.h"
#include "platform/loop.h"
#include "platform/transfer.h"

// Where a proxy's credentials come from besides its URL. Tests give fakes.
struct ProxyLoginSources {
  std::function<const char*(const char*)> getenv;  // null: the process's environment
  // Asks a person for the user name and password of the proxy at |host|;
  // |again|: those sent were refused. |answer| comes later, from the loop.
  // False: nobody can be asked. Null: the same.
  std::function<bool(const std::string& host, bool again, ProxyLoginAnswer answer)> ask;
};

// Answers a proxy that asks who the user is (HTTP 407). libcurl answers it
// first, with what it has: the user name and password in the proxy's URL
// (Basic, Digest or NTLM, whichever the proxy asks), else the user's
// Kerberos ticket where the proxy asks Negotiate. When the proxy still
// answers 407, a person at the window is asked, one dialog at a time for
// every transfer waiting, and the transfers start again with what was typed,
// as do all later ones of the run; a refused answer asks again, at most
// kMaxAsks times in a row. Where nobody can be asked, or when the person has
// been asked enough, the transfer fails with kProxyAuth, the proxy named.
// The typed credentials live in memory only, are never logged, and are
// cleared when the login is destroyed.
class ProxyLogin {
 public:
  static constexpr int kMaxAsks = 3;

  ProxyLogin(Loop& loop, ProxyLoginSources sources, std::function<void(const std::string&)> log);
  ~ProxyLogin();
  ProxyLogin(const ProxyLogin&) = delete;
  ProxyLogin& operator=(const ProxyLogin&) = delete;

  // |start| with every request carrying the typed credentials, if any, and
  // a transfer the proxy refused started again, from the loop, once a person
  // has answered; its delegate hears only of the last.
  StartTransfer through(StartTransfer start);
  // Puts the typed credentials, if any, on a request for |url| through
  // |proxy| (as TransferRequest::proxy); returns the proxy to use instead,
  // without the user name and password of its URL, which would win.
  std::string sign(const std::string& url, const std::string& proxy, std::string* user,
                   std::string* password) const;

 private:
  class Authenticated;
  // The proxy a request for |url| through |proxy| goes through, as a URL:
  // |proxy|, else the environment's as libcurl reads it; empty: none.
  std::string proxyFor(const std::string& url, const std::string& proxy) const;
  // |waiter|'s proxy refused what it sent (|generation|): it waits for an
  // answer (true) or must fail.
  bool refused(Authenticated* waiter, const std::string& host, int generation, bool sent);
  void answered(std::string& user, std::string& password);

  Loop& loop_;
  ProxyLoginSources sources_;
  std::function<void(const std::string&)> log_;
  std::string user_, password_;  // typed; empty: none yet
  int generation_ = 0;           // how many answers have been typed
  int asks_ = 0;                 // asked in a row without a transfer getting through
  bool asking_ = false;          // a dialog is open
  std::set<Authenticated*> waiting_;
};

// Overwrites |secret|'s bytes before letting it go.
void wipe(std::string& secret);

#endif  // SETUP_DOWNLOAD_PROXY_LOGIN_H_
