#include "download/proxy_login.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "tests/fake_net.h"

namespace {

using Strings = std::vector<std::string>;
using Typed = std::optional<std::pair<std::string, std::string>>;  // none: nobody to ask
const Typed right = std::make_pair("u", "right"), wrong = std::make_pair("u", "wrong");

// A proxy that lets user "u" with password "right" in the request's fields
// through, unless a URL holds others (they win, as in libcurl), and refuses
// anything else with 407: a failed tunnel for https, a response for http. A
// person types the |typed| answers in turn.
struct LoginRun : TransferDelegate {
  LoginRun(std::map<std::string, std::string> environment, std::vector<Typed> answers)
      : env(std::move(environment)), typed(std::move(answers)) {
    ProxyLoginSources sources{[this](const char* name) { return env.count(name) ? env[name].c_str() : nullptr; },
      [this](const std::string& host, bool again, ProxyLoginAnswer answer) {
        if (asks.size() >= typed.size() || !typed[asks.size()]) return false;
        auto [user, password] = *typed[asks.size()];
        asks.push_back(host + (again ? " again" : ""));
        return loop.addTimer(1, [=]() mutable { answer(user, password); }), true;
      }};
    login = std::make_unique<ProxyLogin>(loop, sources, [this](const std::string& l) { log += l; });
    start = login->through([this](const TransferRequest& r, TransferDelegate& d) {
      std::string url = r.proxy.empty() ? env["https_proxy"] + env["http_proxy"] : r.proxy;
      bool through = r.proxyUser + ":" + r.proxyPassword == "u:right" && url.find('@') == url.npos;
      tried.push_back(r.proxy + " " + r.proxyUser + ":" + r.proxyPassword);
      return std::make_unique<Pending>(loop, [&d, through, http = r.url[4] == ':'] {
        if (through) return d.transferDidFinish();
        if (http) return d.transferDidReceiveResponse(status(407));
        d.transferDidFail({"CONNECT tunnel failed, response 407", "", TransferFault::kProxyAuth});
      });
    });
  }
  void transferDidReceiveResponse(const TransferResponse&) override { ends.push_back("response"); }
  void transferDidReceiveData(uint64_t) override {}
  void transferDidWriteRange(int64_t, int64_t, bool) override {}
  void transferDidFinish() override { ends.push_back("finished"); }
  void transferDidFail(const TransferError& e) override {
    ends.push_back(e.askingProxy + (e.credentialsRefused ? " refused" : " none"));
    log += e.description;
  }
  std::map<std::string, std::string> env;
  std::vector<Typed> typed;
  FakeLoop loop;
  std::unique_ptr<ProxyLogin> login;
  StartTransfer start;
  Strings asks, tried, ends;
  std::string log;  // and the failures' descriptions
};

}  // namespace

// Each row: the environment, the request's proxy (the desktop's), the URL,
// the answers typed, how many transfers start at once (the last cancelled
// while it waits when there are three), then who was asked, what each
// attempt sent (proxy, user:password) and how each transfer ended. Asking
// stops after kMaxAsks refusals (and nobody to ask fails at once); typed
// credentials replace a URL's, which libcurl would prefer; the transfers
// waiting share one dialog; a cancelled one never starts again. No password
// is logged or said. (URL credentials and the dialog against squid:
// ProxyAuth.UrlCredentialsPassWindowAsksTerminalSaysWhatToSet.)
TEST(ProxyLogin, AsksWhenTheProxyRefusesAndStartsAgainWithTheAnswer) {
  const std::string https = "https://host/agent";
  const struct Case {
    std::map<std::string, std::string> env; std::string proxy, url; std::vector<Typed> typed;
    int transfers; Strings asks, tried, ends;
  } cases[] = {
      {{}, "http://q:8080", https, {wrong, wrong, wrong, right}, 1,
       {"q:8080", "q:8080 again", "q:8080 again"},
       {"http://q:8080 :", "http://q:8080 u:wrong", "http://q:8080 u:wrong", "http://q:8080 u:wrong"},
       {"q:8080 refused"}},
      {{{"https_proxy", "http://u:wrong@p:3128/"}}, "", https, {std::nullopt}, 1, {}, {" :"},
       {"p:3128 refused"}},
      {{{"http_proxy", "http://p:3128"}}, "", "http://host/agent", {wrong, right}, 1,
       {"p:3128", "p:3128 again"}, {" :", " u:wrong", " u:right"}, {"finished"}},
      {{{"https_proxy", "http://u:wrong@p:3128"}}, "", https, {right}, 3, {"p:3128 again"},
       {" :", " :", " :", "http://p:3128 u:right", "http://p:3128 u:right"}, {"finished", "finished"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tried.back());
    LoginRun run(c.env, c.typed);
    TransferRequest request;
    request.url = c.url, request.proxy = c.proxy;
    std::vector<std::unique_ptr<Transfer>> transfers;
    for (int i = 0; i < c.transfers; ++i) transfers.push_back(run.start(request, run));
    run.loop.runUntilIdle(c.transfers);  // the first refusals
    if (c.transfers == 3) transfers.back()->cancel();
    run.loop.runUntilIdle();
    EXPECT_EQ(std::tie(run.asks, run.tried, run.ends), std::tie(c.asks, c.tried, c.ends));
    EXPECT_EQ(run.log.find("right") + run.log.find("wrong"), 2 * std::string::npos) << run.log;
  }
}
