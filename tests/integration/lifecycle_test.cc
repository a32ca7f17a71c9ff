// A run's life as the user meets it: signals while unpacking and while the
// agent runs, and agents of overlapping runs (a damaged cache:
// setup_test.cc).

#include <gmock/gmock.h>

#include "tests/integration/harness.h"

using namespace ::testing;

// A signal while unpacking, on either road, ends the unpacking with all it
// started, its unzips ended before it: nothing is left or stamped (what a
// cancel of the download interrupted stays, to be continued), no agent runs,
// and the run fails, naming the signal. While the agent runs, the signal reaches the agent
// instead, and the run ends once the agent has, with the status a script
// sees (passed on as a success would be): the agent's own exit code when it
// traps the signal (TERM, INT), 128 + n when the signal ends it (HUP); its
// work directory removed.
TEST(Lifecycle, SignalEndsTheUnpackingOrReachesTheAgent) {
  // Files that take unzip a good while (they do not compress), enough for several at once.
  std::map<std::string, std::string> big = {{"install", agentScript("big")}};
  for (int i = 0; i < 40; ++i)
    std::generate_n(std::back_inserter(big["f" + std::to_string(i)]), 4 << 20, std::mt19937(i));
  makeZip(servers().www + "/big.zip", big);
  makeZip(servers().www + "/trapping.zip",
          {{"install", "for s in TERM INT; do trap \"echo $s > \\\"\\$AGENT_OUT/signal\\\"; exit 5\" $s;"
                       " done\n: > \"$AGENT_OUT/started\"\nwhile :; do sleep 0.05; done\n"}});
  // The download road's cache after an agent ran, and after a cancel; as many unzips as there
  // are workers, which the local road starts at once (the download road's may each be over
  // before the next starts).
  const Strings kCached = {".validatestring", "installagent", "installagent/install"},
                kEmptied = {"installagent"};
  const long several = std::min(2L, sysconf(_SC_NPROCESSORS_ONLN));
  for (std::string zip : {"big.zip", "trapping.zip"}) for (bool local : {true, false})
      for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(zip + (local ? " local " : " download ") + strsignal(signal));
        const bool agentRuns = zip == "trapping.zip", trapped = agentRuns && signal != SIGHUP;
        const std::string name = sigabbrev_np(signal), cancelled = "\nCancelled (SIG" + name +
                                 ") before the installer started.\nInstallation failed.\n";
        World w;
        if (local) fs::copy_file(servers().www + "/" + zip, w.res + "/InstallAgent.zip");
        else w.download(servers().nginxUrl + zip);
        Proc setup(w.argv({}), w.env);
        ASSERT_TRUE(waitUntil([&] { return agentRuns ? pathExists(w.out + "/started")
                              : unzipsRunning(w.root.path()) >= (local ? several : 1); }, 30))
            << setup.err();
        usleep(50000), kill(setup.pid, signal);  // a little into the unzip or the agent
        Result r = setup.finish(10); const long unzips = unzipsRunning(w.root.path());
        Strings left;  // what a cancel of the download interrupted may stay
        for (const std::string& f : tree(w.cache())) if (f.rfind(".part", 0)) left.push_back(f);
        // Nothing of the run left after a second (a killed one takes a moment).
        EXPECT_TRUE(waitUntil([&] { return processesMentioning(w.root.path()).empty(); }, 1))
            << testing::PrintToString(processesMentioning(w.root.path()));
        // The agent's status, or cancelled; what the agent saw; what is left.
        EXPECT_EQ(std::make_tuple(r.status, r.seconds < 2.0, has(r.err, "Installation failed.\n"),
                                  readFile(w.out + "/signal"), w.runs(), tree(w.tmp),
                                  Matches(EndsWith(cancelled))(r.err), left, unzips),
                  std::make_tuple(trapped ? 5 : 128 + signal, true, !agentRuns,
                                  trapped ? name + "\n" : "", Strings(), Strings(), !agentRuns,
                                  local ? Strings() : agentRuns ? kCached : kEmptied, 0L)) << r.err;
      }
}

// Sixteen runs; halfway the server offers a new agent. Each agent checks
// its own files two seconds after it starts; the cache ends consistent.
// Then one whose setup alone is killed while its agent runs: a later run
// with a newer agent leaves the running agent's directory whole.
TEST(Lifecycle, SixteenRunsAcrossAnEtagChangeEachSeeOnlyTheirOwnAgent) {
  std::string zip = servers().publish("sixteen.zip", "v1", 2 << 20, 2), first = Servers::etag(zip);
  World w; w.download(servers().nginxUrl + "sixteen.zip");
  std::vector<std::unique_ptr<Proc>> runs;
  for (int i = 0; i < 8; ++i) runs.emplace_back(new Proc(w.argv({}), w.env));
  ASSERT_TRUE(waitUntil([&] { return !w.runs().empty(); }, 30));  // a first agent runs
  auto time = fs::last_write_time(zip);
  servers().publish("sixteen.zip", "v2", 2 << 20, 2);  // same size: a later time makes the ETag new
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
  Proc orphan(w.argv({}), w.env);
  ASSERT_TRUE(waitUntil([&] { return w.runs().size() == 17; }, 30));
  kill(orphan.pid, SIGKILL);  // setup alone: its agent goes on
  servers().publish("sixteen.zip", "v3", 2 << 20, 2);
  fs::last_write_time(zip, time + std::chrono::hours(2));
  const int status = w.run().status;
  usleep(2500000);  // the orphan's agent checks its files
  EXPECT_EQ(std::make_tuple(status, w.runs().size(), pathExists(w.out + "/CANARY")),
            std::make_tuple(0, 18u, false));
}

// The local road unpacks the agent into a directory of its own inside the
// run's work directory: the agent finds there what it shipped and nothing
// of the run's (its lock, ".owner"), and an archive that ships a ".owner" of
// its own replaces no lock, so a run started while that agent runs leaves
// the agent's directory whole.
TEST(Lifecycle, LocalAgentHasADirectoryOfItsOwnThatLaterRunsLeaveWhole) {
  World w;
  // Each agent lists its directory, then checks its "tag" two seconds later.
  auto agent = [&](const std::string& tag, bool shipsOwner) {
    std::map<std::string, std::string> files = {{"install", "ls -A \"${0%/*}\" | tr '\\n' ' ' >> "
        "\"$AGENT_OUT/listing\"\n" + agentScript(tag, 0, 2)}, {"tag", tag}};
    if (shipsOwner) files[".owner"] = "1";
    fs::remove(w.res + "/InstallAgent.zip");  // zip would add to it
    makeZip(w.res + "/InstallAgent.zip", files);
  };
  agent("first", true);
  Proc first(w.argv({}), w.env);
  ASSERT_TRUE(waitUntil([&] { return !w.runs().empty(); }, 30)) << first.err();
  agent("second", false); const int second = w.run().status;
  Result r = first.finish(30);
  EXPECT_EQ(std::make_tuple(r.status, second, w.runs(), readFile(w.out + "/listing"),
                            pathExists(w.out + "/CANARY"), tree(w.tmp)),
            std::make_tuple(0, 0, Strings{"first", "second"}, std::string(".owner install tag install tag "),
                            false, Strings())) << r.err;
}
