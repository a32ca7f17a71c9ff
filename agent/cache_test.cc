#include "agent/cache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/test_util.h"
#include "util/constants.h"
#include "util/exe_path.h"

namespace {

// The build's own cache directory, whatever names a vendor gave it.
const std::string kCacheTail = "/" + INSTALLER_CACHE_DIR;

// A private HOME with the cache directory made, as sourcing makes it.
struct CacheTest : ::testing::Test {
  CacheTest() { mkpath(dir + "installagent", 0700); }
  ScratchDir scratch; ScopedEnv home{"HOME", scratch.path().c_str()};
  const std::string dir = getInstallAgentCacheDir();
};

}  // namespace

TEST(GetInstallAgentCacheDir, FollowsHome) {
  const std::pair<const char*, std::string> cases[] = {
      {"/Users/u", "/Users/u" + kCacheTail}, {"/Users/u/", "/Users/u" + kCacheTail},
      {"/", kCacheTail}, {"", "/tmp" + kCacheTail}, {nullptr, "/tmp" + kCacheTail}};
  for (const auto& [home, dir] : cases) {
    ScopedEnv env("HOME", home);
    EXPECT_EQ(getInstallAgentCacheDir(), dir) << (home ? home : "(unset)");
  }
}

// An empty stamp matches nothing, not even an empty validation string. (A
// stamp that is no regular file: CachePrivacy.PlantedAgentRunsOnlyFromAPrivateWholeCache.)
TEST_F(CacheTest, StampMatchesOnlyItsFirstLineExactly) {
  const struct { std::string stamp, candidate; bool valid; } cases[] = {
      {"abc", "abc", true}, {"abc", "abc ", false}, {"abc\nxyz", "abc", true},
      {"abc\r\n", "abc", false}, {"", "", false}};
  EXPECT_FALSE(isCacheValid(dir, "abc"));  // no stamp
  for (const auto& c : cases) {
    writeFile(dir + ".validatestring", c.stamp);
    EXPECT_EQ(isCacheValid(dir, c.candidate), c.valid) << c.stamp << " vs " << c.candidate;
  }
}

// An unpacked agent with no "install" script at its top level (another name,
// a directory of that name) is not placed: the cached agent and its stamp
// stay, the staging directory goes, and the empty hold says why. One with
// its script replaces the cached agent. Making a staging directory removes
// those left by dead runs; live ones stay.
TEST_F(CacheTest, StagedAgentWithoutInstallScriptReplacesNoneAndDeadRunsStagingGoes) {
  // Of a pid beyond pid_max, of -1 as a pid_t, of a live process.
  const std::pair<std::string, bool> left[] = {
      {"999999999", false}, {"4294967295", false}, {std::to_string(getppid()), true}};
  auto path = [&](const std::string& pid) { return dir + ".staging-" + pid + "-abcdef"; };
  for (const auto& [pid, live] : left) mkdir(path(pid).c_str(), 0700);
  const struct { const char* name; bool directory, placed; } cases[] = {
      {"install.sh", false, false}, {"install", true, false}, {"install", false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.directory ? "/" : ""));
    writeFile(dir + "installagent/install", "old"), writeValidationString(dir, "\"old\"");
    std::string staging = makeStagingDir();
    ASSERT_FALSE(staging.empty());
    if (c.directory) mkdir((staging + "/" + c.name).c_str(), 0700);
    else writeFile(staging + "/" + c.name, "new");
    AgentHold hold = installStagedAgent(staging, "\"new\"");
    EXPECT_EQ(std::make_tuple(hold.dir().empty(), hold.lacksInstallScript(), pathExists(staging),
                              readFile(dir + "installagent/install"), readValidationString(dir)),
              std::make_tuple(!c.placed, !c.placed, false, std::string(c.placed ? "new" : "old"),
                              std::string(c.placed ? "\"new\"" : "\"old\"")));
  }
  for (const auto& [pid, live] : left) EXPECT_EQ(pathExists(path(pid)), live) << pid;
}
