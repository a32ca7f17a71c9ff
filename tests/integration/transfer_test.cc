// Downloads cut, reset or killed, and servers that answer 304: what each
// request carried, and what the run made of the answers. What the run asks
// after a 416, a 200 to a range, a 503, repeated cuts, a weak or changed
// ETag, a 206 nobody asked for or a 304 naming another ETag is the fetch
// table's (download/fetch_test.cc); the rows here are what only the real
// wire shows. (A server that ignores ranges is Unpack's odd-noranges road.)

#include <gmock/gmock.h>

#include <random>
#include <sstream>
#include <regex>

#include "tests/integration/harness.h"

namespace {

// What one request to the fault server carried and got.
// |unasked|: its If-Modified-Since and Accept-Encoding, "null null" when
// left out (compression on the fly weakens ETags and disables ranges; a
// date condition would make servers want both to match).
// sent: the body bytes that reached the client (a cut leaves some of those
// the server wrote in its buffers).
struct Request { std::string range, ifNoneMatch, unasked; int status; long sent; };

std::vector<Request> requestsFor(const std::string& name) {
  std::string log = faultLog(name); std::vector<Request> found;
  std::regex line(R"re(\{"range": (?:"([^"]*)"|null), "if-range": [^,]*, "if-none-match": (?:"((?:[^"\\]|\\.)*)"|null), "if-modified-since": (null|"[^"]*"), "accept-encoding": (null|"[^"]*"), "status": (\d+), "sent": (\d+)(?:, "reached": (\d+))?[^}]*\})re");
  for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it)
    found.push_back({(*it)[1], std::regex_replace((*it)[2].str(), std::regex(R"(\\(.))"), "$1"),
                     (*it)[3].str() + " " + (*it)[4].str(), std::stoi((*it)[5]), std::stol((*it)[(*it)[7].matched ? 7 : 6])});
  return found;
}

const Strings kCached = {".validatestring", "installagent", "installagent/install",
                         "installagent/payload.bin"};
const size_t kSize = 1 << 20;

}  // namespace

// Each row: the options of the fault server, whether the run succeeds,
// where each request started (a pattern: - for no range, T for the
// archive's end, E for the last byte before it, H for its half), and how
// many bytes above 102% of the archive's size may cross the wire (-1: any;
// a reset loses what was in flight). Last rows: a run killed outright while
// the bytes before the end come keeps what it got (past the first MB, or
// none of them yet); the next continues it and clears the dead run's work
// directory.
TEST(Transfers, CutsAreContinuedWhereTheEtagAllows) {
  const struct { std::string name, options; bool ok; std::string starts; long slack; } cases[] = {
      {"cut50", "cut=50%", true, "T 0-E H-E ", 0},
      {"cutreset", "cut=50%&how=reset", true, "T 0-E [1-9][0-9]+-E ", -1},
      {"junkrange", "cut=50%&range=junk", true, "T - H- - ", -1},  // Content-Range junk
      {"hugelength", "length=9223372036854775808", false, "T ", 0},  // past 63 bits
      {"nolength", "length=none", true, "T 0-E ", 0},
      // A kill also loses what the transfer held unwritten or untold; the
      // archive's end, kept, is not asked again.
      {"killed-part", "pace=20", true, "T 0-E [1-9][0-9]{6,}-E ", 131072},
      {"killed-start", "pacezero=400&piece=16384&pacefor=2", true, "T 0-E 0-E ", 0}};
  auto put = [](const std::string& pattern, const char* letter, long value) {
    return std::regex_replace(pattern, std::regex(letter), std::to_string(value));
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name); bool killed = c.name.rfind("killed", 0) == 0;
    long size = fs::file_size(servers().publish(c.name + ".zip", "v1", (killed ? 4 : 1) * kSize));
    World w; w.download(servers().faultUrl + "serve/" + c.name + ".zip?" + c.options);
    if (killed) {
      Proc first(w.argv({}), w.env);
      // The archive's end comes first; the part's info then tells how far
      // the bytes before it go, and that the end follows them.
      ASSERT_TRUE(waitUntil([&] {
        std::istringstream info(readFile(w.cache() + ".part.info"));
        std::vector<std::string> lines;
        for (std::string line; std::getline(info, line);) lines.push_back(line);
        long prefix = lines.size() == 6 ? std::stol(lines[4]) : -1;
        return (c.name == "killed-start" ? prefix == 0 : prefix > long(kSize)) &&
               lines[5] == std::to_string(size - 262144) + " 262144";
      }, 30));
      kill(first.pid, SIGKILL);
      ASSERT_TRUE(waitUntil([&] { return first.ended(); }, 10));
      ASSERT_EQ(tree(w.tmp).size(), 2u);  // its work directory and lock
    }
    Result r = w.run({}, 90);
    std::vector<Request> requests = requestsFor(c.name + ".zip");
    std::string starts;  // where each request started
    long sent = 0, asking = 0;  // body bytes; requests that asked what none should
    for (const Request& request : requests) {
      starts += (request.range.empty() ? "-" : request.range.substr(6)) + " ";
      sent += request.sent, asking += request.unasked != "null null";
    }
    std::string pattern = put(put(put(c.starts, "H", size / 2), "E", size - 262145), "T", -262144);
    EXPECT_THAT(starts, ::testing::MatchesRegex(pattern));
    EXPECT_LE(sent, c.slack < 0 ? LONG_MAX : long(size * 1.02) + c.slack);
    EXPECT_EQ(std::make_tuple(r.status, w.runs(), r.seconds < 60, tree(w.cache()), tree(w.tmp),
                              asking),
              std::make_tuple(c.ok ? 0 : 255, Strings(c.ok, "v1"), true,
                              c.ok ? kCached : Strings{"installagent"}, Strings{}, 0L)) << r.err;
  }
}

// A cached agent is asked about with its stamp (a plain 304, and the
// Last-Modified date asked about alone, are nginx's in
// vendor_server_test.cc): a server that ignores the condition still sees
// the cached agent used; an empty ETag stamps nothing, so the second run
// downloads; a stamp made from a weak ETag matches the same ETag strong
// (Apache's answer once the file is a second old). Last row: a 304 to a
// request that asked for none answers nothing: the run fails on it,
// starting no agent, not even the one cached without a stamp (a run that
// took it for a cue to ask again would succeed).
TEST(Transfers, CacheHitCostsA304) {
  // The second run's options (the first's when empty), its one answer, and
  // whether it asked with the stamp's ETag.
  const struct { std::string options, then; int status; bool conditional; } cases[] = {
      {"inm=ignore", "", 206, true}, {"etag=empty", "", 200, false},
      {"etag=weak", "inm=ignore", 206, true}, {"etag=none", "status=304&times=1", 304, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options + " " + c.then);
    std::string name = "hit-" + c.options + ".zip", url = servers().faultUrl + "serve/" + name;
    servers().publish(name, "v1", kSize);
    World w; w.download(url + "?" + c.options);
    ASSERT_EQ(w.run().status, 0);
    // The agent cached, to be started again, or (last row) not.
    ASSERT_TRUE(pathExists(w.cache() + "installagent/install"));
    size_t first = requestsFor(name).size();
    if (!c.then.empty()) w.download(url + "?" + c.then);
    Result r = w.run(); std::vector<Request> requests = requestsFor(name);
    ASSERT_EQ(requests.size(), first + 1) << r.err;
    EXPECT_EQ(std::make_tuple(r.status, requests[first].ifNoneMatch, requests[first].status,
                              w.runs(), tree(w.tmp)),
              std::make_tuple(c.status == 304 ? 255 : 0, c.conditional ? w.stamp() : "", c.status,
                              Strings(c.status == 304 ? 1 : 2, "v1"), Strings{})) << r.err;
  }
}

// A run killed at a random moment while parts of the archive come over
// several connections keeps every part it wrote; the next run asks only
// for the holes and unpacks the one archive. A kill loses what the
// connections held unwritten or untold: here up to 768 KiB.
TEST(Transfers, AKilledRunWithPartsContinuesEveryPart) {
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 2; ++round) {
    static int made = 0;  // a name of its own: the server's log counts by name
    std::string name = "parts" + std::to_string(made++) + ".zip";
    long size = fs::file_size(servers().publish(name, "v1", 4 * kSize));
    World w;
    w.download(servers().faultUrl + "serve/" + name + "?pace=60");
    w.env["ZV_INTERNAL_PARTS"] = "3";
    Proc first(w.argv({}), w.env);
    ASSERT_TRUE(waitUntil([&] {  // parts have written 1.5 MiB besides the archive's end
      std::istringstream info(readFile(w.cache() + ".part.info"));
      std::string line;
      long written = -262144;
      for (int i = 0; std::getline(info, line); ++i)
        if (i >= 5) written += std::stol(line.substr(line.find(' ') + 1));
      return written >= 1536 << 10;
    }, 30));
    usleep(std::uniform_int_distribution<int>(0, 150000)(random));
    kill(first.pid, SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return first.ended(); }, 10));
    Result r = w.run({}, 90);
    long sent = 0;
    int ranged = 0;
    for (const Request& request : requestsFor(name)) sent += request.sent, ranged += !request.range.empty();
    EXPECT_LE(sent, long(size * 1.02) + 3 * 262144) << size;
    EXPECT_GE(ranged, 5);  // the end, the first bytes, parts: in both runs
    EXPECT_EQ(std::make_tuple(r.status, w.runs(), tree(w.cache())),
              std::make_tuple(0, Strings{"v1"}, kCached)) << r.err;
  }
}
