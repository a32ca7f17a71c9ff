#include "util/exe_path.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/test_util.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

TEST(Mkpath, CreatesEachMissingDirectoryAndStopsAtAFile) {
  ScratchDir scratch;
  for (std::string path : {scratch / "a/b/c", scratch / "d//e/", scratch.path(), "/"s})
    EXPECT_TRUE(mkpath(path, 0700) == 0 && fs::is_directory(path)) << path;
  EXPECT_EQ(fs::status(scratch / "a/b").permissions(), fs::perms::owner_all);
  EXPECT_EQ(mkpath("", 0700), 0);
  // It stops at a component that is not a directory.
  writeFile(scratch / "file", "x"), errno = 0;
  EXPECT_EQ(mkpath(scratch / "file/below/deeper", 0700) == -1 ? errno : 0, ENOTDIR);
  EXPECT_EQ(mkpath(scratch / "file", 0700), -1);
}
