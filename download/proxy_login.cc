#include "download/proxy_login.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "download/transfer_relay.h"

namespace {

// The proxy's URL without its scheme, user name, password and path.
std::string hostOfProxy(const std::string& proxy) {
  std::string bare = proxyForLog(proxy);
  size_t scheme = bare.find("://");
  if (scheme != std::string::npos) bare.erase(0, scheme + 3);
  return bare.substr(0, bare.find('/'));
}

bool hasUserInfo(const std::string& proxy) { return proxyForLog(proxy) != proxy; }

}  // namespace

void wipe(std::string& secret) {
  if (!secret.empty()) explicit_bzero(&secret[0], secret.size());
  secret.clear();
}

// One transfer, started again with typed credentials when its proxy
// refuses what it had.
class ProxyLogin::Authenticated : public TransferRelay {
 public:
  Authenticated(ProxyLogin& login, StartTransfer start, const TransferRequest& request,
                TransferDelegate& delegate)
      : TransferRelay(delegate), login_(login), start_(std::move(start)), original_(request),
        next_(login.loop_) {
    startNow();
  }
  ~Authenticated() override {
    cancel();
    wipe(request_.proxyUser);
    wipe(request_.proxyPassword);
  }

  void cancel() override {
    next_.cancel();
    login_.waiting_.erase(this);
    TransferRelay::cancel();
  }

  // From the loop: the transfer this replaces is released there, not inside
  // one of its own events.
  void resume() {
    next_.schedule(0, [this] { startNow(); });
  }

 private:
  void startNow() {
    wipe(request_.proxyUser);
    wipe(request_.proxyPassword);
    request_ = original_;
    generation_ = login_.generation_;
    request_.proxy =
        login_.sign(request_.url, request_.proxy, &request_.proxyUser, &request_.proxyPassword);
    transfer_ = start_(request_, *this);
  }

  // A plain-http request through the proxy hears its 407 as a response.
  void transferDidReceiveResponse(const TransferResponse& response) override {
    if (response.status == 407) {
      transfer_->cancel();
      return proxyRefused({"The proxy answered with HTTP status 407.", response.url,
                           TransferFault::kProxyAuth});
    }
    login_.asks_ = 0;  // through: a later refusal starts the count anew
    delegate_.transferDidReceiveResponse(response);
  }
  void transferDidFail(const TransferError& error) override {
    if (error.fault != TransferFault::kProxyAuth) return delegate_.transferDidFail(error);
    proxyRefused(error);
  }

  void proxyRefused(TransferError error) {
    std::string host = hostOfProxy(login_.proxyFor(request_.url, request_.proxy));
    bool sent = !request_.proxyUser.empty() || hasUserInfo(login_.proxyFor(request_.url, request_.proxy));
    if (login_.refused(this, host, generation_, sent)) return;
    error.askingProxy = host;
    error.credentialsRefused = sent;
    error.description = sent ? "The proxy " + host +
                                   " did not accept the user name and password (HTTP 407)."
                             : "The proxy " + host + " asks for a user name and password (HTTP 407).";
    delegate_.transferDidFail(error);
  }

  ProxyLogin& login_;
  StartTransfer start_;
  const TransferRequest original_;
  TransferRequest request_;
  LoopCall next_;
  int generation_ = 0;  // of the credentials this attempt sent
};

ProxyLogin::ProxyLogin(Loop& loop, ProxyLoginSources sources,
                       std::function<void(const std::string&)> log)
    : loop_(loop), sources_(std::move(sources)), log_(std::move(log)) {
  if (!sources_.getenv) sources_.getenv = [](const char* name) -> const char* { return ::getenv(name); };
  if (!log_) log_ = [](const std::string&) {};
}

ProxyLogin::~ProxyLogin() {
  wipe(user_);
  wipe(password_);
}

StartTransfer ProxyLogin::through(StartTransfer start) {
  return [this, start](const TransferRequest& request,
                       TransferDelegate& delegate) -> std::unique_ptr<Transfer> {
    return std::make_unique<Authenticated>(*this, start, request, delegate);
  };
}

// libcurl's own order: the scheme's variable, then all_proxy. A request
// that got a 407 went through a proxy, so no_proxy did not apply to it.
std::string ProxyLogin::proxyFor(const std::string& url, const std::string& proxy) const {
  if (proxy == "direct://") return "";
  if (!proxy.empty()) return proxy;
  bool https = strncasecmp(url.c_str(), "https:", 6) == 0;
  std::vector<const char*> names = https ? std::vector<const char*>{"https_proxy", "HTTPS_PROXY"}
                                         : std::vector<const char*>{"http_proxy"};
  names.insert(names.end(), {"all_proxy", "ALL_PROXY"});
  for (const char* name : names) {
    const char* value = sources_.getenv(name);
    if (value && *value) return value;
  }
  return "";
}

std::string ProxyLogin::sign(const std::string& url, const std::string& proxy, std::string* user,
                             std::string* password) const {
  std::string through = proxyFor(url, proxy);
  if (user_.empty() || through.empty()) return proxy;
  *user = user_;
  *password = password_;
  // The environment's proxy stays libcurl's to read (no_proxy with it)
  // unless its URL holds a user name, which would win over the typed one.
  if (proxy.empty() && !hasUserInfo(through)) return proxy;
  return proxyForLog(through);
}

bool ProxyLogin::refused(Authenticated* waiter, const std::string& host, int generation,
                         bool sent) {
  if (generation < generation_) {  // someone typed newer credentials meanwhile
    waiter->resume();
    return true;
  }
  waiting_.insert(waiter);
  if (asking_) return true;
  auto answer = [this](std::string& user, std::string& password) { answered(user, password); };
  if (asks_ >= kMaxAsks || !sources_.ask || !sources_.ask(host, sent, answer)) {
    waiting_.erase(waiter);
    asks_ = 0;  // Try Again asks anew
    return false;
  }
  asking_ = true;
  ++asks_;
  log_("Proxy " + host + (sent ? " did not accept the user name and password"
                               : " asks for a user name and password") +
       " (HTTP 407): asking.");
  return true;
}

void ProxyLogin::answered(std::string& user, std::string& password) {
  asking_ = false;
  wipe(user_);
  wipe(password_);
  user_.swap(user);
  password_.swap(password);
  wipe(user);
  wipe(password);
  ++generation_;
  std::set<Authenticated*> waiting;
  waiting.swap(waiting_);
  for (Authenticated* waiter : waiting) waiter->resume();
}
