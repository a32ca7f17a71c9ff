// Several hosts for one signed agent, against real servers: nginx as the
// vendor's host, fault_server.py as mirrors that misbehave, ports nobody
// answers on. Whatever the hosts serve, the agent that runs is the vendor's
// archive, or the run fails cleanly.

#include <gmock/gmock.h>

#include <map>
#include <regex>

#include "tests/integration/harness.h"

namespace {

// Keys a (trusted) and b; the vendor's agent signed with a as
// www/m-good.zip, and in its place, with a signature beside each: a byte
// changed, a longer file, another archive signed by b, and a valid agent
// that is not the vendor's.
struct Published : ScratchDir {
  std::string bytes;
  Published() {
    makeMinisignKeys(path(), {"a", "b"});
    std::string good = servers().publish("m-good.zip", "good", 1 << 20), www = servers().www + "/";
    signWithMinisign(*this / "a.sec", good);
    signWithMinisign(*this / "b.sec", servers().publish("m-other.zip", "other", 1 << 20));
    std::string sig = readFile(good + ".minisig"), flipped = bytes = readFile(good);
    flipped[flipped.size() / 2] ^= 1;
    servers().publish("m-evil.zip", "evil");
    writeFile(www + "m-flipped.zip", flipped);
    writeFile(www + "m-longer.zip", bytes + std::string(1000, 'x'));
    for (std::string name : {"m-flipped.zip", "m-longer.zip", "m-evil.zip"})
      writeFile(www + name + ".minisig", sig);
  }
};
const Published& published() { static Published made; return made; }

std::string vendorUrl() { return servers().nginxUrl + "m-good.zip"; }
std::string mirror(const std::string& what) { return servers().faultUrl + "serve/" + what; }
std::string refusedUrl() { return "https://127.0.0.1:" + loopbackPort() + "/m-good.zip"; }

// A user whose bundle trusts key a (or nothing), fetching from |hosts|.
World user(const Strings& hosts, bool trusted = true) {
  World w;
  if (trusted) writeFile(w.res + "/InstallAgent.pub", readFile(published() / "a.pub"));
  w.download(hosts[0]);
  for (size_t i = 1; i < hosts.size(); ++i) w.env["ZV_INTERNAL_INSTALL_AGENT_MIRRORS"] += hosts[i] + " ";
  return w;
}

// The fault server's requests for |name|, and the body bytes that reached
// the program (those answered with |status| alone, when given).
std::pair<int, int64_t> served(const std::string& name, const std::string& status = "") {
  std::istringstream log(faultLog(name));
  std::pair<int, int64_t> seen;
  for (std::string line; getline(log, line); ++seen.first) {
    size_t reached = line.find("\"reached\": "), sent = line.find("\"sent\": ");
    size_t at = reached != line.npos ? reached + 11 : sent != line.npos ? sent + 8 : line.npos;
    if (at != line.npos && has(line, "\"status\": " + status)) seen.second += std::stoll(line.substr(at));
  }
  return seen;
}

// Body bytes nginx sent for |uri| in its log after its first |from| bytes.
int64_t vendorSent(size_t from, const std::string& uri) {
  int64_t sent = 0;
  std::istringstream access(readFile(servers().dir / "access.log").substr(from));
  for (std::string verb, at, code, bytes, rest; access >> verb >> at >> code >> bytes; getline(access, rest))
    sent += at == uri ? std::stoll(bytes) : 0;
  return sent;
}

bool skip() { return system("command -v minisign >/dev/null") != 0; }

}  // namespace

// Whatever each host serves, the agent that runs is the vendor's archive,
// byte for byte, or the run fails and leaves nothing behind; a host left
// for the next is named once (one request on a refused one), costs at most
// one archive, and a host that never answers no more than the hand-over
// limit (10 s). nginx's Link: rel=duplicate adds a host only with keys.
TEST(Mirrors, EveryRoadEndsInTheVendorsArchiveOrFails) {
  if (skip()) GTEST_SKIP() << "no minisign";
  const Published& p = published();
  // A host that never answers: a listener that never accepts.
  int hole = -1;
  std::string holeUrl = "https://127.0.0.1:" + loopbackPort(&hole) + "/m-good.zip";
  std::string port = servers().faultUrl.substr(servers().faultUrl.rfind(':') + 1);
  std::string linked = servers().nginxUrl + "linked/" + port + "m-good.zip/";
  // |share|: of the vendor's archive, the most that nginx may send.
  const struct Case { std::string name; Strings hosts; std::string runs = "good"; bool trusted = true;
                      double share = 1; } cases[] = {
      {"refused, tampered, vendor", {refusedUrl(), mirror("m-flipped.zip"), vendorUrl()}},
      {"never answers", {holeUrl, vendorUrl()}},
      {"longer file", {mirror("m-longer.zip"), vendorUrl()}},
      {"another key's archive", {mirror("m-other.zip"), vendorUrl()}},
      {"no such file", {servers().faultUrl + "status/404", vendorUrl()}},
      {"stalled", {mirror("m-good.zip?stall=30000"), vendorUrl()}},
      {"cut, continued", {mirror("m-good.zip?cut=50%"), mirror("m-flipped.zip")}},
      {"cut, then gone: the vendor continues it",
       {mirror("m-good.zip?cut=60%&after=2&status=503&times=9&retry_after=3600"), vendorUrl()}, "good",
       true, 0.45},
      {"a wrong archive names a duplicate", {linked + "m-evil.zip"}},
      {"a 404 names a duplicate", {linked + "m-none.zip"}},
      {"unsigned: the duplicate is ignored", {linked + "m-none.zip"}, "", false},
      {"only wrong archives", {mirror("m-flipped.zip"), mirror("m-other.zip")}, ""},
      {"wrong, then none", {mirror("m-longer.zip"), servers().faultUrl + "status/404"}, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto before = served("m-flipped.zip");
    size_t logged = readFile(servers().dir / "access.log").size();
    World w = user(c.hosts, c.trusted);
    Result r = w.run();
    int64_t tampered = served("m-flipped.zip").second - before.second;
    int64_t vendor = vendorSent(logged, "/m-good.zip");
    std::cout << c.name << ": " << r.seconds << " s; sent by the tampered host " << tampered
              << ", by the vendor's " << vendor << "\n";
    // A body cut off is continued on its host; no other host is tried twice.
    std::string attempts = std::regex_replace(r.err, std::regex("Download interrupted: .*\n"), "");
    bool once = true, ok = !c.runs.empty(), vendors = readFile(w.cache() + "installagent.zip") == p.bytes;
    for (size_t i = 0; i + 1 < c.hosts.size(); ++i)
      once &= attempts.find(c.hosts[i]) == attempts.rfind(c.hosts[i]);
    bool left = ok ? vendors || !c.trusted : !fs::exists(w.cache() + "installagent/install");
    EXPECT_EQ(std::make_tuple(r.status, w.runs(), tree(w.tmp), once, r.seconds < 16, left,
                              tampered <= int64_t(p.bytes.size()), vendor <= c.share * p.bytes.size()),
              std::make_tuple(ok ? 0 : 255, Strings(ok, c.runs), Strings{}, true, true, true, true, true))
        << r.err;
  }
  close(hole);
}

// Hosts give one file different ETags: the agent cached from nginx is
// recognised on the fault server by its signature alone (the archive not
// asked for); back on nginx, its ETag answers with a 304 as before.
TEST(Mirrors, CachedAgentRecognisedOnAnotherHostBySignature) {
  if (skip()) GTEST_SKIP() << "no minisign";
  published();
  World w = user({vendorUrl()});
  ASSERT_EQ(w.run().status, 0);
  auto archive = served("m-good.zip"), sig = served("m-good.zip.minisig");
  World again = user({refusedUrl(), mirror("m-good.zip")});
  again.env["HOME"] = w.home, again.env["AGENT_OUT"] = w.out;
  Result r = again.run();
  std::string access = readFile(servers().dir / "access.log");
  ASSERT_EQ(w.run().status, 0);
  EXPECT_EQ(std::make_tuple(r.status, w.runs(), served("m-good.zip").first - archive.first,
                            served("m-good.zip.minisig").first - sig.first,
                            served("m-good.zip.minisig").second - sig.second <= 1024),
            std::make_tuple(0, Strings{"good", "good", "good"}, 0, 1, true)) << r.err;
  EXPECT_THAT(readFile(servers().dir / "access.log").substr(access.size()),
              ::testing::MatchesRegex("GET /m-good.zip 304 [^\n]*\n"));
}

// A large archive comes from the vendor and a mirror at once; whatever the
// mirror serves, the agent that runs is the vendor's archive, no byte is
// fetched twice where both serve it, a slow mirror does not hold the end,
// and an archive that mixes another file fails its signature once and is
// then fetched from the vendor alone. Both hosts are the fault server, which
// counts what reached the program: a server's own count takes in what it had
// put in its socket when a connection was cut short, and on a loaded machine
// that can be the whole rest of the file.
TEST(Mirrors, PartsFromTwoHostsAtOnceEndInTheVendorsArchive) {
  if (skip()) GTEST_SKIP() << "no minisign";
  const Published& p = published();
  std::string big = servers().publish("m-big.zip", "good", 6 << 20), www = servers().www + "/";
  signWithMinisign(p / "a.sec", big);
  std::string bytes = readFile(big), flipped = bytes, sig = readFile(big + ".minisig");
  flipped[bytes.size() * 17 / 20] ^= 1;  // in the first piece another host takes
  for (const auto& [name, content] : std::map<std::string, std::string>{
           {"m-big-same.zip", bytes}, {"m-big-flipped.zip", flipped}, {"m-big-longer.zip", bytes + "x"}})
    writeFile(www + name, content), writeFile(www + name + ".minisig", sig);
  const double size = bytes.size();
  // |mixed|: the mirror's bytes are in the agent; |vendor|: the most the vendor sends.
  const struct Case { std::string name, mirror; bool mixed; double vendor; } cases[] = {
      {"both serve it", mirror("m-big-same.zip"), true, 0.9},
      {"another file of the same length", mirror("m-big-flipped.zip"), false, 2.1},
      {"a longer file", mirror("m-big-longer.zip"), false, 1.1},
      {"ranges ignored", mirror("m-big-same.zip?range=ignore"), false, 1.1},
      {"no such file", servers().faultUrl + "status/404", false, 1.1},
      {"breaks off", mirror("m-big-same.zip?cut=90%"), true, 1.1},
      // At 130 kB/s: its part would hold the end for 11 s.
      {"slow", mirror("m-big-same.zip?piece=4096&pace=30"), true, 1.1}};
  for (const Case& c : cases) {
    // What a server sent past a cut while the program was not scheduled
    // reached it all the same (its kernel took it into the window offered
    // before the cut): a case over the byte bounds is run once more, and
    // fetching anything twice by design fails both times.
    for (int run = 0; run < 2; ++run) {
      auto before = served("m-big.zip"), same = served("m-big-same.zip", "206");
      // The vendor at 4 MB/s, steady from its first byte. Printed: the share
      // of the archive that reached the program from each, vendor + mirror.
      World w = user({mirror("m-big.zip?pace=16"), c.mirror});
      Result r = w.run();
      int64_t vendor = served("m-big.zip").second - before.second,
              mirrored = served("m-big-same.zip", "206").second - same.second;
      std::cout << c.name << ": " << r.seconds << " s, " << vendor / size << " + " << mirrored / size << "\n";
      bool twice = has(r.err, "made of parts from several hosts");
      bool within = vendor <= c.vendor * size && (vendor + mirrored <= 1.1 * size || twice);
      if (!within && run == 0) continue;
      EXPECT_EQ(std::make_tuple(r.status, w.runs(), readFile(w.cache() + "installagent.zip") == bytes,
                                tree(w.tmp), mirrored > 0, twice, within, r.seconds < 5),
                std::make_tuple(0, Strings{"good"}, true, Strings{}, c.mixed, c.mirror == cases[1].mirror,
                                true, true)) << c.name << "\n" << r.err;
      break;
    }
  }
}
