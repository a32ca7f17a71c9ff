// A run's life as the user meets it: signals while unpacking and while the
// agent runs, a damaged cache, and agents of overlapping runs.

#include <gmock/gmock.h>

#include "tests/integration/harness.h"

using namespace ::testing;

namespace {

const Strings kBare = {"installagent"};
const std::string kLastLine = "\nInstallation failed.\n";

// An archive that takes unzip a good while: 160 MiB that do not compress.
const std::string& bigArchive() {
  static ScratchDir dir;
  static const std::string zip = dir / "big.zip";
  if (!pathExists(zip)) agentZip(zip, "big", 160 << 20);
  return zip;
}

// The processes of the run below |root| still there after a second (a
// killed one takes a moment to go).
Strings survivors(const std::string& root) {
  waitUntil([&] { return processesMentioning(root).empty(); }, 1);
  return processesMentioning(root);
}

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
  fs::copy_file(bigArchive(), servers().www + "/big.zip", fs::copy_options::overwrite_existing);
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
        EXPECT_EQ(r.status, agentRuns ? 5 : 128 + signal);  // the agent's own, or cancelled
        EXPECT_LT(r.seconds, 2.0);
        EXPECT_EQ(readFile(w.out + "/signal"), agentRuns ? sigabbrev_np(signal) + std::string("\n") : "");
        EXPECT_EQ(survivors(w.root.path()), Strings());
        EXPECT_EQ(w.runs(), Strings());
        EXPECT_EQ(tree(w.tmp), Strings());
        if (agentRuns) continue;
        EXPECT_THAT(r.err, EndsWith(kLastLine));
        EXPECT_EQ(tree(w.cache()), local ? Strings() : kBare);
      }
    }
  }
}

// A stamp that is a FIFO or endless, a current stamp with no agent, an agent
// directory that is a link to another one: the run goes on as with no
// cached agent.
TEST(Lifecycle, DamagedCacheRunsToANormalDownload) {
  std::string file = servers().publish("damaged.zip", "fresh");
  ScratchDir elsewhere;
  writeFile(elsewhere / "install", agentScript("planted"));
  const std::vector<std::function<void(const std::string&)>> damages = {
      [](const std::string& cache) { mkfifo((cache + ".validatestring").c_str(), 0600); },
      [](const std::string& cache) { writeFile(cache + ".validatestring", std::string(64 << 20, 'e')); },
      [&](const std::string& cache) { writeFile(cache + ".validatestring", Servers::etag(file)); },
      [&](const std::string& cache) {
        writeFile(cache + ".validatestring", Servers::etag(file));
        fs::remove(cache + "installagent");
        fs::create_directory_symlink(elsewhere.path(), cache + "installagent");
      },
  };
  for (size_t i = 0; i < damages.size(); ++i) {
    SCOPED_TRACE(i);
    World w;
    w.download(servers().nginxUrl + "damaged.zip");
    fs::create_directories(w.cache() + "installagent");
    damages[i](w.cache());
    Result r = w.run({}, 20);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(w.runs(), Strings{"fresh"});
    EXPECT_EQ(readFile(w.cache() + ".validatestring"), Servers::etag(file));
    EXPECT_EQ(tree(w.cache()), (Strings{".validatestring", "installagent", "installagent/install"}));
  }
  EXPECT_EQ(readFile(elsewhere / "install"), agentScript("planted"));
}

// Sixteen runs; halfway the server offers a new agent. Each agent checks
// its own files a second after it starts; the cache ends consistent.
TEST(Lifecycle, SixteenRunsAcrossAnEtagChangeEachSeeOnlyTheirOwnAgent) {
  const size_t payload = 2 << 20;
  auto publish = [&](const std::string& tag) {
    std::string check = "[ \"$(cat \"${0%/*}/tag\")\" = " + tag + " ] && [ \"$(wc -c < \"${0%/*}/"
                        "payload.bin\")\" -eq " + std::to_string(payload) + " ]";
    std::string script = "printf '%s\\0' " + tag + " >> \"$AGENT_OUT/runs\"\nsleep 1\n" + check +
                         " || : > \"$AGENT_OUT/CANARY\"\n";
    std::string zip = servers().www + "/sixteen.zip";  // replaced whole: never a 404
    makeZip(zip + ".new", {{"install", script}, {"tag", tag}, {"payload.bin", std::string(payload, 'p')}});
    fs::rename(zip + ".new", zip);
    return Servers::etag(zip);
  };
  std::string first = publish("v1");
  World w;
  w.download(servers().nginxUrl + "sixteen.zip");
  std::vector<std::unique_ptr<Proc>> runs;
  for (int i = 0; i < 8; ++i) runs.emplace_back(new Proc(w.argv({}), w.env));
  ASSERT_TRUE(waitUntil([&] { return !w.runs().empty(); }, 30));  // a first agent runs
  auto time = fs::last_write_time(servers().www + "/sixteen.zip");
  publish("v2");  // same size: a later time makes the ETag new
  fs::last_write_time(servers().www + "/sixteen.zip", time + std::chrono::hours(1));
  std::string second = Servers::etag(servers().www + "/sixteen.zip");
  for (int i = 0; i < 8; ++i) runs.emplace_back(new Proc(w.argv({}), w.env));
  for (auto& run : runs) EXPECT_EQ(run->finish(90).status, 0) << run->err();
  Strings ran = w.runs();
  EXPECT_EQ(ran.size(), 16u);
  EXPECT_GE(std::count(ran.begin(), ran.end(), "v2"), 8);
  EXPECT_FALSE(pathExists(w.out + "/CANARY"));
  std::string tag = readFile(w.cache() + "installagent/tag");
  EXPECT_EQ(readFile(w.cache() + ".validatestring"), tag == "v2" ? second : first) << tag;
  EXPECT_EQ(tree(w.cache()), (Strings{".validatestring", "installagent", "installagent/install",
                                      "installagent/payload.bin", "installagent/tag"}));
  EXPECT_EQ(tree(w.tmp), Strings());
}
