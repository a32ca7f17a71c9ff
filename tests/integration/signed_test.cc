// Signed agents: keys and signatures made by the real minisign, the
// signature served beside the archive by nginx.

#include <gmock/gmock.h>

#include "tests/integration/harness.h"

using namespace ::testing;

namespace {

// Key pairs a, b and c, made once.
struct Keys {
  ScratchDir dir;
  Keys() { makeMinisignKeys(dir.path(), {"a", "b", "c"}); }
  std::string pub(const std::string& name) const { return dir / (name + ".pub"); }
  void sign(const std::string& file, const std::string& name, const std::string& flags = "") const {
    signWithMinisign(dir / (name + ".sec"), file, flags);
  }
};

const Keys& keys() {
  static Keys made;
  return made;
}


}  // namespace

// Each row: the keys in the bundle, how the archive is signed, and the
// reason a refusal gives (empty: the agent runs).
TEST(SignedAgents, OnlyAnArchiveSignedByAKeyInTheBundleRuns) {
  if (system("command -v minisign >/dev/null") != 0) GTEST_SKIP() << "no minisign";
  const struct Case { std::string name; Strings trusted; std::string how, reason; } cases[] = {
      {"good", {"a"}, "a", ""},
      {"second-key", {"b", "a"}, "a", ""},
      {"foreign", {"a"}, "c", "unknown key id "},
      {"legacy", {"a"}, "a -l", "legacy (not prehashed) signature: re-sign"},
      {"other-archive", {"a"}, "a other", "bad signature"},
      {"comment-edited", {"a"}, "a edit", "bad global signature"},
      {"unsigned", {"a"}, "", "No signature for the archive (HTTP status 404)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = servers().publish(c.name + ".zip", c.name, 1 << 20);
    if (c.how.rfind("a", 0) == 0) keys().sign(file, "a", c.how == "a -l" ? "-l" : "");
    if (c.how == "c") keys().sign(file, "c");
    if (c.how == "a other") servers().publish(c.name + ".zip", "tampered", 1 << 20);
    if (c.how == "a edit") {
      std::string sig = readFile(file + ".minisig");
      writeFile(file + ".minisig", sig.replace(sig.find("\ntrusted comment: ") + 18, 0, "x"));
    }
    World w;
    std::string bundleKeys;
    for (const std::string& key : c.trusted) bundleKeys += readFile(keys().pub(key)) + "\n";
    writeFile(w.res + "/InstallAgent.pub", bundleKeys);
    w.download(servers().nginxUrl + c.name + ".zip");
    Result r = w.run({"x"});
    EXPECT_EQ(r.status, c.reason.empty() ? 0 : 255) << r.err;
    EXPECT_EQ(w.runs(), c.reason.empty() ? Strings{c.name} : Strings{});
    if (!c.reason.empty()) {
      EXPECT_THAT(r.err, HasSubstr("Download failed! Error - " + c.reason));
      EXPECT_EQ(tree(w.cache()), Strings{"installagent"});  // nothing unpacked or stamped
    }
    EXPECT_EQ(tree(w.tmp), Strings{});
  }
  {  // a download continued after a cut is checked whole
    World w;
    writeFile(w.res + "/InstallAgent.pub", readFile(keys().pub("a")));
    w.download(servers().faultUrl + "serve/good.zip?cut=50%");
    EXPECT_EQ(w.run().status, 0);
    EXPECT_EQ(w.runs(), Strings{"good"});
  }
  World w;  // a key file without a key is an error, not "no keys"
  writeFile(w.res + "/InstallAgent.pub", "untrusted comment: nothing follows\n");
  w.download(servers().nginxUrl + "good.zip");
  Result r = w.run();
  EXPECT_EQ(r.status, 255);
  EXPECT_THAT(r.err, MatchesRegex(".*InstallAgent.pub[^\n]*\nInstallation failed.\n"));
  EXPECT_EQ(w.runs(), Strings{});
}

// A cache made without keys, or with an older signed agent, stays until a
// newer agent checks; an older one is refused and the cache left alone.
TEST(SignedAgents, CachedAgentsAndRollback) {
  if (system("command -v minisign >/dev/null") != 0) GTEST_SKIP() << "no minisign";
  std::string file = servers().publish("rollback.zip", "v1", 1 << 20);
  World w;
  w.download(servers().nginxUrl + "rollback.zip");
  ASSERT_EQ(w.run().status, 0);  // no keys yet: cached unsigned
  keys().sign(file, "a", "-t 'timestamp:2000\tfile:rollback.zip\thashed'");
  writeFile(w.res + "/InstallAgent.pub", readFile(keys().pub("a")));
  ASSERT_EQ(w.run().status, 0);  // the key added: downloaded again and checked
  EXPECT_EQ(w.runs(), (Strings{"v1", "v1"}));
  EXPECT_THAT(readFile(w.cache() + ".agent.minisig"), HasSubstr("timestamp:2000"));
  ASSERT_EQ(w.run().status, 0);  // checked before: the cached agent, on a 304
  EXPECT_THAT(readFile(servers().dir / "access.log"), MatchesRegex(".*/rollback.zip 304 [^\n]*\n"));

  auto time = fs::last_write_time(file);
  servers().publish("rollback.zip", "v0", 1 << 20);
  fs::last_write_time(file, time + std::chrono::hours(1));  // a new ETag
  keys().sign(file, "a", "-t 'timestamp:1000\tfile:rollback.zip\thashed'");
  Strings before = tree(w.cache());
  std::string stamp = readFile(w.cache() + ".validatestring");
  Result r = w.run();
  EXPECT_EQ(r.status, 255);
  EXPECT_THAT(r.err, HasSubstr("Download failed! Error - "));
  EXPECT_EQ(w.runs(), (Strings{"v1", "v1", "v1"}));
  EXPECT_EQ(tree(w.cache()), before);
  EXPECT_EQ(readFile(w.cache() + ".validatestring"), stamp);

  // A release signed with a clock ten years ahead, then one signed now:
  // the far-future timestamp is not believed, so the later release runs.
  auto publishSigned = [&](const std::string& tag, int64_t timestamp, int hours) {
    servers().publish("rollback.zip", tag, 1 << 20);
    fs::last_write_time(file, time + std::chrono::hours(hours));
    keys().sign(file, "a", "-t 'timestamp:" + std::to_string(timestamp) + "\tfile:rollback.zip'");
  };
  publishSigned("v2", ::time(nullptr) + 10 * 365 * 86400, 2);
  ASSERT_EQ(w.run().status, 0);
  publishSigned("v3", ::time(nullptr), 3);
  r = w.run();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(w.runs(), (Strings{"v1", "v1", "v1", "v2", "v3"}));
}
