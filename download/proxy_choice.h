#ifndef SETUP_DOWNLOAD_PROXY_CHOICE_H_
#define SETUP_DOWNLOAD_PROXY_CHOICE_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/loop.h"
#include "platform/proxy.h"
#include "platform/transfer.h"

// Where the proxy comes from. Tests give fakes.
struct ProxySources {
  std::function<const char*(const char*)> getenv;  // null: the process's environment
  // Asks the desktop's settings (lookUpDesktopProxies on the run's loop);
  // null: there is no desktop to ask.
  std::function<std::unique_ptr<DesktopProxyLookup>(const std::string& url, double seconds,
                                                    DesktopProxiesDone done)>
      lookUp;
};

using StartTransfer =
    std::function<std::unique_ptr<Transfer>(const TransferRequest&, TransferDelegate&)>;

// Which proxy the run's transfers go through. The environment comes first,
// as libcurl reads it: when any of its proxy variables is set, libcurl
// decides, as it always has. Otherwise, in a desktop session, the desktop's
// settings for the archive's URL: a program started from the desktop has
// no proxy variables, because GNOME and KDE keep the proxy in their own
// settings. The first proxy named is used; a transfer that cannot reach it
// tries the next, and so on. Otherwise, or when the desktop gives no answer
// within kDesktopDeadline seconds (a PAC script may fetch from the
// network), no proxy. One line to the log says which source decided.
class ProxyChoice {
 public:
  static constexpr double kDesktopDeadline = 5.0;

  ProxyChoice(Loop& loop, ProxySources sources, std::function<void(const std::string&)> log);
  ~ProxyChoice();
  ProxyChoice(const ProxyChoice&) = delete;
  ProxyChoice& operator=(const ProxyChoice&) = delete;

  // Decides for the transfers to |url| (and the files beside it), then
  // calls |ready|: at once when nothing need be asked, else from the loop.
  void choose(const std::string& url, std::function<void()> ready);
  // Forgets a decision under way: |ready| is not called.
  void cancel();

  // |start| with every request sent through the chosen proxy, and a
  // transfer whose proxy cannot be reached started again, from the loop,
  // through the next one; its delegate hears only of the last.
  StartTransfer through(StartTransfer start);
  // The proxy a new request goes through (as TransferRequest::proxy).
  std::string current() const { return proxies_.empty() ? "" : proxies_[current_]; }

 private:
  class Proxied;
  std::string variablesSet() const;
  bool desktopSession() const;
  void desktopAnswered(const DesktopProxies& answer);
  // After |proxy| could not be reached: the proxy to try next, or empty
  // when none is left (the next transfer then starts from the first).
  std::string nextAfter(const std::string& proxy);

  Loop& loop_;
  ProxySources sources_;
  std::function<void(const std::string&)> log_;
  std::unique_ptr<DesktopProxyLookup> lookup_;
  std::function<void()> ready_;
  std::vector<std::string> proxies_;  // the desktop's; empty: libcurl reads the environment
  size_t current_ = 0;                // the one a transfer starts with
};

// A proxy URL as a person may read it in a log: without user name and password.
std::string proxyForLog(const std::string& proxy);

#endif  // SETUP_DOWNLOAD_PROXY_CHOICE_H_
