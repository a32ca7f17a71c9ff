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
class CacheTest : public ::testing::Test {
 protected:
  CacheTest() : home_("HOME", scratch_.path().c_str()) {
    mkpath(getInstallAgentCacheDir() + "installagent", 0700);
  }
  std::string cacheDir() const { return getInstallAgentCacheDir(); }

  ScratchDir scratch_;
  ScopedEnv home_;
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

TEST_F(CacheTest, StampMatchesOnlyItsFirstLineExactly) {
  const struct { std::string stamp, candidate; bool valid; } cases[] = {
      {"abc", "abc", true},          {"abc", "ABC", false},     {"abc", "abc ", false},
      {"abc\n", "abc", true},        {"abc\r\n", "abc", false}, {"abc\nxyz", "abc", true},
      {"", "abc", false},            {"\"v1\"", "\"v1\"", true}, {"abc", "", false},
  };
  EXPECT_FALSE(isCacheValid(cacheDir(), "abc"));  // no stamp
  for (const auto& c : cases) {
    writeFile(cacheDir() + ".validatestring", c.stamp);
    EXPECT_EQ(isCacheValid(cacheDir(), c.candidate), c.valid) << c.stamp << " vs " << c.candidate;
  }
  unlink((cacheDir() + ".validatestring").c_str());
  mkdir((cacheDir() + ".validatestring").c_str(), 0700);
  EXPECT_FALSE(isCacheValid(cacheDir(), "abc"));
}

TEST_F(CacheTest, StagingLeftByDeadRunsIsRemovedButLiveOnesStay) {
  // Of a pid beyond pid_max, of -1 as a pid_t, of a live process.
  const std::pair<std::string, bool> staging[] = {
      {"999999999", false}, {"4294967295", false}, {std::to_string(getppid()), true}};
  for (const auto& [pid, live] : staging)
    mkdir((cacheDir() + ".staging-" + pid + "-abcdef").c_str(), 0700);
  std::string mine = makeStagingDir();
  for (const auto& [pid, live] : staging)
    EXPECT_EQ(pathExists(cacheDir() + ".staging-" + pid + "-abcdef"), live) << pid;
  EXPECT_TRUE(pathExists(mine));
}
