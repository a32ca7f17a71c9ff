#include <gtest/gtest.h>

#include "agent/sourcing.h"
#include "tests/test_util.h"

TEST(FindNamedInstallAgent, MatchesPrefixAndSuffixExactly) {
  ScratchDir scratch;
  for (const char* name : {"installagent_1.zip", "InstallAgent_1.ZIP", "InstallAgent_1.zip.part",
                           "xInstallAgent_1.zip", "InstallAgent.zip.bak"})
    writeFile(scratch / name, "x");
  EXPECT_EQ(findNamedInstallAgent(scratch.path()), "");
  writeFile(scratch / "InstallAgent_.zip", "x");
  EXPECT_EQ(findNamedInstallAgent(scratch.path()), scratch / "InstallAgent_.zip");
  EXPECT_EQ(findNamedInstallAgent(scratch / "missing"), "");
}
