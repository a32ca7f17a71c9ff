// The program as a user runs it: local and downloaded agents, the cache,
// broken downloads, signals, kills and overlapping runs.

#include <regex>

#include "tests/integration/harness.h"

const Strings kEmpty, kBare = {"installagent"};
// The general lines a download's failure ends with, after its cause and advice.
const std::string kFailed = "\nError during the download process.\n"
                            "See your system log for more information.\n";
// How a cancelled run's standard error ends, after "Cancelled (SIGINT)" or the like.
const std::string kCancelled = " before the installer started.\nInstallation failed.\n";
// The last |n| bytes of |s|, all of it when shorter.
std::string tail(const std::string& s, size_t n) { return s.substr(s.size() - std::min(s.size(), n)); }

// Hostile HOME, TMPDIR and resource directory in both layouts: the agent
// is unpacked into a private directory in TMPDIR, removed afterwards;
// InstallAgent.zip wins over InstallAgent_*.zip, which serves alone.
TEST(LocalRoad, AgentGetsTheBundleAndEveryArgumentUnchanged) {
  for (bool app : {false, true}) {
    SCOPED_TRACE(app); World w(app, kHostile);
    Strings names = {"InstallAgent_A.zip", "InstallAgent.zip", "InstallAgent_Z.zip"};
    for (const std::string& name : app ? Strings{"InstallAgent_R7.zip"} : names)
      makeZip(w.res + "/" + name, {{"install", agentScript(name)}});
    Result r = w.run(kArgs);
    EXPECT_EQ(std::make_tuple(r.status, r.out + r.err, w.args(), w.runs(),
                              readFile(w.out + "/self").substr(0, w.tmp.size() + 3)),
              std::make_tuple(0, "", w.expected(kArgs),
                              Strings{app ? "InstallAgent_R7.zip" : "InstallAgent.zip"}, w.tmp + "/zv"));
    expectLeft(w, kEmpty);
  }
}

// A corrupt archive, a directory in its place, no unzip on PATH: three
// lines. An archive that unpacks but has no "install" at its top level
// says so in one.
TEST(LocalRoad, ArchiveThatDoesNotUnpackOrHasNoInstallFails) {
  const std::string unpack = "\nFailed to unzip the install agent\n"
                             "Failed to initialize the install agent.\nInstallation failed.\n",
                    noInstall = "The installer archive has no install script at its top level.\n"
                                "Installation failed.\n";
  for (int fault : {0, 1, 2, 3}) {
    SCOPED_TRACE(fault); World w;
    std::string zip = w.res + "/InstallAgent.zip";
    if (fault == 0) writeFile(zip, "not a zip archive");
    if (fault == 1) fs::create_directory(zip);
    if (fault >= 2) makeZip(zip, {{fault == 2 ? "install" : "install.sh", agentScript("v1")}});
    // PATH only HOME, holding a shell but no unzip.
    if (fault == 2) fs::create_symlink("/bin/sh", (w.env["PATH"] = w.home) + "/sh");
    Result r = w.run({"a"});
    const std::string end = fault == 3 ? noInstall : unpack;
    EXPECT_EQ(std::make_tuple(r.status, fault == 3 ? r.err : tail(r.err, end.size()), w.runs(),
                              tree(w.tmp)), std::make_tuple(255, end, kEmpty, kEmpty));
  }
}

// With a display, the download shows in the window module, which the
// program loads at run time (in a build with sanitizers, an instrumented
// module in an instrumented program); after the hand-off the window goes
// and the run ends by itself. The window's Cancel (Escape presses it) ends
// the run as Ctrl-C does: the same status and last lines, so that whoever
// started the program can tell a cancel from a failure; Return, pressed
// first, cancels nothing. SETUP_NO_WINDOW shows the terminal display
// instead of a window nobody may close: a failed run ends at once.
TEST(DownloadRoad, WindowModuleShowsTheDownloadWithADisplay) {
  if (system("command -v Xvfb >/dev/null && command -v xdotool >/dev/null") != 0)
    GTEST_SKIP() << "no Xvfb or no xdotool (Debian packages xvfb, xdotool)";
  Proc xvfb(kXvfb, {{"PATH", getenv("PATH")}});
  ASSERT_TRUE(waitUntil([&] { return has(xvfb.out(), "\n"); }, 20)) << xvfb.err();
  servers().publish("windowed.zip", "windowed", 1 << 20);
  servers().publish("cancelled.zip", "cancelled", 4 << 20);
  World w; w.download(servers().faultUrl + "serve/windowed.zip?pace=50");
  w.env["DISPLAY"] = ":" + xvfb.out().substr(0, xvfb.out().find('\n'));
  Proc run(w.argv({}), w.env);
  std::string maps = "/proc/" + std::to_string(run.pid) + "/maps"; bool loaded = false;
  waitUntil([&] { return (loaded = loaded || has(readFile(maps), "/libsetup-gtk.so")) || run.ended(); }, 30);
  Result r = run.finish(30);
  // Not the terminal's status lines.
  EXPECT_EQ(std::make_tuple(loaded, r.status, has(r.err, "Downloading "), w.runs()),
            std::make_tuple(true, 0, false, Strings{"windowed"})) << r.err;
  w.download(servers().faultUrl + "serve/cancelled.zip?pace=200");
  Proc cancelled(w.argv({}), w.env);
  // Keys go to the window once it is shown and has the focus (no window
  // manager gives it). Were it gone after Return, the search for it fails.
  for (const char* key : {"Return", "Escape"})
    EXPECT_EQ(Proc({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^Installer$",
                    "windowfocus", "--sync", "key", key}, w.env).finish(20).status, 0) << key;
  r = cancelled.finish(20);
  const std::string end = "\nCancelled (SIGINT)" + kCancelled;
  EXPECT_EQ(std::make_tuple(r.status, tail(r.err, end.size()), w.runs()),
            std::make_tuple(130, end, Strings{"windowed"})) << r.err;
  w.env["SETUP_NO_WINDOW"] = "1", w.download(servers().faultUrl + "status/404");
  r = w.run({}, 20);
  EXPECT_EQ(std::make_tuple(r.status, r.seconds < 10, has(r.err, kFailed)),
            std::make_tuple(255, true, true)) << r.err;
}

// Broken, stalled or cancelled downloads: their lines, status 255 or
// 128 + n, and no stamp or agent; what a cancel interrupted stays in the
// cache to be continued. The stall is the one test of the real idle limit:
// a minute without a byte of the body is not tried again. (Each signal's
// cancel while unpacking: lifecycle_test.cc.)
TEST(DownloadRoad, BrokenDownloadsFailAndLeaveNothing) {
  Servers& s = servers();
  s.publish("fault.zip", "v1", 3 << 20), writeFile(s.www + "/notzip.zip", std::string(65536, 'x'));
  makeZip(s.www + "/noinstall.zip", {{"install.sh", agentScript("v1")}});
  const std::string kDownloadFailed = "Download failed! Error - ";
  // Under the red text: what happened, with the host, and what to do.
  auto said = [&](const std::string& url, const std::string& cause, const std::string& advice) {
    std::string host = url.substr(8, url.find('/', 8) - 8), at = url.substr(url.rfind('/'));
    return at + "\n" + std::regex_replace(cause, std::regex("HOST"), host) + "\n" + advice +
           kFailed + "Installation failed.\n";
  };
  // Why it failed, what standard error ends with (after a redirect: holds),
  // a signal to send once the body flows, whether the body stalls.
  struct Fault { std::string url, why, tail; int signal = 0; bool stalls = false; };
  const std::string stall = s.faultUrl + "stall/fault.zip", missing = s.faultUrl + "status/404";
  const Fault faults[] = {
      {missing, kDownloadFailed + "The server answered with HTTP status 404. ", said(missing,
       "The server HOST does not have the installer (HTTP status 404).", "Contact the vendor.")},
      {s.faultUrl + "to-http/fault.zip", kDownloadFailed + "Protocol \"http\" not supported",
       "/plain/fault.zip\nThe connection to " +
           s.faultUrl.substr(8, s.faultUrl.find(':', 8) - 8)},  // where it led
      {s.nginxUrl + "fault.zip", kDownloadFailed + "SSL certificate problem",
       said(s.nginxUrl + "fault.zip", "The connection to HOST cannot be trusted.",
            "Check the computer's date and the network; if it goes on, contact the vendor.")},
      {s.nginxUrl + "notzip.zip", "Downloading ", "\nThe installer could not be unpacked.\nContact "
       "the vendor.\nFailed to unzip the installer.\nInstallation failed.\n"},
      {s.nginxUrl + "noinstall.zip", "Initializing the installer", "\nThe installer archive has "
       "no install script at its top level.\nContact the vendor.\nInstallation failed.\n"},
      {s.faultUrl + "serve/fault.zip?status=503&times=9&retry_after=30",  // the wait ends with the run
       "Download interrupted: The server answered with HTTP status 503. Retrying in 30 s. ",
       "Cancelled (SIGTERM)" + kCancelled, SIGTERM},
      {s.faultUrl + "slow/fault.zip", "Downloading ", "Cancelled (SIGINT)" + kCancelled, SIGINT},
      {stall, "Cannot reach ", said(stall, "Cannot reach HOST.", "Check the network connection or "
       "the proxy settings, then run the installer again."), 0, true}};
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.url + " " + std::to_string(f.signal)); World w; w.download(f.url);
    if (has(f.why, "SSL")) w.env.erase("CURL_CA_BUNDLE");  // the system's anchors only
    Proc setup(w.argv({"a"}), w.env);
    if (f.signal && waitUntil([&] { return has(setup.err(), f.why); }, 9))
      usleep(500000), kill(setup.pid, f.signal);
    Result r = setup.finish(90);
    const bool ends = has(f.url, "to-http") ? has(r.err, f.tail) : tail(r.err, f.tail.size()) == f.tail;
    EXPECT_EQ(std::make_tuple(r.status, has(r.err, f.why), ends, w.runs(),
                              r.seconds < (f.stalls ? 65 : 20), r.seconds > 60),
              std::make_tuple(f.signal ? 128 + f.signal : 255, true, true, kEmpty, true, f.stalls))
        << r.err;
    // Only SIGINT comes once bytes came: they stay, to be continued.
    expectLeft(w, f.signal == SIGINT ? Strings{".part", ".part.info", "installagent"} : kBare);
  }
}

// A planted agent whose stamp matches the server's ETag runs only from a
// private, whole cache. One open to others at any level below HOME down to
// the cache directory is neither read nor written; how a level is open: 1 a
// symbolic link, 2 another owner, else the mode that lets others write. A
// damaged one (a stamp that is a FIFO or endless, no agent, an agent
// directory that is a link to another one; with no stamp, a kept part that
// is a FIFO, a second hard link or a symbolic link) gets the fresh agent as
// with no cached one, the run neither blocking nor writing through a link,
// and what was in the part's place replaced (by a part that, empty, goes).
TEST(CachePrivacy, PlantedAgentRunsOnlyFromAPrivateWholeCache) {
  std::string file = servers().publish("fresh.zip", "fresh");
  ScratchDir elsewhere; writeFile(elsewhere / "install", agentScript("planted"));
  struct Row { std::string level; int how; std::string damage; };
  std::vector<Row> rows;
  for (const char* damage : {"", "fifo stamp", "endless stamp", "no agent", "linked agent",
                             "fifo part", "linked part", "symlinked part"})
    rows.push_back({"", 0, damage});
  std::string path = "/" + INSTALLER_CACHE_DIR + "/";
  for (size_t end = path.find('/', 1); end != std::string::npos; end = path.find('/', end + 1))
    for (int how : {1, 2, 0770, 0707})
      if (path[end - 1] != '/') rows.push_back({path.substr(0, end), how, ""});
  for (const auto& [level, how, damage] : rows) {
    SCOPED_TRACE(level + " " + std::to_string(how) + " " + damage);
    World w; w.download(servers().nginxUrl + "fresh.zip");
    std::string agent = w.cache() + "installagent", stamp = w.cache() + ".validatestring";
    std::string part = w.cache() + ".part", precious = w.home + "/precious", dir = w.home + level;
    fs::create_directories(agent), writeFile(agent + "/install", agentScript("planted"));
    if (damage == "fifo stamp") mkfifo(stamp.c_str(), 0600);
    if (damage == "endless stamp") writeFile(stamp, std::string(64 << 20, 'e'));
    if (damage.empty() || has(damage, "agent")) writeFile(stamp, Servers::etag(file));
    if (damage == "no agent") fs::remove(agent + "/install");
    if (damage == "linked agent") fs::remove_all(agent);
    if (damage == "linked agent") fs::create_directory_symlink(elsewhere.path(), agent);
    ASSERT_EQ(damage == "fifo part" ? mkfifo(part.c_str(), 0600) : 0, 0);
    writeFile(precious, "precious");
    if (damage == "linked part") fs::create_hard_link(precious, part);
    if (damage == "symlinked part") fs::create_symlink(precious, part);
    if (how == 1) fs::rename(dir, dir + "-"), fs::create_directory_symlink(dir + "-", dir);
    if (how == 2 && geteuid() != 0) continue;  // only root can give a directory away
    ASSERT_EQ(how == 2 ? chown(dir.c_str(), 12345, 12345) : 0, 0) << "cannot chown " << dir;
    if (how > 2) fs::permissions(dir, fs::perms(how));
    Result r = w.run({"a"}, 20);
    std::string warning = "The installer cache " + w.cache() + " is not private to this user";
    // An open cache keeps what it had; a damaged one gets the fresh agent.
    const bool fresh = how || !damage.empty();
    EXPECT_EQ(std::make_tuple(r.status, r.err.rfind(warning + "; it is not used.\n", 0) == 0,
                              w.runs(), w.args(), readFile(agent + "/install"), w.stamp(),
                              readFile(precious)),
              std::make_tuple(0, how != 0, Strings{fresh ? "fresh" : "planted"}, w.expected({"a"}),
                              agentScript(damage.empty() ? "planted" : "fresh"),
                              Servers::etag(file), "precious")) << r.err;
    expectLeft(w, {".validatestring", "installagent", "installagent/install"});
  }
  EXPECT_EQ(readFile(elsewhere / "install"), agentScript("planted"));
}

// Runs killed at any moment, the program alone or with its children, never
// leave a partial agent that a later run starts.
TEST(Robustness, KilledRunsNeverLeaveAPartialAgent) {
  std::string file = servers().publish("killed.zip", "v1", 6 << 20);
  World w; w.download(servers().nginxUrl + "killed.zip");
  Result whole = w.run();
  ASSERT_EQ(whole.status, 0);
  std::mt19937 random(std::random_device{}());
  std::vector<std::unique_ptr<Proc>> killed;
  for (int i = 0; i < 6; ++i) {
    // A new ETag: each run replaces the agent.
    fs::last_write_time(file, fs::last_write_time(file) + std::chrono::hours(1));
    killed.emplace_back(new Proc(w.argv({}), w.env));
    usleep(random() % unsigned(whole.seconds * 1.2e6));
    kill(i % 2 ? -killed.back()->pid : killed.back()->pid, SIGKILL);
    EXPECT_TRUE(waitUntil([&] { return killed.back()->ended(); }, 10));
  }
  killed.clear();  // and the children of those killed alone
  fs::remove_all(w.tmp), fs::create_directory(w.tmp);  // the run directories of the killed
  const int status = w.run({"after"}).status;
  EXPECT_EQ(std::make_tuple(status, w.args(), w.stamp()),
            std::make_tuple(0, w.expected({"after"}), Servers::etag(file)));
  expectLeft(w, {".validatestring", "installagent", "installagent/install",
                 "installagent/payload.bin"});
}
