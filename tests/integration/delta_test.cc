// Updates by delta of a signed agent of a few hundred files against real
// servers: rebuilt from a kept archive and ranges, else downloaded whole once.

#include <gmock/gmock.h>

#include <regex>

#include "tests/integration/harness.h"

namespace {

// v1; v2: install, f010, f100 and f200 changed, f150 gone, f050b and f250b
// new; v3: v2 with another install. Packed by make-agent.sh, signed with k;
// <tag>.plain: the archive unpacked by unzip. v2t: v2 packed with another
// time, so that every entry's local header changed.
struct Agents : ScratchDir {
  Agents() {
    makeMinisignKeys(path(), {"k"});
    auto bytes = [](int seed, size_t n, std::string s = "") {
      return std::generate_n(std::back_inserter(s), n, std::mt19937(seed)), s;
    };
    auto name = [](int i) { return "f" + std::to_string(1000 + i).substr(1); };
    std::map<std::string, std::string> files;
    for (int i = 0; i < 300; ++i) files[name(i)] = bytes(i, 30000);
    for (const std::string tag : {"v1", "v2", "v3"}) {
      files["install"] = agentScript(tag);
      std::string dir = *this / tag, make = fs::path(HTTPS_SERVER).parent_path() / "make-agent.sh";
      fs::create_directories(dir);
      for (const auto& [file, content] : files) writeFile(dir + "/" + file, content);
      if (shell(make + " '" + dir + "' '" + dir + ".zip' '" + (*this / "k.sec") + "' && unzip -q '" + dir +
                ".zip' -d '" + dir + ".plain'"))
        throw std::runtime_error("make-agent.sh failed");
      if (tag == "v2" && shell("SOURCE_DATE_EPOCH=1700000000 " + make + " '" + dir + "' '" + (*this / "v2t.zip") +
                               "' '" + (*this / "k.sec") + "'"))
        throw std::runtime_error("make-agent.sh failed");
      if (tag != "v1") continue;  // v2's changes, which v3 keeps
      for (int i : {10, 100, 200}) files[name(i)] = bytes(1000 + i, 70000);
      files.erase(name(150)), files["f050b"] = bytes(1, 70000), files["f250b"] = bytes(2, 70000);
    }
  }
};
const Agents& agents() { static Agents made; return made; }

// |tag|'s archive and signature as www/|name|, each replaced whole.
std::string publish(const std::string& name, const std::string& tag) {
  for (const std::string end : {".minisig", ""}) {
    fs::copy_file(agents() / tag + ".zip" + end, servers().www + "/new", fs::copy_options::overwrite_existing);
    fs::rename(servers().www + "/new", servers().www + "/" + name + end);
  }
  return agents() / tag + ".zip";
}

// A user with k in the bundle whose first run got v1 from nginx's |name|;
// the next downloads v2 from the fault server with |options|.
void trust(World& w, const std::string& name, const std::string& options) {
  writeFile(w.res + "/InstallAgent.pub", readFile(agents() / "k.pub"));
  w.download(servers().nginxUrl + name);
  publish(name, "v1");
  EXPECT_EQ(w.run().status, 0);
  publish(name, "v2");
  w.download(servers().faultUrl + "serve/" + name + "?" + options);
}

}  // namespace

// A first run of a release over HTTP/2, from another release's kept
// archive, which it only reads: the end, every range, then the signature.
// (A release's own kept archive, and the archive kept after a delta, are
// the road of the other tests here.)
TEST(DeltaUpdates, ChangedAgentRebuiltFromAKeptArchiveOverHttp2) {
  if (shell("command -v minisign") != 0) GTEST_SKIP() << "no minisign";
  ScratchDir h2;
  Proc nginx({"bash", "-c", ". \"$0\" && run_https_server \"$1\" \"$2\"", HTTPS_SERVER, h2.path(),
              servers().www}, {{"PATH", "/usr/sbin:/usr/bin:/bin"}, {"HTTPS_SERVER_HTTP2", "1"}});
  ASSERT_TRUE(waitUntil([&] { return has(nginx.out(), "\n"); }, 20)) << nginx.err();
  World w;  // k in the bundle, no run yet
  writeFile(w.res + "/InstallAgent.pub", readFile(agents() / "k.pub"));
  w.download("https://127.0.0.1:" + nginx.out().substr(0, nginx.out().size() - 1) + "/sibling.zip");
  w.env["CURL_CA_BUNDLE"] = h2 / "cert.pem";
  // The same cache directory of another release.
  std::string other = w.cache(), agent = w.cache() + "installagent", v1 = agents() / "v1.zip";
  std::string v2 = publish("sibling.zip", "v2");
  other.replace(other.find("/" + RELEASE_TAG + "/") + RELEASE_TAG.size(), 1, "x");
  fs::create_directories(other);
  fs::copy_file(v1, other + "installagent.zip");
  fs::copy_file(v1 + ".minisig", other + ".agent.minisig");
  Result r = w.run();
  std::smatch said;
  std::regex_search(r.err, said, std::regex("Updated by delta: .* over HTTP/2 \\((\\d+) requests"));
  // Each request's status (.minisig's marked) and the body bytes of the
  // archive's. (That the ranges go as streams of one connection is
  // RangeFetch.WritesEveryRangeOverFewConnections's; that the end is asked
  // about with the stamp, Transfers.CacheHitCostsA304's.)
  std::string lines = readFile(h2 / "access.log"), statuses, expected = "206 ";
  long bytes = 0;
  std::regex line("GET /sibling\\.zip(\\.minisig)? (\\d+) (\\d+)");
  for (std::sregex_iterator it(lines.begin(), lines.end(), line), end; it != end; ++it) {
    statuses += (*it)[1].str() + (*it)[2].str() + " ";
    bytes += (*it)[1].matched ? 0 : std::stol((*it)[3]);
  }
  for (int i = said.empty() ? 0 : std::stoi(said[1]); i > 0; --i) expected += "206 ";
  EXPECT_EQ(std::make_tuple(r.status, w.runs(), said.empty(), statuses, tree(other),
                            bytes * 10 < long(fs::file_size(v2)),
                            shell("diff -r '" + (agents() / "v2.plain") + "' '" + agent + "'"),
                            readFile(other + "installagent.zip") == readFile(v1),
                            readFile(other + ".agent.minisig") == readFile(v1 + ".minisig")),
            std::make_tuple(0, Strings{"v2"}, false, expected + ".minisig200 ",
                            Strings{".agent.minisig", "installagent.zip"}, true, 0, true, true))
      << r.err << lines;
}

// Each row: the fault server's options for the second run, the agent that
// ends up running, its requests ("<range>:<status>", null for none) and
// what the log says. Whatever stops the delta, one plain GET follows.
// "corrupt": a kept byte damaged on disk; "short": every range broken off
// halfway, as a proxy might, until the retries are spent. Every answer the
// range fetch refuses (a 200, any other status, a range elsewhere, and how
// little of an unwanted 200 it takes: range_fetch_curl_test.cc) ends the
// delta the same way; a 200 of another release stands for them.
TEST(DeltaUpdates, AnyOtherAnswerEndsInOneWholeDownload) {
  if (shell("command -v minisign") != 0) GTEST_SKIP() << "no minisign";
  const std::string end = "-[0-9]+:206 ", range = "[0-9]+-[0-9,-]+:";
  const struct { std::string name, options, agent, requests, log; } cases[] = {
      {"changed", "change=changed-v3.zip&after=1&pace=30", "v3", end + range + "200 null:200 ",
       "The update by delta stopped: "},
      {"corrupt", "", "v2", end + "(" + range + "206 )+null:200 ",
       "The archive rebuilt by delta did not check; downloading it whole."},
      {"short", "range=short&after=1", "v2", end + "(" + range + "206 )+null:200 ", "retries are spent"},
      // No delta is tried without a strong ETag to ask the ranges with.
      {"weak", "etag=weak&ifrange=ignore", "v2", end + "null:200 ", ""},
      {"none", "etag=none&ifrange=ignore", "v2", end + "null:200 ", ""}};
  publish("changed-v3.zip", "v3");
  // A request in the fault server's log as "<range>:<status> ", the range without "bytes=".
  std::regex asked(R"re("range": "?(?:bytes=)?([^",]*)"?.*"status": (\d+))re");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    trust(w, c.name + ".zip", c.options);
    std::string kept = readFile(w.cache() + "installagent.zip");  // a byte of f000's: copied, not fetched
    if (c.name == "corrupt") writeFile(w.cache() + "installagent.zip", kept.replace(1000, 1, 1, char(kept[1000] ^ 1)));
    Result r = w.run();
    EXPECT_THAT(std::regex_replace(faultLog(c.name + ".zip"), asked, "$1:$2 ",
                                   std::regex_constants::format_no_copy),
                ::testing::MatchesRegex(c.requests));
    EXPECT_EQ(std::make_tuple(r.status, w.runs(), has(r.err, c.log), has(r.err, "Updated by delta"),
                              readFile(w.cache() + "installagent.zip") == readFile(agents() / c.agent + ".zip")),
              std::make_tuple(0, Strings{"v1", c.agent}, true, c.name == "corrupt", true)) << r.err;
  }
}

// Every entry's time changed: over HTTP/1.1 the ranges go many a request,
// in fewer requests than entries, answered as multipart/byteranges by nginx
// and the fault server. Every other answer to many ranges (nginx with
// max_ranges 1, which sends the whole file; one range; a refusal; parts the
// reader refuses) has the ranges not written whole asked one by one, and
// answers cut halfway are asked again: each update ends with the very
// bytes of the new archive, by delta. (Which parts the reader takes is
// MultipartRanges.TakesOnlyThePartsAskedForInOrder's.)
TEST(DeltaUpdates, ManyRangesARequestOrOneByOneEndInTheNewArchive) {
  if (shell("command -v minisign") != 0) GTEST_SKIP() << "no minisign";
  // Each row: where v2t comes from (nginx's path, or the fault server's
  // options), whether the log says the ranges went one by one.
  const struct { std::string name, nginx, options; bool oneByOne; } cases[] = {
      {"nginx", "", "", false}, {"nginx-one-range", "one-range/", "", true},
      {"multipart", "", "keep=1", false}, {"whole", "", "multi=whole", true},
      {"first", "", "multi=one", true}, {"refuse", "", "multi=refuse", true},
      {"boundary", "", "multi=boundary", true}, {"extra", "", "multi=extra", true},
      {"overlap", "", "multi=overlap", true}, {"order", "", "multi=order", true},
      {"long", "", "multi=long", true}, {"short", "", "multi=short", true},
      {"truncate", "", "multi=truncate", false}};
  // The end paced to 400 kB/s, so that on any machine the link looks slow
  // enough for a delta of 300 local headers.
  const std::string pace = "piece=4096&pace=10&";
  std::string v2t = readFile(agents() / "v2t.zip");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    trust(w, c.name + ".zip", pace + c.options);
    for (const std::string end : {".minisig", ""})
      fs::copy_file(agents() / "v2t.zip" + end, servers().www + "/" + c.name + ".zip" + end,
                    fs::copy_options::overwrite_existing);
    if (c.options.empty()) w.download(servers().nginxUrl + c.nginx + c.name + ".zip");
    size_t before = readFile(servers().dir / "access.log").size();
    Result r = w.run();
    std::string log = c.options.empty() ? readFile(servers().dir / "access.log").substr(before)
                                        : faultLog(c.name + ".zip");
    size_t requests = std::count(log.begin(), log.end(), '\n');
    EXPECT_EQ(std::make_tuple(r.status, has(r.err, "Updated by delta"), has(r.err, "one by one"),
                              readFile(w.cache() + "installagent.zip") == v2t),
              std::make_tuple(0, true, c.oneByOne, true)) << r.err;
    if (!c.oneByOne) {
      EXPECT_LT(requests, 100u) << log;  // of 305 entries
    }
  }
}

// A run killed while it fetches the signature of an archive it has whole,
// downloaded or rebuilt by delta, kept the archive, described: the next
// asks for its last byte alone (past the end, the range is refused, and
// the whole would come once more), and the description goes with the
// archive it described.
TEST(DeltaUpdates, AKillBeforeTheSignatureKeepsTheWholeArchive) {
  if (shell("command -v minisign") != 0) GTEST_SKIP() << "no minisign";
  for (const std::string name : {"kept-whole.zip", "kept-rebuilt.zip"}) {
    // On a link that looks slow (a delta pays), where the signature comes
    // twice: first to know the cached agent on this other host.
    SCOPED_TRACE(name); World w; bool delta = name == "kept-rebuilt.zip";
    if (delta) trust(w, name, "wait=400&pace=100&piece=4096&sigwait=2000");
    else writeFile(w.res + "/InstallAgent.pub", readFile(agents() / "k.pub")), publish(name, "v1"),
         w.download(servers().faultUrl + "serve/" + name + "?sigwait=2000");
    auto requests = [](const std::string& of) { std::string log = faultLog(of); return std::count(log.begin(), log.end(), '\n'); };
    Proc first(w.argv({}), w.env);
    ASSERT_TRUE(waitUntil([&] { return requests(name + ".minisig") == 1 + delta; }, 30)) << first.err();
    kill(-first.pid, SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return first.ended(); }, 10));
    long before = requests(name); Result r = w.run();  // the log has one line a request
    std::string log = faultLog(name), last = std::to_string(fs::file_size(servers().www + "/" + name) - 1);
    EXPECT_EQ(std::make_tuple(r.status, w.runs().back(), requests(name) - before,
                              has(log.substr(log.rfind('\n', log.size() - 2) + 1), "\"bytes=" + last + "-\""),
                              fs::exists(w.cache() + ".part.info")),
              std::make_tuple(0, delta ? "v2" : "v1", 1L, true, false)) << r.err << log;
  }
}

// A run killed while its ranges come: the next reads what it recorded
// ("Continuing": the spans recorded are not asked for again, which spans
// those are being MergesOnHttp1RetriesAndContinuesAKilledRun's in
// download/delta_update_test.cc) and rebuilds the new archive, which checks.
// The record goes with the archive it described: a later update to the
// same archive must not take its ranges as written.
TEST(DeltaUpdates, AKilledUpdateContinuesWithoutTheRangesItWrote) {
  if (shell("command -v minisign") != 0) GTEST_SKIP() << "no minisign";
  World w;
  // Each answer 400 ms late, and paced to 40 kB/s, so that the link looks
  // slow (a delta pays) and the ranges come slowly.
  trust(w, "killed.zip", "wait=400&pace=100&piece=4096");
  Proc first(w.argv({}), w.env);
  ASSERT_TRUE(waitUntil([&] {
    std::string recorded = readFile(w.cache() + ".part.ranges");
    return std::count(recorded.begin(), recorded.end(), '\n') >= 5;  // 4 lines name the archive
  }, 30)) << first.err();
  kill(-first.pid, SIGKILL);
  ASSERT_TRUE(waitUntil([&] { return first.ended(); }, 10));
  Result r = w.run();
  bool kept = readFile(w.cache() + "installagent.zip") == readFile(agents() / "v2.zip");
  EXPECT_EQ(std::make_tuple(r.status, w.runs(), has(r.err, "Continuing an update by delta"),
                            has(r.err, "Updated by delta"), kept, fs::exists(w.cache() + ".part.ranges")),
            std::make_tuple(0, Strings{"v1", "v2"}, true, true, true, false)) << r.err;
}

// Another host serves the same release: a host whose ranges fail (an error
// status, or each broken off halfway) hands the update over at once, and
// the next host makes it by delta too, from its own end of the archive;
// neither sends the whole archive.
TEST(DeltaUpdates, AHostThatFailsTheRangesHandsTheUpdateToTheNext) {
  if (shell("command -v minisign") != 0) GTEST_SKIP() << "no minisign";
  const long whole = fs::file_size(agents() / "v2.zip");
  for (const auto& [name, options] : {std::pair<std::string, std::string>{"handed-503", "status=503&times=99&after=1"},
                                      {"handed-short", "range=short&after=1"}}) {
    SCOPED_TRACE(name);
    World w;
    trust(w, name + ".zip", options);
    w.env["ZV_INTERNAL_INSTALL_AGENT_MIRRORS"] = servers().nginxUrl + name + ".zip";
    size_t before = readFile(servers().dir / "access.log").size();
    Result r = w.run();
    long sent = 0, failing = 0;
    std::string lines = readFile(servers().dir / "access.log").substr(before), log = faultLog(name + ".zip");
    std::regex line("GET /" + name + "\\.zip (\\d+) (\\d+)"), fault("\"sent\": (\\d+)");
    for (std::sregex_iterator it(lines.begin(), lines.end(), line), end; it != end; ++it) sent += std::stol((*it)[2]);
    for (std::sregex_iterator it(log.begin(), log.end(), fault), end; it != end; ++it) failing += std::stol((*it)[1]);
    EXPECT_EQ(std::make_tuple(r.status, w.runs(), has(r.err, "Trying 127.0.0.1"), has(r.err, "Updated by delta"),
                              sent * 2 < whole, failing * 2 < whole, r.seconds < 15,
                              readFile(w.cache() + "installagent.zip") == readFile(agents() / "v2.zip")),
              std::make_tuple(0, Strings{"v1", "v2"}, true, true, true, true, true, true)) << r.err << lines;
  }
}
