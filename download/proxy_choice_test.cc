#include "download/proxy_choice.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>

#include "tests/fake_net.h"

namespace {

using Strings = std::vector<std::string>;
using Env = std::map<std::string, std::string>;

// The choice with an environment, a desktop that answers |answer| (none:
// it must not be asked), and transfers that record their proxy and fail
// with it unreachable when it is in |down|, else finish.
struct Chooser : TransferDelegate {
  Chooser(Env environment, std::optional<DesktopProxies> answer) : env(std::move(environment)) {
    ProxySources sources;
    sources.getenv = [this](const char* name) {
      return env.count(name) ? env[name].c_str() : nullptr;
    };
    if (answer) sources.lookUp = [this, answer](const std::string& url, double seconds, auto done) {
      asked = url + " " + std::to_string(int(seconds));
      return std::make_unique<Pending>(loop, [answer, done] { done(*answer); });
    };
    auto logged = [this](const std::string& line) { log.push_back(line); };
    choice = std::make_unique<ProxyChoice>(loop, sources, logged);
    start = choice->through([this](const TransferRequest& request, TransferDelegate& delegate) {
      tried.push_back(request.proxy);
      return std::make_unique<Pending>(loop, [&delegate, unreachable = down.count(request.proxy)] {
        if (!unreachable) return delegate.transferDidFinish();
        delegate.transferDidFail({"Could not connect", "", TransferFault::kNetwork, true});
      });
    });
  }
  void transferDidReceiveResponse(const TransferResponse&) override {}
  void transferDidReceiveData(uint64_t) override {}
  void transferDidWriteRange(int64_t, int64_t, bool) override {}
  void transferDidFinish() override { ends.push_back("finished"); }
  void transferDidFail(const TransferError& e) override {
    ends.push_back(e.proxyUnreachable ? "unreachable" : "failed");
  }

  Env env;
  std::set<std::string> down;
  FakeLoop loop;
  std::unique_ptr<ProxyChoice> choice;
  StartTransfer start;
  std::string asked;  // the URL and deadline the desktop was asked for
  Strings log, tried, ends;
};

DesktopProxies named(Strings proxies) { return {true, std::move(proxies), ""}; }

}  // namespace

// Each row: the environment, the desktop's answer (none: it must not be
// asked), the log line (no password in it), and the proxy of two transfers
// in a row, GNOME's user name and password in the URL of the proxy they
// were set for. A proxy that cannot be reached (|down|) hands the transfer to
// the next one named, and later transfers start there; with none left the
// transfer fails, and the next starts from the first again. A cancelled
// lookup never calls back, and nothing is logged. (A desktop
// that says "none", and https_proxy winning over it, run with GIO in
// Proxy.EnvironmentFirstThenTheDesktopsSettings.)
TEST(ProxyChoice, EnvironmentThenDesktopThenNoneAndUnreachableHandsOver) {
  const Env session = {{"DISPLAY", ":0"}};
  const auto ab = named({"http://a:1", "http://b:2"});
  const DesktopProxies gnomeLogin = {true, {"http://d:3", "http://e:4"}, "", "d", 3, "u", "p@ss:w"};
  const std::string ablog = "Proxy: http://a:1, then http://b:2 (from the desktop's settings)",
                    handover = "Proxy http://a:1 cannot be reached (Could not connect); "
                               "trying http://b:2";
  const struct Case {
    Env env; std::optional<DesktopProxies> answer; Strings log, tried;
    std::set<std::string> down = {}; Strings ends = {"finished", "finished"}; bool cancel = false;
  } cases[] = {
      {{{"HTTPS_PROXY", "x"}, {"all_proxy", "y"}, {"NO_PROXY", "z"}, {"DISPLAY", ":0"}}, {},
       {"Proxy: as the environment says (HTTPS_PROXY, all_proxy, NO_PROXY)"}, {"", ""}},
      {{}, {}, {"Proxy: none (none in the environment, and no desktop session to ask)"}, {"", ""}},
      {{{"https_proxy", ""}, {"DISPLAY", ":0"}}, named({"http://user:secret@d:3", "direct://"}),
       {"Proxy: http://d:3, then direct:// (from the desktop's settings)"},
       {"http://user:secret@d:3", "http://user:secret@d:3"}},
      {session, gnomeLogin, {"Proxy: http://d:3, then http://e:4 (from the desktop's settings)"},
       Strings(2, "http://u:p%40ss%3Aw@d:3")},
      {{{"WAYLAND_DISPLAY", "wayland-0"}}, named({"socks5://s:1080"}),
       {"Proxy: socks5h://s:1080 (from the desktop's settings)"}, Strings(2, "socks5h://s:1080")},
      {session, named({"ftp://f:21", "http://d:3"}),
       {"Proxy: http://d:3 (from the desktop's settings; skipped, of a kind libcurl lacks: "
        "ftp://f:21)"}, {"http://d:3", "http://d:3"}},
      {session, named({"ftp://f:21"}),
       {"Proxy: none (the desktop's settings name no usable proxy; skipped, of a kind libcurl "
        "lacks: ftp://f:21)"}, {"", ""}},
      {session, DesktopProxies{false, {}, "no answer within 5 s"},
       {"Proxy: none (the desktop's settings could not be read: no answer within 5 s)"}, {"", ""}},
      {session, ab, {ablog, handover}, {"http://a:1", "http://b:2", "http://b:2"}, {"http://a:1"}},
      {session, ab, {ablog, handover, handover},
       {"http://a:1", "http://b:2", "http://a:1", "http://b:2"}, {"http://a:1", "http://b:2"},
       {"unreachable", "unreachable"}}, {session, ab, {}, {}, {}, {}, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log.empty() ? "cancelled" : c.log[0]);
    Chooser run(c.env, c.answer); run.down = c.down;
    // Chooses for the archive's URL (or starts to, then is cancelled), then
    // runs two transfers in a row once ready (each lives until the loop is idle).
    bool ready = false;
    run.choice->choose("https://host/agent", [&] { ready = true; });
    if (c.cancel) run.choice->cancel();
    run.loop.runUntilIdle();
    for (int i = 0; ready && i < 2; ++i) run.start(TransferRequest(), run), run.loop.runUntilIdle();
    EXPECT_EQ(run.asked, c.answer ? "https://host/agent 5" : "");
    EXPECT_EQ(std::tie(run.log, run.tried, run.ends), std::tie(c.log, c.tried, c.ends));
  }
}
