// Several hosts for one signed agent, against real servers: nginx as the
// vendor's host, fault_server.py as mirrors that misbehave, ports nobody
// answers on. Whatever the hosts serve, the agent that runs is the vendor's
// archive, or the run fails cleanly.

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gmock/gmock.h>

#include <regex>

#include "tests/integration/harness.h"

namespace {

struct Keys : ScratchDir { Keys() { makeMinisignKeys(path(), {"a", "b"}); } };
const std::string& keys() { static Keys made; return made.path(); }

// The vendor's signed agent as www/m-good.zip, and what hostile hosts
// serve in its place, each with a signature beside it: a byte changed, a
// longer file, another archive signed by a key nobody trusts.
struct Published {
  std::string good, bytes;
  Published() {
    good = servers().publish("m-good.zip", "good", 1 << 20);
    signWithMinisign(keys() + "/a.sec", good);
    bytes = readFile(good);
    std::string www = servers().www + "/", sig = readFile(good + ".minisig");
    std::string flipped = bytes;
    flipped[flipped.size() / 2] ^= 1;
    writeFile(www + "m-flipped.zip", flipped), writeFile(www + "m-flipped.zip.minisig", sig);
    writeFile(www + "m-longer.zip", bytes + std::string(1000, 'x'));
    writeFile(www + "m-longer.zip.minisig", sig);
    signWithMinisign(keys() + "/b.sec", servers().publish("m-other.zip", "other", 1 << 20));
    // A valid agent that is not the vendor's, carrying the vendor's signature.
    servers().publish("m-evil.zip", "evil");
    writeFile(www + "m-evil.zip.minisig", sig);
  }
};
const Published& published() { static Published made; return made; }

std::string vendorUrl() { return servers().nginxUrl + "m-good.zip"; }
std::string mirror(const std::string& what) { return servers().faultUrl + "serve/" + what; }
std::string refusedUrl() { return "https://127.0.0.1:" + loopbackPort() + "/m-good.zip"; }

// A port whose SYNs go unanswered, as a host behind a firewall that drops
// them: a listener that never accepts, its queue filled.
struct Blackhole {
  int fd = -1;
  std::vector<int> fillers;
  std::string url;
  Blackhole() {
    std::string port = loopbackPort(&fd);
    listen(fd, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET, to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
    for (int i = 0; i < 3; ++i) {
      fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
      connect(fillers.back(), reinterpret_cast<sockaddr*>(&to), sizeof(to));
    }
    usleep(100000);
    url = "https://127.0.0.1:" + port + "/m-good.zip";
  }
  ~Blackhole() {
    for (int filler : fillers) close(filler);
    close(fd);
  }
};

// A user whose bundle trusts key a (or nothing), fetching from |hosts|.
World user(const Strings& hosts, bool trusted = true) {
  World w;
  if (trusted) writeFile(w.res + "/InstallAgent.pub", readFile(keys() + "/a.pub"));
  w.download(hosts[0]);
  std::string mirrors;
  for (size_t i = 1; i < hosts.size(); ++i) mirrors += (i > 1 ? " " : "") + hosts[i];
  w.env["ZV_INTERNAL_INSTALL_AGENT_MIRRORS"] = mirrors;
  return w;
}

// The fault server's requests for |name|, and the body bytes it sent them.
std::pair<int, int64_t> served(const std::string& name) {
  std::string log = faultLog(name);
  int64_t sent = 0;
  for (size_t at = 0; (at = log.find("\"sent\": ", at)) != std::string::npos; at += 8)
    sent += std::stoll(log.substr(at + 8));
  return {static_cast<int>(std::count(log.begin(), log.end(), '\n')), sent};
}

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++n;
  return n;
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
  Blackhole hole;
  std::string port = servers().faultUrl.substr(servers().faultUrl.rfind(':') + 1);
  std::string linked = servers().nginxUrl + "linked/" + port + "m-good.zip/";
  // |share|: of the vendor's archive, the most that nginx may send.
  const struct Case { std::string name; Strings hosts; std::string runs = "good"; bool trusted = true;
                      double share = 1; } cases[] = {
      {"refused, tampered, vendor", {refusedUrl(), mirror("m-flipped.zip"), vendorUrl()}},
      {"blackholed", {hole.url, vendorUrl()}},
      {"longer file", {mirror("m-longer.zip"), vendorUrl()}},
      {"another key's archive", {mirror("m-other.zip"), vendorUrl()}},
      {"no such file", {servers().faultUrl + "status/404", vendorUrl()}},
      {"stalled", {mirror("m-good.zip?stall=30000"), vendorUrl()}},
      {"cut, continued", {mirror("m-good.zip?cut=50%"), mirror("m-flipped.zip")}},
      {"cut, then gone: the vendor continues it",
       {mirror("m-good.zip?cut=60%&after=2&status=503&times=9&retry_after=3600"), vendorUrl()}, "good",
       true, 0.45},
      {"a wrong archive names a duplicate", {linked + "m-evil.zip"}},
      {"a 404 names a duplicate", {linked + "none.zip"}},
      {"unsigned: the duplicate is ignored", {linked + "none.zip"}, "", false},
      {"only wrong archives", {mirror("m-flipped.zip"), mirror("m-other.zip")}, ""},
      {"wrong, then none", {mirror("m-longer.zip"), servers().faultUrl + "status/404"}, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto before = served("m-flipped.zip");
    size_t logged = readFile(servers().dir / "access.log").size();
    World w = user(c.hosts, c.trusted);
    Result r = w.run();
    auto spent = served("m-flipped.zip");
    std::istringstream access(readFile(servers().dir / "access.log").substr(logged));
    int64_t vendor = 0;
    for (std::string method, uri, status, bytes, rest; access >> method >> uri >> status >> bytes;
         std::getline(access, rest))
      vendor += uri == "/m-good.zip" ? std::stoll(bytes) : 0;
    std::cout << c.name << ": " << r.seconds << " s, tampered host: " << spent.first - before.first
              << " requests, " << spent.second - before.second << " of " << p.bytes.size() << " bytes; vendor: " << vendor << "\n";
    // A body cut off is continued on its host; nothing else is tried twice.
    std::string attempts = std::regex_replace(r.err, std::regex("Download interrupted: .*\n"), "");
    size_t named = 0;
    for (size_t i = 0; i + 1 < c.hosts.size(); ++i) named = std::max(named, count(attempts, c.hosts[i]));
    bool ok = !c.runs.empty(), isVendors = readFile(w.cache() + "installagent.zip") == p.bytes;
    EXPECT_EQ(std::make_tuple(r.status, w.runs(), tree(w.tmp), ok ? isVendors || !c.trusted
                              : !fs::exists(w.cache() + "installagent/install"), named <= 1,
                              spent.second - before.second <= int64_t(p.bytes.size()), r.seconds < 16,
                              vendor <= c.share * p.bytes.size()),
              std::make_tuple(ok ? 0 : 255, Strings(ok, c.runs), Strings{}, true, true, true, true, true))
        << r.err;
  }
}

// Hosts give one file different ETags: the agent cached from nginx is
// recognised on the fault server by its signature alone (the archive not
// asked for); back on nginx, its ETag answers with a 304 as before.
TEST(Mirrors, CachedAgentRecognisedOnAnotherHostBySignature) {
  if (skip()) GTEST_SKIP() << "no minisign";
  published();
  World w = user({vendorUrl()});
  ASSERT_EQ(w.run().status, 0);
  auto before = served("m-good.zip"), sigBefore = served("m-good.zip.minisig");
  World again = user({refusedUrl(), mirror("m-good.zip")});
  again.env["HOME"] = w.home, again.env["AGENT_OUT"] = w.out;
  Result r = again.run();
  auto after = served("m-good.zip"), sig = served("m-good.zip.minisig");
  std::string access = readFile(servers().dir / "access.log");
  ASSERT_EQ(w.run().status, 0);
  EXPECT_EQ(std::make_tuple(r.status, w.runs(), after.first - before.first, sig.first - sigBefore.first,
                            sig.second - sigBefore.second <= 1024),
            std::make_tuple(0, Strings{"good", "good", "good"}, 0, 1, true)) << r.err;
  EXPECT_THAT(readFile(servers().dir / "access.log").substr(access.size()),
              ::testing::MatchesRegex("GET /m-good.zip 304 [^\n]*\n"));
}
