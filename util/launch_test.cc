#include "util/launch.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/test_util.h"
#include "util/quote.h"

namespace {

std::vector<std::string> reported;
void recordReport(std::string message, bool) { reported.push_back(message); }

}  // namespace

TEST(CallSystem, ReturnsTheWaitStatusUnchanged) {
  EXPECT_EQ(call_system("sh", "exit 0"), 0);
  EXPECT_EQ(call_system("sh", "exit 1"), 256);
}

TEST(FireInstallAgentWithArgs, AgentGetsBundleAndExactArguments) {
  const std::pair<std::string, std::string> layouts[] = {
      {"plain", "res"},
      {"with blank", "res dir/"},  // trailing "/" gives a harmless "//"
      {"$(touch CANARY);'\"`x`", "res\nline"},
  };
  for (const auto& [agentDirName, bundleName] : layouts) {
    ScratchDir scratch;
    std::string agentDir = scratch / agentDirName, bundle = scratch / bundleName;
    ASSERT_EQ(system(("mkdir -p " + smart_quote(agentDir)).c_str()), 0);
    std::string agent = agentDir + "/install", log = scratch / "args";
    writeFile(agent, recordingAgent(log));
    const char* argv[] = {"setup", "-v", "a b", "", "it's $HOME"};
    reported.clear();
    EXPECT_TRUE(fireInstallAgentWithArgs(agent, "sh " + smart_quote(agent), bundle, 5, argv,
                                         recordReport));
    std::vector<std::string> expected = {"-installbundle", bundle + "/bundle.zip", "-v", "a b",
                                         "", "it's $HOME"};
    EXPECT_EQ(readRecords(log), expected) << agentDirName;
    EXPECT_TRUE(reported.empty());
    EXPECT_FALSE(pathExists(scratch / "CANARY"));
  }
}

TEST(FireInstallAgentWithArgs, FailingOrMissingAgentStillCountsAsStarted) {
  reported.clear();
  const char* argv[] = {"setup"};
  EXPECT_TRUE(fireInstallAgentWithArgs("/nonexistent/install", "sh /nonexistent/install 2>/dev/null",
                                       "/tmp", 1, argv, recordReport));
  EXPECT_TRUE(reported.empty());
}
