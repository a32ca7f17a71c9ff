// What a script sees: the agent's own exit status passed through, 128 + n
// for a signal that ended it. A cancel's 128 + n and the program's own
// failures' 255 are in setup_test.cc; an agent's status after a signal the
// run passed on, in lifecycle_test.cc.

#include "tests/integration/harness.h"

// Both roads pass on the agent's status: its exit code, or 128 + n when
// signal n ended it; neither is the program's own failure. (A status of 0
// is what every other run checks.)
TEST(ExitStatus, TheAgentsStatusComesBack) {
  const struct { std::string script; int status; } cases[] = {
      {"exit 3\n", 3}, {"kill -TERM $$\n", 128 + SIGTERM}};
  for (const auto& c : cases)
    for (bool local : {true, false}) {
      SCOPED_TRACE(c.script + (local ? "local" : "download"));
      World w;
      std::string name = "status" + std::to_string(c.status) + ".zip";
      makeZip(local ? w.res + "/InstallAgent.zip" : servers().www + "/" + name,
              {{"install", c.script}});
      if (!local) w.download(servers().nginxUrl + name);
      Result r = w.run();
      EXPECT_EQ(std::make_pair(r.status, has(r.err, "Installation failed.")),
                std::make_pair(c.status, false)) << r.err;
    }
}
