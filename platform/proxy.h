#ifndef SETUP_PLATFORM_PROXY_H_
#define SETUP_PLATFORM_PROXY_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/loop.h"

// The desktop's proxy settings as GIO's default proxy resolver reads them:
// GNOME's settings, KDE's through libproxy, and PAC scripts where
// glib-networking is installed. GIO (libgio-2.0.so.0) is loaded by the
// first lookup, on the lookup's own thread, rather than linked, so that the
// program runs without it and a run that never asks does not pay for it.

// What one lookup found: the proxies for the URL in the resolver's order,
// as URLs ("http://host:port", "socks5://host:port", "direct://" for a
// direct connection); or, with |answered| false, why there is no answer.
struct DesktopProxies {
  bool answered = false;
  std::vector<std::string> proxies;
  std::string why;
  // GNOME's user name and password for its HTTP proxy (settings
  // org.gnome.system.proxy.http, when use-authentication is on), and that
  // proxy's host and port; GIO itself puts them only into the proxy it
  // names for http:// URLs. Empty user: none.
  std::string loginHost = {};
  int loginPort = 0;
  std::string loginUser = {}, loginPassword = {};
};

// A lookup under way. Destroying it forgets the lookup (its thread may run
// on until GIO returns, and its answer is dropped).
class DesktopProxyLookup {
 public:
  virtual ~DesktopProxyLookup() = default;
};

using DesktopProxiesDone = std::function<void(const DesktopProxies& answer)>;

// Asks GIO for the proxies of |url| on a thread of its own, so that the
// loop goes on while a PAC script fetches what it needs. Calls |done| once,
// on the loop's thread, with the answer, or unanswered when GIO cannot be
// loaded, the lookup fails, or |seconds| pass first. |done| may destroy the
// lookup.
std::unique_ptr<DesktopProxyLookup> lookUpDesktopProxies(Loop& loop, const std::string& url,
                                                         double seconds, DesktopProxiesDone done);

// The file name lookUpDesktopProxies loads, for messages.
extern const char kGioLibraryName[];

#endif  // SETUP_PLATFORM_PROXY_H_
