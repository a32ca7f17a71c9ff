#include "util/exe_path.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/test_util.h"

TEST(Mkpath, CreatesEachMissingDirectoryAndStopsAtAFile) {
  ScratchDir scratch;
  for (std::string path : {scratch / "a/b/c", scratch / "d//e/", scratch.path(), std::string("/")}) {
    EXPECT_EQ(mkpath(path, 0700), 0) << path;
    EXPECT_TRUE(std::filesystem::is_directory(path)) << path;
  }
  EXPECT_EQ(std::filesystem::status(scratch / "a/b").permissions(), std::filesystem::perms::owner_all);
  EXPECT_EQ(mkpath("", 0700), 0);
  // It stops at a component that is not a directory.
  writeFile(scratch / "file", "x");
  errno = 0;
  EXPECT_EQ(mkpath(scratch / "file/below/deeper", 0700), -1);
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_FALSE(pathExists(scratch / "file/below"));
  EXPECT_EQ(mkpath(scratch / "file", 0700), -1);
}
