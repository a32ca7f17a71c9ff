#include "download/proxy_choice.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>

#include "tests/fake_net.h"

namespace {

using Strings = std::vector<std::string>;

// A transfer that ends from the loop: failing with the proxy unreachable
// when its proxy is in |unreachable|, else finishing.
class EndingTransfer : public Transfer {
 public:
  EndingTransfer(FakeLoop& loop, TransferDelegate& delegate, bool unreachable)
      : loop_(loop) {
    timer_ = loop.addTimer(1, [this, &delegate, unreachable] {
      timer_ = 0;
      if (!unreachable) return delegate.transferDidFinish();
      delegate.transferDidFail({"Could not connect", "", TransferFault::kNetwork, true});
    });
  }
  ~EndingTransfer() override { cancel(); }
  void cancel() override {
    if (timer_) loop_.cancelTimer(timer_);
    timer_ = 0;
  }
  void writeBodyAt(int64_t) override {}

 private:
  FakeLoop& loop_;
  Loop::Handle timer_ = 0;
};

// Answers from the loop, as the real one does, unless destroyed first.
class Lookup : public DesktopProxyLookup {
 public:
  Lookup(FakeLoop& loop, DesktopProxies answer, DesktopProxiesDone done) : loop_(loop) {
    timer_ = loop.addTimer(0.5, [answer, done] { done(answer); });
  }
  ~Lookup() override { loop_.cancelTimer(timer_); }

 private:
  FakeLoop& loop_;
  Loop::Handle timer_;
};

struct Ends : TransferDelegate {
  void transferDidReceiveResponse(const TransferResponse&) override {}
  void transferDidReceiveData(uint64_t) override {}
  void transferDidFinish() override { ends.push_back("finished"); }
  void transferDidFail(const TransferError& e) override {
    ends.push_back(e.proxyUnreachable ? "unreachable" : "failed");
  }
  Strings ends;
};

// The choice on fakes: an environment, a desktop that answers |answer| (or
// is never asked), and transfers that record the proxy they were given.
struct Chooser {
  explicit Chooser(std::map<std::string, std::string> environment,
               std::optional<DesktopProxies> answer = std::nullopt)
      : env(std::move(environment)) {
    ProxySources sources;
    sources.getenv = [this](const char* name) -> const char* {
      auto it = env.find(name);
      return it == env.end() ? nullptr : it->second.c_str();
    };
    if (answer) {
      sources.lookUp = [this, answer](const std::string& url, double seconds,
                                      DesktopProxiesDone done) -> std::unique_ptr<DesktopProxyLookup> {
        asked = url + " " + std::to_string(int(seconds));
        return std::make_unique<Lookup>(loop, *answer, done);
      };
    }
    choice = std::make_unique<ProxyChoice>(loop, sources, [this](const std::string& line) {
      log.push_back(line);
    });
    start = choice->through([this](const TransferRequest& request, TransferDelegate& delegate) {
      tried.push_back(request.proxy);
      return std::make_unique<EndingTransfer>(loop, delegate, unreachable.count(request.proxy) > 0);
    });
  }
  // Chooses for the archive's URL, then runs one transfer after another.
  void transfers(int count) {
    bool ready = false;
    choice->choose("https://host/agent", [&] { ready = true; });
    loop.runUntilIdle();
    ASSERT_TRUE(ready);
    for (int i = 0; i < count; ++i) {
      TransferRequest request;
      request.url = "https://host/agent";
      auto transfer = start(request, delegate);
      loop.runUntilIdle();
    }
  }

  std::map<std::string, std::string> env;
  std::set<std::string> unreachable;
  FakeLoop loop;
  std::unique_ptr<ProxyChoice> choice;
  StartTransfer start;
  Ends delegate;
  std::string asked;
  Strings log, tried;
};

DesktopProxies named(Strings proxies) { return {true, std::move(proxies), ""}; }

}  // namespace

// Each row: the environment, the desktop's answer (none: it must not be
// asked), the log line, and the proxy the transfer was given.
TEST(ProxyChoice, EnvironmentThenDesktopThenNone) {
  const std::map<std::string, std::string> desktop = {{"DISPLAY", ":0"}};
  const struct Case {
    std::string name;
    std::map<std::string, std::string> env;
    std::optional<DesktopProxies> answer;
    std::string log, proxy;
  } cases[] = {
      {"https_proxy", {{"https_proxy", "http://p:1"}, {"DISPLAY", ":0"}}, std::nullopt,
       "Proxy: as the environment says (https_proxy)", ""},
      {"several", {{"HTTPS_PROXY", "x"}, {"all_proxy", "y"}, {"NO_PROXY", "z"}}, std::nullopt,
       "Proxy: as the environment says (HTTPS_PROXY, all_proxy, NO_PROXY)", ""},
      {"empty-variable", {{"https_proxy", ""}, {"DISPLAY", ":0"}}, named({"http://d:3"}),
       "Proxy: http://d:3 (from the desktop's settings)", "http://d:3"},
      {"no-session", {}, std::nullopt,
       "Proxy: none (none in the environment, and no desktop session to ask)", ""},
      {"desktop", desktop, named({"http://user:secret@d:3", "direct://"}),
       "Proxy: http://d:3, then direct:// (from the desktop's settings)", "http://user:secret@d:3"},
      {"wayland", {{"WAYLAND_DISPLAY", "wayland-0"}}, named({"socks5://s:1080"}),
       "Proxy: socks5h://s:1080 (from the desktop's settings)", "socks5h://s:1080"},
      {"desktop-direct", {{"XDG_CURRENT_DESKTOP", "KDE"}}, named({"direct://"}),
       "Proxy: none (from the desktop's settings)", "direct://"},
      {"unknown-kind", desktop, named({"ftp://f:21", "http://d:3"}),
       "Proxy: http://d:3 (from the desktop's settings; skipped, of a kind libcurl lacks: "
       "ftp://f:21)", "http://d:3"},
      {"nothing-usable", desktop, named({"ftp://f:21"}),
       "Proxy: none (the desktop's settings name no usable proxy; skipped, of a kind libcurl "
       "lacks: ftp://f:21)", ""},
      {"no-answer", desktop, DesktopProxies{false, {}, "no answer within 5 s"},
       "Proxy: none (the desktop's settings could not be read: no answer within 5 s)", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Chooser run(c.env, c.answer);
    run.transfers(1);
    EXPECT_EQ(run.asked, c.answer ? "https://host/agent 5" : "");
    EXPECT_EQ(run.log, Strings{c.log});
    EXPECT_EQ(run.tried, Strings{c.proxy});
    EXPECT_EQ(run.delegate.ends, Strings{"finished"});
  }
}

// A proxy that cannot be reached hands the transfer to the next one named;
// later transfers start with the one that worked. When none is left, the
// failure is the transfer's, and the next starts from the first again.
TEST(ProxyChoice, UnreachableProxyHandsOverToTheNext) {
  const struct Case {
    std::string name;
    std::set<std::string> unreachable;
    Strings tried, ends;
    size_t logLines;
  } cases[] = {
      {"first-works", {}, {"http://a:1", "http://a:1"}, {"finished", "finished"}, 1},
      {"second-works", {"http://a:1"}, {"http://a:1", "http://b:2", "http://b:2"},
       {"finished", "finished"}, 2},
      {"direct-last", {"http://a:1", "http://b:2"},
       {"http://a:1", "http://b:2", "direct://", "direct://"}, {"finished", "finished"}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Chooser run({{"DISPLAY", ":0"}}, named({"http://a:1", "http://b:2", "direct://"}));
    run.unreachable = c.unreachable;
    run.transfers(2);
    EXPECT_EQ(run.tried, c.tried);
    EXPECT_EQ(run.delegate.ends, c.ends);
    ASSERT_EQ(run.log.size(), c.logLines);
    if (c.logLines > 1) {
      EXPECT_EQ(run.log[1], "Proxy http://a:1 cannot be reached (Could not connect); trying http://b:2");
    }
  }
  Chooser run({{"DISPLAY", ":0"}}, named({"http://a:1", "http://b:2"}));
  run.unreachable = {"http://a:1", "http://b:2"};
  run.transfers(2);
  EXPECT_EQ(run.tried, (Strings{"http://a:1", "http://b:2", "http://a:1", "http://b:2"}));
  EXPECT_EQ(run.delegate.ends, (Strings{"unreachable", "unreachable"}));
}

// A decision cancelled while the desktop is asked never calls back.
TEST(ProxyChoice, CancelledLookupNeverCallsBack) {
  Chooser run({{"DISPLAY", ":0"}}, named({"http://a:1"}));
  bool ready = false;
  run.choice->choose("https://host/agent", [&] { ready = true; });
  run.choice->cancel();
  run.loop.runUntilIdle();
  EXPECT_FALSE(ready);
  EXPECT_EQ(run.log, Strings{});
}

TEST(ProxyChoice, LogLinesCarryNoCredentials) {
  const std::pair<std::string, std::string> cases[] = {
      {"http://user:pw@proxy:8080", "http://proxy:8080"},
      {"socks5h://u@s:1080/", "socks5h://s:1080/"},
      {"http://proxy:8080", "http://proxy:8080"},
      {"http://proxy:8080/a@b", "http://proxy:8080/a@b"},
      {"direct://", "direct://"},
  };
  for (const auto& [proxy, shown] : cases) EXPECT_EQ(proxyForLog(proxy), shown) << proxy;
}
