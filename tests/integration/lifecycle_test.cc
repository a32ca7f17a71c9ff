// A run's life as the user meets it: signals while unpacking and while the
// agent runs, a damaged cache, and agents of overlapping runs.

#include <gmock/gmock.h>

#include "tests/integration/harness.h"

using namespace ::testing;

namespace {

// Waits until an unzip of the run below |root| runs, then a little more.
bool waitForUnzip(const std::string& root) {
  return waitUntil([&] {
    for (const std::string& line : processesMentioning(root))
      if (line.rfind("unzip ", 0) == 0) return true;
    return false;
  }, 30) && usleep(50000) == 0;
}

}  // namespace

// A signal while unpacking, on either road, ends the unpacking with all it
// started: nothing is left or stamped, no agent runs, and the run fails.
// While the agent runs, the signal reaches the agent instead, and the run
// ends once the agent has, with its status, its work directory removed.
TEST(Lifecycle, SignalEndsTheUnpackingOrReachesTheAgent) {
  servers().publish("big.zip", "big", 160 << 20);  // takes unzip a good while: it does not compress
  makeZip(servers().www + "/trapping.zip",
          {{"install", "for s in TERM INT HUP; do trap \"echo $s > \\\"\\$AGENT_OUT/signal\\\"; exit 5\" $s;"
                       " done\n: > \"$AGENT_OUT/started\"\nwhile :; do sleep 0.05; done\n"}});
  for (std::string zip : {"big.zip", "trapping.zip"}) {
    for (bool local : {true, false}) {
      for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(zip + (local ? " local " : " download ") + strsignal(signal));
        bool agentRuns = zip == "trapping.zip";
        World w;
        if (local) fs::copy_file(servers().www + "/" + zip, w.res + "/InstallAgent.zip");
        else w.download(servers().nginxUrl + zip);
        Proc setup(w.argv({}), w.env);
        ASSERT_TRUE(agentRuns ? waitUntil([&] { return pathExists(w.out + "/started"); }, 30)
                              : waitForUnzip(w.root.path())) << setup.err();
        kill(setup.pid, signal);
        Result r = setup.finish(10);
        // What is left of the run after a second (a killed one takes a moment).
        waitUntil([&] { return processesMentioning(w.root.path()).empty(); }, 1);
        // The agent's status, or cancelled; what the agent saw; what is left.
        EXPECT_EQ(std::make_tuple(r.status, r.seconds < 2.0, readFile(w.out + "/signal"),
                                  processesMentioning(w.root.path()), w.runs(), tree(w.tmp)),
                  std::make_tuple(agentRuns ? 5 : 128 + signal, true,
                                  agentRuns ? sigabbrev_np(signal) + std::string("\n") : "", Strings(), Strings(),
                                  Strings())) << r.err;
        if (agentRuns) continue;
        EXPECT_THAT(r.err, EndsWith("\nInstallation failed.\n"));
        EXPECT_EQ(tree(w.cache()), local ? Strings() : Strings{"installagent"});
      }
    }
  }
}

// A stamp that is a FIFO or endless, a current stamp with no agent, an agent
// directory that is a link to another one, a kept part that is a FIFO or a
// second hard link: the run goes on as with no cached agent, neither
// blocking nor writing through the link.
TEST(Lifecycle, DamagedCacheRunsToANormalDownload) {
  std::string file = servers().publish("damaged.zip", "fresh");
  ScratchDir elsewhere;
  writeFile(elsewhere / "install", agentScript("planted"));
  for (int damage = 0; damage < 6; ++damage) {
    SCOPED_TRACE(damage);
    World w;
    w.download(servers().nginxUrl + "damaged.zip");
    std::string agent = w.cache() + "installagent", stamp = w.cache() + ".validatestring";
    fs::create_directories(agent);
    if (damage == 0) mkfifo(stamp.c_str(), 0600);
    if (damage == 1) writeFile(stamp, std::string(64 << 20, 'e'));
    if (damage == 2 || damage == 3) writeFile(stamp, Servers::etag(file));
    if (damage == 3) fs::remove(agent), fs::create_directory_symlink(elsewhere.path(), agent);
    std::string part = w.cache() + ".part", precious = w.home + "/precious";
    ASSERT_EQ(damage == 4 ? mkfifo(part.c_str(), 0600) : 0, 0);
    if (damage == 5) writeFile(precious, "precious"), fs::create_hard_link(precious, part);
    Result r = w.run({}, 20);
    EXPECT_EQ(std::make_tuple(r.status, w.runs(), w.stamp(), tree(w.cache()), readFile(precious)),
              std::make_tuple(0, Strings{"fresh"}, Servers::etag(file),
                              Strings{".validatestring", "installagent", "installagent/install"},
                              damage == 5 ? "precious" : "")) << r.err;
  }
  EXPECT_EQ(readFile(elsewhere / "install"), agentScript("planted"));
}

// Sixteen runs; halfway the server offers a new agent. Each agent checks
// its own files a second after it starts; the cache ends consistent.
TEST(Lifecycle, SixteenRunsAcrossAnEtagChangeEachSeeOnlyTheirOwnAgent) {
  std::string zip = servers().publish("sixteen.zip", "v1", 2 << 20, 1), first = Servers::etag(zip);
  World w;
  w.download(servers().nginxUrl + "sixteen.zip");
  std::vector<std::unique_ptr<Proc>> runs;
  for (int i = 0; i < 8; ++i) runs.emplace_back(new Proc(w.argv({}), w.env));
  ASSERT_TRUE(waitUntil([&] { return !w.runs().empty(); }, 30));  // a first agent runs
  auto time = fs::last_write_time(zip);
  servers().publish("sixteen.zip", "v2", 2 << 20, 1);  // same size: a later time makes the ETag new
  fs::last_write_time(zip, time + std::chrono::hours(1));
  std::string second = Servers::etag(zip);
  for (int i = 0; i < 8; ++i) runs.emplace_back(new Proc(w.argv({}), w.env));
  for (auto& run : runs) EXPECT_EQ(run->finish(90).status, 0) << run->err();
  Strings ran = w.runs();
  std::string tag = readFile(w.cache() + "installagent/tag");
  EXPECT_EQ(std::make_tuple(ran.size(), std::count(ran.begin(), ran.end(), "v2") >= 8,
                            pathExists(w.out + "/CANARY"), w.stamp(), tree(w.cache()), tree(w.tmp)),
            std::make_tuple(16u, true, false, tag == "v2" ? second : first,
                            Strings{".validatestring", "installagent", "installagent/install",
                                    "installagent/payload.bin", "installagent/tag"}, Strings())) << tag;
}
