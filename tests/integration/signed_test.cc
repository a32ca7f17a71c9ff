// Signed agents: keys and signatures made by the real minisign, the
// signature served beside the archive by nginx.

#include <gmock/gmock.h>

#include "tests/integration/harness.h"

using namespace ::testing;

namespace {

// Key pairs a and b, made once.
struct Keys : ScratchDir { Keys() { makeMinisignKeys(path(), {"a", "b"}); } };
const std::string& keys() { static Keys made; return made.path(); }
std::string pub(const std::string& name) { return readFile(keys() + "/" + name + ".pub"); }
void sign(const std::string& file, const std::string& name, const std::string& flags = "") {
  signWithMinisign(keys() + "/" + name + ".sec", file, flags);
}

}  // namespace

// Each row: the keys in the bundle, how the archive is signed, the reason
// a refusal gives (empty: the agent runs) and the fault server's options
// (none: nginx serves it). A download continued after a cut is checked
// whole; a key file without a key is an error, not "no keys". A release
// published between the archive and its signature ("old" becomes "new"):
// the pair does not check, the archive's ETag asked about has changed, and
// the new release is fetched whole with its signature. (A foreign key or
// another archive: signature_test.cc.)
TEST(SignedAgents, OnlyAnArchiveSignedByAKeyInTheBundleRuns) {
  if (system("command -v minisign >/dev/null") != 0) GTEST_SKIP() << "no minisign";
  const std::string failed = "Download failed! Error - ";
  const struct Case { std::string name; Strings trusted; std::string how, reason, options = ""; }
  cases[] = {
      {"cut", {"a"}, "a", "", "cut=50%"}, {"old", {"a"}, "a", "", "publish=new.zip&at=2"},
      {"second-key", {"b", "a"}, "a", ""},
      {"legacy", {"a"}, "a -l", failed + "legacy (not prehashed) signature: re-sign"},
      {"comment-edited", {"a"}, "a edit", failed + "bad global signature"},
      {"unsigned", {"a"}, "", failed + "No signature for the archive (HTTP status 404)."},
      {"keyless", {}, "a", "InstallAgent.pub"}};
  sign(servers().publish("new.zip", "new", 1 << 20), "a");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = servers().publish(c.name + ".zip", c.name, 1 << 20);
    if (!c.how.empty()) sign(file, c.how.substr(0, 1), c.how == "a -l" ? "-l" : "");
    if (c.how == "a edit") {
      std::string sig = readFile(file + ".minisig");
      writeFile(file + ".minisig", sig.replace(sig.find("\ntrusted comment: ") + 18, 0, "x"));
    }
    World w;
    std::string bundleKeys = c.trusted.empty() ? "untrusted comment: nothing follows\n" : "";
    for (const std::string& key : c.trusted) bundleKeys += pub(key) + "\n";
    writeFile(w.res + "/InstallAgent.pub", bundleKeys);
    w.download(c.options.empty() ? servers().nginxUrl + c.name + ".zip"
                                 : servers().faultUrl + "serve/" + c.name + ".zip?" + c.options);
    Result r = w.run({"x"});
    const bool ok = c.reason.empty();  // else nothing unpacked or stamped
    // The old release's requests: the end, the rest, the question, the new archive.
    const std::string log = c.name == "old" ? faultLog("old.zip") : "";
    const bool asked = c.name != "old" || (std::count(log.begin(), log.end(), '\n') == 4 &&
                                       has(log, "\"range\": \"bytes=-1\""));
    EXPECT_EQ(std::make_tuple(r.status, w.runs(), has(r.err, ok ? failed : c.reason),
                              ok || tree(w.cache()) == Strings{"installagent"}, tree(w.tmp), asked),
              std::make_tuple(ok ? 0 : 255, Strings(ok, c.name == "old" ? "new" : c.name), !ok,
                              true, Strings{}, true)) << r.err << log;
  }
}

// A cache made without keys, or with an older signed agent, stays until a
// newer agent checks; an older one is refused and the cache left alone.
TEST(SignedAgents, CachedAgentsAndRollback) {
  if (system("command -v minisign >/dev/null") != 0) GTEST_SKIP() << "no minisign";
  std::string file = servers().publish("rollback.zip", "v1", 1 << 20);
  World w; w.download(servers().nginxUrl + "rollback.zip");
  ASSERT_EQ(w.run().status, 0);  // no keys yet: cached unsigned
  sign(file, "a", "-t 'timestamp:2000\tfile:rollback.zip\thashed'");
  writeFile(w.res + "/InstallAgent.pub", pub("a"));
  ASSERT_EQ(w.run().status, 0);  // the key added: downloaded again and checked
  EXPECT_EQ(std::make_pair(w.runs(), has(readFile(w.cache() + ".agent.minisig"), "timestamp:2000")),
            std::make_pair(Strings{"v1", "v1"}, true));
  ASSERT_EQ(w.run().status, 0);  // checked before: the cached agent, on a 304
  EXPECT_THAT(readFile(servers().dir / "access.log"), MatchesRegex(".*/rollback.zip 304 [^\n]*\n"));

  // Each release with a new ETag, |hours| on.
  auto time = fs::last_write_time(file);
  auto publishSigned = [&](const std::string& tag, int64_t timestamp, int hours) {
    servers().publish("rollback.zip", tag, 1 << 20);
    fs::last_write_time(file, time + std::chrono::hours(hours));
    sign(file, "a", "-t 'timestamp:" + std::to_string(timestamp) + "\tfile:rollback.zip'");
  };
  publishSigned("v0", 1000, 1);
  Strings before = tree(w.cache()); std::string stamp = w.stamp(); Result r = w.run();
  EXPECT_EQ(std::make_tuple(r.status, has(r.err, "Download failed! Error - "), w.runs(), tree(w.cache()),
                            w.stamp()),
            std::make_tuple(255, true, Strings{"v1", "v1", "v1"}, before, stamp)) << r.err;

  // A release signed with a clock ten years ahead, then one signed now:
  // the far-future timestamp is not believed, so the later release runs.
  publishSigned("v2", ::time(nullptr) + 10 * 365 * 86400, 2);
  ASSERT_EQ(w.run().status, 0);
  publishSigned("v3", ::time(nullptr), 3), r = w.run();
  EXPECT_EQ(std::make_pair(r.status, w.runs()), std::make_pair(0, Strings{"v1", "v1", "v1", "v2", "v3"}))
      << r.err;
}
