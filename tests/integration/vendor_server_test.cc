// The README's advice for the vendor's server, shown against nginx: the
// cache follows the ETag (or, with "etag off", the Last-Modified date), and
// both come from the file's modification time and size.

#include <gmock/gmock.h>

#include "tests/integration/harness.h"

using namespace ::testing;

// With hostile paths, the cache through a server's life: the first
// download; a release of the same size deployed with its old modification
// time (cp -p, rsync -a, tar), which looks unchanged to the server, so the
// cached agent is kept, on a 304 (the documented pitfall); a new time, which
// replaces agent and stamp; a server that sends neither ETag nor date, whose
// agent runs while the older stamp goes.
TEST(VendorServer, CacheFollowsTheEtagOrTheDateOfEachRelease) {
  Servers& s = servers();
  for (std::string dir : {"", "etag-off/"}) {
    SCOPED_TRACE(dir);
    std::string name = dir.empty() ? "life.zip" : "life-dated.zip", file = s.publish(name, "v1");
    World w(false, kHostile);
    w.download(s.nginxUrl + dir + name);
    EXPECT_EQ(w.run(kArgs).status, 0);
    EXPECT_EQ(w.args(), w.expected(kArgs));
    std::string first = w.stamp();
    EXPECT_THAT(first, StartsWith(dir.empty() ? Servers::etag(file) : "Last-Modified: "));
    expectLeft(w, {".validatestring", "installagent", "installagent/install"});

    writeFile(w.cache() + "installagent/marker", "");
    auto time = fs::last_write_time(file);
    fs::last_write_time(s.publish(name, "v2"), time);
    EXPECT_EQ(w.run().status, 0);
    EXPECT_TRUE(pathExists(w.cache() + "installagent/marker"));
    // What the 304 answered: the stamp's ETag (nginx logs quotes as \x22), or
    // none ("-") beside the date.
    std::string asked = dir.empty() ? "\\x22" + first.substr(1, first.size() - 2) + "\\x22" : "-";
    EXPECT_THAT(readFile(s.dir / "access.log"),
                HasSubstr("GET /" + dir + name + " 304 0 " + asked + "\n"));

    fs::last_write_time(file, time + std::chrono::hours(1));
    EXPECT_EQ(w.run().status, 0);
    EXPECT_THAT(w.stamp(), StartsWith(dir.empty() ? Servers::etag(file) : "Last-Modified: "));
    EXPECT_NE(w.stamp(), first);
    expectLeft(w, {".validatestring", "installagent", "installagent/install"});

    w.download(s.faultUrl + "noetag/" + name);
    EXPECT_EQ(w.run().status, 0);
    EXPECT_EQ(w.runs(), (Strings{"v1", "v1", "v2", "v2"}));
    expectLeft(w, {"installagent", "installagent/install"});
  }
}
