// The README's advice for the vendor's server, shown against nginx: the
// cache follows the ETag (or, with "etag off", the Last-Modified date), and
// both come from the file's modification time and size.

#include <gmock/gmock.h>

#include "tests/integration/harness.h"

using namespace ::testing;

// A release of the same size deployed with its old modification time (cp -p,
// rsync -a, tar) looks unchanged to the server, so the cached agent is kept:
// the documented pitfall. A new modification time gets the new agent.
TEST(VendorServer, EachReleaseNeedsANewModificationTime) {
  Servers& s = servers();
  const struct Case {
    std::string name, dir;
    bool newTime;
    std::string second, status, stamp;
  } cases[] = {
      {"etag-old-time", "", false, "v1", "304", "\""},
      {"etag-new-time", "", true, "v2", "200", "\""},
      {"noetag-old-time", "etag-off/", false, "v1", "304", "Last-Modified: "},
      {"noetag-new-time", "etag-off/", true, "v2", "200", "Last-Modified: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = s.publish(c.name + ".zip", "v1");
    World w;
    w.download(s.nginxUrl + c.dir + c.name + ".zip");
    ASSERT_EQ(w.run().status, 0);
    EXPECT_THAT(readFile(w.cache() + ".validatestring"), StartsWith(c.stamp));
    auto time = fs::last_write_time(file);
    auto size = fs::file_size(s.publish(c.name + ".zip", "v2"));
    ASSERT_EQ(size, fs::file_size(file));
    fs::last_write_time(file, c.newTime ? time + std::chrono::hours(1) : time);
    EXPECT_EQ(w.run().status, 0);
    EXPECT_EQ(w.runs(), (Strings{"v1", c.second}));
    std::string log = readFile(s.dir / "access.log");
    std::string last = log.substr(log.rfind("GET /" + c.dir + c.name + ".zip "));
    // The second request's answer, and the ETag it named ("-": a date).
    EXPECT_THAT(last, StartsWith("GET /" + c.dir + c.name + ".zip " + c.status + " "));
    EXPECT_EQ(last.substr(last.size() - 2) == "-\n", !c.dir.empty()) << last;
  }
}
