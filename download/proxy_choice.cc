#include "download/proxy_choice.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "download/transfer_relay.h"

namespace {

// The variables libcurl reads; like libcurl, HTTP_PROXY only in lower case
// (a CGI program gets the request's Proxy header under that name).
const char* const kProxyVariables[] = {"https_proxy", "HTTPS_PROXY", "http_proxy", "all_proxy",
                                       "ALL_PROXY",   "no_proxy",    "NO_PROXY"};

// Any of them in a session started by a desktop, or with a display.
const char* const kSessionVariables[] = {"XDG_CURRENT_DESKTOP", "DISPLAY", "WAYLAND_DISPLAY"};

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// A proxy GIO names as libcurl takes it, or empty when libcurl has no such
// kind. GIO's SOCKS 5 proxy resolves host names itself, as libcurl's
// "socks5h" does.
std::string forCurl(const std::string& proxy) {
  for (const char* same : {"direct://", "http://", "https://", "socks4://", "socks4a://"})
    if (startsWith(proxy, same)) return proxy;
  for (const char* socks5 : {"socks5://", "socks://"})
    if (startsWith(proxy, socks5)) return "socks5h://" + proxy.substr(proxy.find("://") + 3);
  return "";
}

// |text| as a URL's user name or password holds it.
std::string percentEncoded(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : text) {
    if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') encoded += char(c);
    else encoded += {'%', kHex[c >> 4], kHex[c & 15]};
  }
  return encoded;
}

// GNOME's user name and password in the URL of an HTTP proxy that is the
// one they were set for (GIO adds them only where it answers for http://
// URLs), unless the URL has its own; libcurl percent-decodes them.
std::string withDesktopLogin(const std::string& proxy, const DesktopProxies& answer) {
  if (answer.loginUser.empty() || proxyForLog(proxy) != proxy) return proxy;
  std::string authority = answer.loginHost + ":" + std::to_string(answer.loginPort);
  for (const char* scheme : {"http://", "https://"})
    if (proxy == scheme + authority || proxy == scheme + authority + "/")
      return scheme + percentEncoded(answer.loginUser) + ":" +
             percentEncoded(answer.loginPassword) + "@" + proxy.substr(strlen(scheme));
  return proxy;
}

}  // namespace

std::string proxyForLog(const std::string& proxy) {
  size_t scheme = proxy.find("://");
  size_t start = scheme == std::string::npos ? 0 : scheme + 3;
  size_t at = proxy.rfind('@', proxy.find('/', start));
  if (at == std::string::npos || at < start) return proxy;
  return proxy.substr(0, start) + proxy.substr(at + 1);
}

// One transfer through the chosen proxies in turn.
class ProxyChoice::Proxied : public TransferRelay {
 public:
  Proxied(ProxyChoice& choice, StartTransfer start, const TransferRequest& request,
          TransferDelegate& delegate)
      : TransferRelay(delegate), choice_(choice), start_(std::move(start)), request_(request),
        next_(choice.loop_) {
    startThrough(choice_.proxies_[choice_.current_]);
  }
  ~Proxied() override { cancel(); }

  void cancel() override {
    next_.cancel();
    TransferRelay::cancel();
  }

 private:
  // The transfer this replaces is released here, from the loop, not inside
  // one of its own events.
  void startThrough(const std::string& proxy) {
    request_.proxy = proxy;
    transfer_ = start_(request_, *this);
  }

  void transferDidFail(const TransferError& error) override {
    std::string next = error.proxyUnreachable ? choice_.nextAfter(request_.proxy) : "";
    if (next.empty()) return delegate_.transferDidFail(error);
    choice_.log_("Proxy " + proxyForLog(request_.proxy) + " cannot be reached (" +
                 error.description + "); trying " + proxyForLog(next));
    next_.schedule(0, [this, next] { startThrough(next); });
  }

  ProxyChoice& choice_;
  StartTransfer start_;
  TransferRequest request_;
  LoopCall next_;
};

ProxyChoice::ProxyChoice(Loop& loop, ProxySources sources,
                         std::function<void(const std::string&)> log)
    : loop_(loop), sources_(std::move(sources)), log_(std::move(log)) {
  if (!sources_.getenv) sources_.getenv = [](const char* name) -> const char* { return ::getenv(name); };
  if (!log_) log_ = [](const std::string&) {};
}

ProxyChoice::~ProxyChoice() = default;

std::string ProxyChoice::variablesSet() const {
  std::string names;
  for (const char* name : kProxyVariables) {
    const char* value = sources_.getenv(name);
    if (value && *value) names += (names.empty() ? "" : ", ") + std::string(name);
  }
  return names;
}

bool ProxyChoice::desktopSession() const {
  for (const char* name : kSessionVariables) {
    const char* value = sources_.getenv(name);
    if (value && *value) return true;
  }
  return false;
}

void ProxyChoice::choose(const std::string& url, std::function<void()> ready) {
  cancel();
  proxies_.clear();
  current_ = 0;
  std::string variables = variablesSet();
  if (!variables.empty()) {
    log_("Proxy: as the environment says (" + variables + ")");
    return ready();
  }
  if (!sources_.lookUp || !desktopSession()) {
    log_("Proxy: none (none in the environment, and no desktop session to ask)");
    return ready();
  }
  ready_ = std::move(ready);
  lookup_ = sources_.lookUp(url, kDesktopDeadline,
                            [this](const DesktopProxies& answer) { desktopAnswered(answer); });
}

void ProxyChoice::cancel() {
  lookup_.reset();
  ready_ = nullptr;
}

void ProxyChoice::desktopAnswered(const DesktopProxies& answer) {
  std::function<void()> ready = std::move(ready_);
  ready_ = nullptr;
  lookup_.reset();
  std::string named, skipped;
  for (const std::string& proxy : answer.proxies) {
    std::string usable = forCurl(proxy);
    if (usable.empty()) {
      skipped += (skipped.empty() ? "" : ", ") + proxyForLog(proxy);
    } else {
      named += (named.empty() ? "" : ", then ") + proxyForLog(usable);
      proxies_.push_back(withDesktopLogin(usable, answer));
    }
  }
  if (!skipped.empty()) skipped = "; skipped, of a kind libcurl lacks: " + skipped;
  if (!answer.answered)
    log_("Proxy: none (the desktop's settings could not be read: " + answer.why + ")");
  else if (proxies_.empty())
    log_("Proxy: none (the desktop's settings name no usable proxy" + skipped + ")");
  else if (proxies_ == std::vector<std::string>{"direct://"})
    log_("Proxy: none (from the desktop's settings)");
  else
    log_("Proxy: " + named + " (from the desktop's settings" + skipped + ")");
  if (ready) ready();
}

std::string ProxyChoice::nextAfter(const std::string& proxy) {
  size_t failed = 0;
  while (failed < proxies_.size() && proxies_[failed] != proxy) ++failed;
  if (failed + 1 < proxies_.size()) {
    current_ = failed + 1;
    return proxies_[current_];
  }
  current_ = 0;
  return "";
}

StartTransfer ProxyChoice::through(StartTransfer start) {
  return [this, start](const TransferRequest& request,
                       TransferDelegate& delegate) -> std::unique_ptr<Transfer> {
    if (proxies_.empty()) return start(request, delegate);
    return std::make_unique<Proxied>(*this, start, request, delegate);
  };
}
