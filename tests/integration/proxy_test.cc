// The proxy a run goes through: the environment's, else the desktop's
// settings (GNOME's, which GIO reads here from a keyfile, so that no desktop
// is needed), through fault_server.py's CONNECT tunnels on 127.0.0.1 to nginx.

#include "tests/integration/harness.h"

// Each row: GNOME's proxy mode (manual: to 127.0.0.1:port), the
// environment's variables, the log line that says which decided, and
// whether the archive came through the tunnel (each transfer of a run goes
// through the same choice: ProxyChoice's table). With the desktop's proxy
// on a dead port, a run passes only if the environment wins.
TEST(Proxy, EnvironmentFirstThenTheDesktopsSettings) {
  if (shell("ls /usr/share/glib-2.0/schemas/org.gnome.system.proxy.gschema.xml "
            "/usr/lib/*/gio/modules/libgiognomeproxy.so") != 0)
    GTEST_SKIP() << "no gsettings-desktop-schemas or glib-networking";
  Servers& s = servers();
  s.publish("proxied.zip", "proxied");
  // The fault server's plain listener, which opens CONNECT tunnels: the
  // second port it printed ("<https port> <http port>\n").
  std::string port = std::to_string(std::stoi(s.faults->out().substr(s.faults->out().find(' '))));
  const std::string proxy = "http://127.0.0.1:" + port, env = "Proxy: as the environment says (";
  const struct { std::string mode, port; Env env; std::string log; bool tunnelled; } cases[] = {
      {"manual", port, {}, "Proxy: " + proxy + " (from the desktop's settings)", true},
      {"none", port, {}, "Proxy: none (from the desktop's settings)", false},
      {"manual", loopbackPort(), {{"https_proxy", proxy}}, env + "https_proxy)", true},
      {"manual", port, {{"no_proxy", "127.0.0.1"}}, env + "no_proxy)", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log); World w; w.download(s.nginxUrl + "proxied.zip");
    // GIO's keyfile backend; the stock ignore-hosts would skip 127.0.0.0/8,
    // and GNOME's resolver (not libproxy's) reads it on a GNOME desktop.
    fs::create_directories(w.root / "config/glib-2.0/settings");
    writeFile(w.root / "config/glib-2.0/settings/keyfile",
              "[system/proxy]\nmode='" + c.mode + "'\nignore-hosts=@as []\n"
              "[system/proxy/https]\nhost='127.0.0.1'\nport=" + c.port + "\n");
    w.env.insert({{"XDG_CONFIG_HOME", w.root / "config"}, {"GSETTINGS_BACKEND", "keyfile"},
                  {"XDG_CURRENT_DESKTOP", "GNOME"}});
    w.env.insert(c.env.begin(), c.env.end());
    // The fault server's log of the tunnels it opened, one JSON object each.
    size_t before = faultLog("CONNECT").size(); Result r = w.run({"x"});
    std::string tunnel = "{\"connect\": \"" + s.nginxUrl.substr(8, s.nginxUrl.size() - 9) +
                         "\", \"status\": 200}\n";
    std::string opened = faultLog("CONNECT").substr(before);
    EXPECT_EQ(std::make_tuple(r.status, w.runs(), has(r.err, c.log + "\n"), opened),
              std::make_tuple(0, Strings{"proxied"}, true, c.tunnelled ? tunnel : "")) << r.err;
  }
}
