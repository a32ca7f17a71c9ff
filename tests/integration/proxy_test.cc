// The proxy a run goes through: the environment's, else the desktop's
// settings (GNOME's, which GIO reads here from a keyfile, so that no desktop
// is needed), through fault_server.py's CONNECT tunnels on 127.0.0.1 to nginx.

#include <gmock/gmock.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <regex>

#include "platform/loop.h"
#include "platform/transfer.h"
#include "tests/integration/harness.h"

using namespace ::testing;

namespace {

std::string portOf(const std::string& url) {
  return url.substr(url.rfind(':') + 1, url.find('/', url.rfind(':')) - url.rfind(':') - 1);
}

// The fault server's plain listener, which opens CONNECT tunnels.
std::string proxyPort() {
  std::string ports = servers().faults->out();
  size_t space = ports.find(' ');
  return ports.substr(space + 1, ports.find('\n') - space - 1);
}
std::string proxyUrl() { return "http://127.0.0.1:" + proxyPort(); }

// A port on 127.0.0.1 nobody listens on.
std::string deadPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return std::to_string(ntohs(address.sin_port));
}

// The targets and answers of the tunnels opened so far, "127.0.0.1:P 200".
Strings tunnels() {
  Result r = runSetup({{"PATH", getenv("PATH")}},
                      {"curl", "-s", "--cacert", servers().cert, servers().faultUrl + "log/CONNECT"});
  Strings found;
  std::regex line(R"re(\{"connect": "([^"]*)", "status": (\d+)\})re");
  for (std::sregex_iterator it(r.out.begin(), r.out.end(), line), end; it != end; ++it)
    found.push_back((*it)[1].str() + " " + (*it)[2].str());
  return found;
}

Strings tunnelsSince(size_t before) {
  Strings all = tunnels();
  return Strings(all.begin() + std::min(before, all.size()), all.end());
}

// GNOME's proxy settings as GIO's keyfile backend reads them: |mode|, and
// with "manual" the HTTPS proxy on 127.0.0.1:|port|. The stock ignore-hosts
// would skip 127.0.0.0/8.
void desktopSettings(World& w, const std::string& mode, const std::string& port) {
  std::string config = w.root / "config";
  fs::create_directories(config + "/glib-2.0/settings");
  writeFile(config + "/glib-2.0/settings/keyfile",
            "[system/proxy]\nmode='" + mode + "'\nignore-hosts=@as []\n"
            "[system/proxy/https]\nhost='127.0.0.1'\nport=" + port + "\n");
  w.env["XDG_CONFIG_HOME"] = config;
  w.env["GSETTINGS_BACKEND"] = "keyfile";
  w.env["XDG_CURRENT_DESKTOP"] = "GNOME";  // GIO's GNOME resolver, not libproxy's
}

bool gnomeProxySupport() {
  return pathExists("/usr/share/glib-2.0/schemas/org.gnome.system.proxy.gschema.xml") &&
         shell("ls /usr/lib/*/gio/modules/libgiognomeproxy.so") == 0;
}

// Records the delegate calls of one transfer and stops the loop at its end.
struct Ended : TransferDelegate {
  void transferDidReceiveResponse(const TransferResponse&) override {}
  void transferDidReceiveData(uint64_t) override {}
  void transferDidFinish() override { finished = true, loop->stop(); }
  void transferDidFail(const TransferError& e) override { error = e, loop->stop(); }
  Loop* loop = nullptr;
  bool finished = false;
  TransferError error;
};

}  // namespace

// Each row: the desktop's settings, the environment's proxy variables, the
// log line that says which decided, and whether the archive and its
// signature came through the tunnel. A run with the desktop's proxy on a
// dead port would fail: the environment must win for it to pass.
TEST(Proxy, EnvironmentFirstThenTheDesktopsSettings) {
  if (!gnomeProxySupport()) GTEST_SKIP() << "no gsettings-desktop-schemas or glib-networking";
  if (shell("command -v minisign") != 0) GTEST_SKIP() << "no minisign";
  Servers& s = servers();
  ScratchDir keys;
  makeMinisignKeys(keys.path(), {"k"});
  std::string file = s.publish("proxied.zip", "proxied");
  signWithMinisign(keys / "k.sec", file);
  const std::string proxy = proxyUrl(), dead = deadPort();
  const struct Case {
    std::string name, mode, port;
    Env env;
    std::string log;
    bool tunnelled;
  } cases[] = {
      {"desktop", "manual", proxyPort(), {}, "Proxy: " + proxy + " (from the desktop's settings)", true},
      {"desktop-none", "none", proxyPort(), {}, "Proxy: none (from the desktop's settings)", false},
      {"environment-proxy", "manual", dead, {{"https_proxy", proxy}},
       "Proxy: as the environment says (https_proxy)", true},
      {"environment-direct", "manual", proxyPort(), {{"no_proxy", "127.0.0.1"}},
       "Proxy: as the environment says (no_proxy)", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    writeFile(w.res + "/InstallAgent.pub", readFile(keys / "k.pub"));
    w.download(s.nginxUrl + "proxied.zip");
    desktopSettings(w, c.mode, c.port);
    for (const auto& [name, value] : c.env) w.env[name] = value;
    size_t before = tunnels().size();
    Result r = w.run({"x"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(w.runs(), Strings{"proxied"});
    EXPECT_THAT(r.err, HasSubstr(c.log + "\n"));
    std::string through = "127.0.0.1:" + portOf(s.nginxUrl) + " 200";
    EXPECT_EQ(tunnelsSince(before), c.tunnelled ? (Strings{through, through}) : Strings{});
  }
}

// The transfer's proxy field, with the real libcurl: a proxy that cannot be
// reached says so; "direct://" goes direct whatever the environment says;
// empty leaves the environment to libcurl.
TEST(Proxy, TransferGoesThroughTheProxyItIsGiven) {
  Servers& s = servers();
  writeFile(s.www + "/through.txt", "0123456789");
  const std::string proxy = proxyUrl(), dead = "http://127.0.0.1:" + deadPort();
  const struct Case {
    std::string proxy;
    const char* environment;
    bool finished, unreachable;
    size_t tunnels;
  } cases[] = {
      {proxy, nullptr, true, false, 1},
      {dead, nullptr, false, true, 0},
      {"direct://", dead.c_str(), true, false, 0},
      {"", proxy.c_str(), true, false, 1},
      {"", nullptr, true, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.proxy + " " + (c.environment ? c.environment : "-"));
    ScopedEnv ca("CURL_CA_BUNDLE", s.cert.c_str()), variable("https_proxy", c.environment);
    TransferRequest request;
    request.url = s.nginxUrl + "through.txt";
    request.destination = s.dir / "through";
    request.proxy = c.proxy;
    std::unique_ptr<Loop> loop = newPollLoop();
    Ended ended;
    ended.loop = loop.get();
    size_t before = tunnels().size();
    auto running = startTransfer(*loop, request, ended);
    loop->addTimer(20, [&] { loop->stop(); });
    loop->run();
    EXPECT_EQ(ended.finished, c.finished) << ended.error.description;
    EXPECT_EQ(ended.error.proxyUnreachable, c.unreachable);
    EXPECT_EQ(ended.error.fault, c.unreachable ? TransferFault::kNetwork : TransferFault::kOther);
    EXPECT_EQ(tunnelsSince(before).size(), c.tunnels);
  }
}
