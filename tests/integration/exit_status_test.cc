// What a script sees: the agent's own exit status passed through, 128 + n
// for a signal, 255 for the program's own failures.

#include <gmock/gmock.h>

#include "tests/integration/harness.h"

using namespace ::testing;

namespace {

const std::string kKilledBySignal = "kill -TERM $$\n";

}  // namespace

// Both roads pass on the agent's status: its exit code, or 128 + n when
// signal n ended it.
TEST(ExitStatus, TheAgentsStatusComesBack) {
  const struct { std::string script; int status; } cases[] = {
      {"exit 0\n", 0}, {"exit 3\n", 3}, {"exit 7\n", 7}, {kKilledBySignal, 128 + SIGTERM}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    World local;
    makeZip(local.res + "/InstallAgent.zip", {{"install", c.script}});
    EXPECT_EQ(local.run().status, c.status);
    std::string name = "status" + std::to_string(n++) + ".zip";
    makeZip(servers().www + "/" + name, {{"install", c.script}});
    World remote;
    remote.download(servers().nginxUrl + name);
    Result r = remote.run();
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_THAT(r.err, Not(HasSubstr("Installation failed.")));
  }
}

// Cancelled before an agent started: 128 + n, and the last two lines say so.
TEST(ExitStatus, CancelBeforeTheAgentIs128PlusTheSignal) {
  servers().publish("cancelled.zip", "v1", 4 << 20);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    World w;
    w.download(servers().faultUrl + "serve/cancelled.zip?pace=50");
    Proc run(w.argv({}), w.env);
    ASSERT_TRUE(waitUntil([&] { return has(run.err(), "Downloading"); }, 20)) << run.err();
    kill(run.pid, signal);
    Result r = run.finish(10);
    EXPECT_EQ(r.status, 128 + signal);
    EXPECT_THAT(r.err, EndsWith(std::string("Cancelled (SIG") + sigabbrev_np(signal) +
                                ") before the installer started.\nInstallation failed.\n"));
    EXPECT_EQ(w.runs(), Strings{});
  }
}

// With a display, SETUP_NO_WINDOW shows the terminal display instead of a
// window nobody may close: a failed run ends at once.
TEST(ExitStatus, NoWindowEndsAFailedRunAtOnceWithADisplay) {
  if (system("command -v Xvfb >/dev/null") != 0) GTEST_SKIP() << "no Xvfb";
  Proc xvfb({"Xvfb", ":97", "-nolisten", "tcp"}, {{"PATH", getenv("PATH")}});
  ASSERT_TRUE(waitUntil([] { return pathExists("/tmp/.X11-unix/X97"); }, 10));
  World w;
  w.download(servers().faultUrl + "status/404");
  w.env["DISPLAY"] = ":97";
  w.env["SETUP_NO_WINDOW"] = "1";
  Result r = w.run({}, 20);
  EXPECT_EQ(r.status, 255);
  EXPECT_LT(r.seconds, 10);
  EXPECT_THAT(r.err, HasSubstr("Error during the download process."));
}
