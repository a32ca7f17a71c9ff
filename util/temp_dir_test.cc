#include "util/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <regex>

#include "tests/test_util.h"

namespace fs = std::filesystem;

// Distinct private directories under TMPDIR (with its slash or without),
// each removed whole, read-only parts included, and nothing outside it
// through a link. A killed run's directory goes with the next run; a live
// run's, and directories this program did not make, stay. So does the
// directory of a run killed while making it (no ".owner", or an empty one
// whose lock is free) until it is old: then it goes when it holds nothing
// else, is this user's and 0700, and has our name's pattern.
TEST(TempDir, PrivateDirectoriesRemovedWholeByTheirRunOrTheNextOne) {
  ScratchDir base; writeFile(base / "keep", "precious");
  for (std::string tmpdir : {base.path(), base.path() + "/"}) {
    ScopedEnv env("TMPDIR", tmpdir.c_str());
    std::string path;
    {
      TempDir dir("x"), other("x"); path = dir.getDir();
      EXPECT_NE(path, other.getDir());
      EXPECT_TRUE(std::regex_match(path, std::regex(base.path() + "/zv[A-Za-z0-9]{6}"))) << path;
      EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_all);
      fs::create_directories(path + "/a/b"), writeFile(path + "/a/b/file", "x");
      fs::create_directory_symlink(base.path(), path + "/a/link");
      fs::permissions(path + "/a/b", fs::perms::owner_read | fs::perms::owner_exec);  // read-only
      fs::permissions(path + "/a", fs::perms::owner_read | fs::perms::owner_exec);    // still go
    }
    EXPECT_FALSE(pathExists(path));
    EXPECT_EQ(readFile(base / "keep"), "precious");
  }
  ScopedEnv env("TMPDIR", base.path().c_str()); TempDir live("x");
  // A directory's name; its ".owner" (none when null); another file in it;
  // made ten minutes ago; its mode; given to another user (root only); whether
  // the next run leaves it.
  struct Row { const char* name; const char* owner; bool other, old; int mode; bool given, stays; };
  const Row rows[] = {
      {"zvGONE00", "4242", false, false, 0700, false, false},  // killed: its lock is free
      {"zvOTHER0", nullptr, false, false, 0700, false, true},   // being made
      {"zvNEW000", "", false, false, 0700, false, true},        // being made: not yet locked
      {"zvEMPTY0", nullptr, false, true, 0700, false, false},   // killed while making it
      {"zvBLANK0", "", false, true, 0700, false, false},
      {"zvLOCKED", "", false, true, 0700, false, true},         // locked by a run held up
      {"zvFULL00", nullptr, true, true, 0700, false, true},     // not ours to judge
      {"zvFULL01", "", true, true, 0700, false, true},
      {"zvOPEN00", "", false, true, 0755, false, true},
      {"zv.dot00", "", false, true, 0700, false, true},         // not mkdtemp's name
      {"zvGIVEN0", "", false, true, 0700, true, true}};
  const auto tenMinutesAgo = fs::file_time_type::clock::now() - std::chrono::minutes(10);
  int held = -1; std::string expected;
  for (const Row& row : rows) {
    const bool made = !row.given || geteuid() == 0;  // only root can give a directory away
    expected += row.stays && made ? "y" : "n";
    if (!made) continue;
    std::string dir = base / row.name;
    fs::create_directory(dir);
    if (row.owner) writeFile(dir + "/.owner", row.owner);
    if (row.other) writeFile(dir + "/other", "x");
    if (!strcmp(row.name, "zvLOCKED")) flock(held = open((dir + "/.owner").c_str(), O_RDONLY), LOCK_EX);
    ASSERT_EQ(row.given ? chown(dir.c_str(), 12345, 12345) : 0, 0);
    chmod(dir.c_str(), row.mode);
    if (row.old) {
      for (const fs::directory_entry& entry : fs::directory_iterator(dir))
        fs::last_write_time(entry.path(), tenMinutesAgo);
      fs::last_write_time(dir, tenMinutesAgo);
    }
  }
  fs::create_directory(base / "elsewhere"), fs::last_write_time(base / "elsewhere", tenMinutesAgo);
  fs::create_directory_symlink(base / "elsewhere", base / "zvLINK00");  // not followed
  TempDir next("x");
  close(held);
  // Then the live run's, the link and what it leads to: all there.
  std::string left;
  for (const Row& row : rows)
    left += pathExists(base / row.name) && (!row.owner || pathExists(base / row.name + "/.owner"))
                ? "y" : "n";
  for (std::string path : {live.getDir(), base / "zvLINK00", base / "elsewhere"})
    left += pathExists(path) ? "y" : "n";
  EXPECT_EQ(left, expected + "yyy");
}
