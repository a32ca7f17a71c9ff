#include "util/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "tests/test_util.h"

namespace fs = std::filesystem;

// Distinct private directories under TMPDIR (with its slash or without),
// each removed whole, read-only parts included, and nothing outside it
// through a link. A killed run's directory goes with the next run; a live
// run's, and directories this program did not make, stay.
TEST(TempDir, PrivateDirectoriesRemovedWholeByTheirRunOrTheNextOne) {
  ScratchDir base;
  writeFile(base / "keep", "precious");
  for (std::string tmpdir : {base.path(), base.path() + "/"}) {
    ScopedEnv env("TMPDIR", tmpdir.c_str());
    std::string path;
    {
      TempDir dir("x"), other("x");
      path = dir.getDir();
      EXPECT_NE(path, other.getDir());
      EXPECT_TRUE(std::regex_match(path, std::regex(base.path() + "/zv[A-Za-z0-9]{6}"))) << path;
      EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_all);
      fs::create_directories(path + "/a/b");
      writeFile(path + "/a/b/file", "x");
      fs::create_directory_symlink(base.path(), path + "/a/link");
      fs::permissions(path + "/a/b", fs::perms::owner_read | fs::perms::owner_exec);  // read-only
      fs::permissions(path + "/a", fs::perms::owner_read | fs::perms::owner_exec);    // still go
    }
    EXPECT_FALSE(pathExists(path));
    EXPECT_EQ(readFile(base / "keep"), "precious");
  }
  ScopedEnv env("TMPDIR", base.path().c_str());
  TempDir live("x");
  for (const char* made : {"zvGONE00", "zvNEW000", "zvOTHER0"}) fs::create_directory(base / made);
  writeFile(base / "zvGONE00/.owner", "4242");
  writeFile(base / "zvNEW000/.owner", "");  // being made: not yet locked
  TempDir next("x");
  std::string left;
  for (std::string dir : {base / "zvGONE00", base / "zvOTHER0", base / "zvNEW000", live.getDir()})
    left += pathExists(dir) ? "y" : "n";
  EXPECT_EQ(left, "nyyy");
}
