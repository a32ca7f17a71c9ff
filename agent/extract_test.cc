#include "agent/extract.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <vector>

#include "agent/sourcing.h"
#include "tests/test_util.h"

namespace {

std::vector<std::string> reported;
void recordReport(std::string message, bool) { reported.push_back(message); }

}  // namespace

TEST(UnzipInstallAgent, Failures) {
  ScratchDir scratch;
  writeFile(scratch / "corrupt.zip", "not a zip at all");
  mkdir((scratch / "dir.zip").c_str(), 0700);
  makeZip(scratch / "good.zip", {{"install", "x"}});
  const struct {
    std::string zip, program;
    bool reports;
  } cases[] = {
      {scratch / "missing.zip", "unzip", false},  // nothing run, nothing said
      {scratch / "corrupt.zip", "unzip", true},
      {scratch / "dir.zip", "unzip", true},
      {scratch / "good.zip", "no-such-unzip-program", true},
  };
  for (const auto& c : cases) {
    reported.clear();
    EXPECT_FALSE(unzipInstallAgent(c.zip, scratch / "out", c.program, recordReport)) << c.zip;
    EXPECT_EQ(reported, c.reports ? std::vector<std::string>{"Failed to unzip the install agent"}
                                  : std::vector<std::string>{})
        << c.zip;
  }
}

TEST(FindNamedInstallAgent, MatchesPrefixAndSuffixExactly) {
  ScratchDir scratch;
  for (const char* name : {"installagent_1.zip", "InstallAgent_1.ZIP", "InstallAgent_1.zip.part",
                           "xInstallAgent_1.zip", "InstallAgent.zip.bak"})
    writeFile(scratch / name, "x");
  EXPECT_EQ(findNamedInstallAgent(scratch.path()), "");
  writeFile(scratch / "InstallAgent_.zip", "x");
  EXPECT_EQ(findNamedInstallAgent(scratch.path()), scratch / "InstallAgent_.zip");
  EXPECT_EQ(findNamedInstallAgent(""), "");
  EXPECT_EQ(findNamedInstallAgent(scratch / "missing"), "");
}
