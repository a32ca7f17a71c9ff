// What a script sees: the agent's own exit status passed through, 128 + n
// for a signal that ended it. A cancel's 128 + n and the program's own
// failures' 255 are in setup_test.cc.

#include <gmock/gmock.h>

#include "tests/integration/harness.h"

using namespace ::testing;

// Both roads pass on the agent's status: its exit code, or 128 + n when
// signal n ended it.
TEST(ExitStatus, TheAgentsStatusComesBack) {
  const struct { std::string script; int status; } cases[] = {
      {"exit 0\n", 0}, {"exit 3\n", 3}, {"exit 7\n", 7}, {"kill -TERM $$\n", 128 + SIGTERM}};
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
