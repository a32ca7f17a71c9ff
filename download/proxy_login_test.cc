#include "download/proxy_login.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "tests/fake_net.h"

namespace {

using Strings = std::vector<std::string>;
using Typed = std::optional<std::pair<std::string, std::string>>;

// A proxy that lets through user "u" with password "right", from the
// request's fields or its URL (the URL's win, as in libcurl), and refuses
// anything else with 407: as a failed tunnel for https, as a response for
// http. A person who types the |typed| answers in turn (none: nobody can be
// asked).
struct LoginRun : TransferDelegate {
  LoginRun(std::map<std::string, std::string> environment, std::vector<Typed> answers)
      : env(std::move(environment)), typed(std::move(answers)) {
    ProxyLoginSources sources;
    sources.getenv = [this](const char* name) { return env.count(name) ? env[name].c_str() : nullptr; };
    sources.ask = [this](const std::string& host, bool again, ProxyLoginAnswer answer) {
      if (asks.size() >= typed.size() || !typed[asks.size()]) return false;
      auto [user, password] = *typed[asks.size()];
      asks.push_back(host + (again ? " again" : ""));
      loop.addTimer(1, [=]() mutable { answer(user, password); });
      return true;
    };
    login = std::make_unique<ProxyLogin>(loop, sources, [this](const std::string& l) { log.push_back(l); });
    start = login->through([this](const TransferRequest& r, TransferDelegate& d) {
      std::string url = r.proxy.empty() ? env.count("https_proxy") ? env["https_proxy"] : env["http_proxy"] : r.proxy;
      bool inUrl = url.find('@') != std::string::npos;
      bool through = inUrl ? url.find("u:right@") != std::string::npos
                           : r.proxyUser == "u" && r.proxyPassword == "right";
      tried.push_back(r.proxy + " " + r.proxyUser + ":" + r.proxyPassword);
      bool http = r.url.compare(0, 5, "http:") == 0;
      return std::make_unique<Pending>(loop, [&d, through, http, this] {
        if (through) return d.transferDidFinish();
        if (http) return d.transferDidReceiveResponse(status(407));
        d.transferDidFail({"CONNECT tunnel failed, response 407", "", TransferFault::kProxyAuth});
      });
    });
  }
  struct Pending : Transfer {
    Pending(FakeLoop& loop, std::function<void()> end) : loop(loop), timer(loop.addTimer(1, end)) {}
    ~Pending() override { cancel(); }
    void cancel() override { loop.cancelTimer(timer); }
    void writeBodyAt(int64_t) override {}
    FakeLoop& loop; Loop::Handle timer;
  };
  void transferDidReceiveResponse(const TransferResponse&) override { ends.push_back("response"); }
  void transferDidReceiveData(uint64_t) override {}
  void transferDidFinish() override { ends.push_back("finished"); }
  void transferDidFail(const TransferError& e) override {
    ends.push_back(e.fault == TransferFault::kProxyAuth
                       ? e.askingProxy + (e.credentialsRefused ? " refused" : " none") : "other");
    descriptions.push_back(e.description);
  }

  std::map<std::string, std::string> env;
  std::vector<Typed> typed;
  FakeLoop loop;
  std::unique_ptr<ProxyLogin> login;
  StartTransfer start;
  Strings asks, tried, ends, log, descriptions;
};

const Typed right = std::make_pair("u", "right"), wrong = std::make_pair("u", "wrong");

}  // namespace

// Each row: the environment, the request's proxy (the desktop's), the
// answers a person types (none: a terminal), then who was asked, what each
// attempt sent (proxy, user:password) and how the transfer ended. Typed
// credentials replace a URL's own, which libcurl would prefer; asking stops
// after ProxyLogin::kMaxAsks refusals. No password is ever logged or said.
TEST(ProxyLogin, AsksWhenTheProxyRefusesAndStartsAgainWithTheAnswer) {
  const std::string https = "https://host/agent";
  const struct Case {
    std::map<std::string, std::string> env; std::string proxy, url; std::vector<Typed> typed;
    Strings asks, tried, ends;
  } cases[] = {
      {{{"https_proxy", "http://u:right@p:3128"}}, "", https, {}, {}, {" :"}, {"finished"}},
      {{{"https_proxy", "http://p:3128"}}, "", https, {}, {}, {" :"}, {"p:3128 none"}},
      {{{"https_proxy", "http://u:wrong@p:3128/"}}, "", https, {std::nullopt}, {}, {" :"},
       {"p:3128 refused"}},
      {{{"https_proxy", "http://p:3128"}}, "", https, {right}, {"p:3128"}, {" :", " u:right"},
       {"finished"}},
      {{{"https_proxy", "http://u:wrong@p:3128"}}, "", https, {right}, {"p:3128 again"},
       {" :", "http://p:3128 u:right"}, {"finished"}},
      {{}, "http://q:8080", https, {wrong, right}, {"q:8080", "q:8080 again"},
       {"http://q:8080 :", "http://q:8080 u:wrong", "http://q:8080 u:right"}, {"finished"}},
      {{}, "http://q:8080", https, {wrong, wrong, wrong, right},
       {"q:8080", "q:8080 again", "q:8080 again"},
       {"http://q:8080 :", "http://q:8080 u:wrong", "http://q:8080 u:wrong", "http://q:8080 u:wrong"},
       {"q:8080 refused"}},
      {{{"http_proxy", "http://p:3128"}}, "", "http://host/agent", {right}, {"p:3128"},
       {" :", " u:right"}, {"finished"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tried.back());
    LoginRun run(c.env, c.typed);
    TransferRequest request;
    request.url = c.url, request.proxy = c.proxy;
    auto transfer = run.start(request, run);
    run.loop.runUntilIdle();
    EXPECT_EQ(std::tie(run.asks, run.tried, run.ends), std::tie(c.asks, c.tried, c.ends));
    for (const Strings* said : {&run.log, &run.descriptions})
      for (const std::string& line : *said)
        EXPECT_EQ(line.find("right") + line.find("wrong"), 2 * std::string::npos) << line;
  }
}

// Transfers refused at once share one dialog and all start again with its
// answer, as do later ones; one cancelled while it waits never starts again.
TEST(ProxyLogin, OneDialogForEveryTransferWaitingAndCancelledOnesStayEnded) {
  LoginRun run({{"https_proxy", "http://p:3128"}}, {right});
  TransferRequest request;
  request.url = "https://host/agent";
  auto first = run.start(request, run), second = run.start(request, run),
       third = run.start(request, run);
  run.loop.runUntilIdle(3);  // the three refusals
  third->cancel();
  run.loop.runUntilIdle();
  auto later = run.start(request, run);
  run.loop.runUntilIdle();
  EXPECT_EQ(run.asks, Strings{"p:3128"});
  EXPECT_EQ(run.tried, (Strings{" :", " :", " :", " u:right", " u:right", " u:right"}));
  EXPECT_EQ(run.ends, Strings(3, "finished"));
}
