// Downloads against servers that cut, refuse, change or answer 304: what
// each request carried, and what the run made of the answers.

#include <gmock/gmock.h>

#include <numeric>
#include <regex>

#include "tests/integration/harness.h"

using namespace ::testing;

namespace {

// What one request to the fault server carried and got.
// |unasked|: its If-Modified-Since and Accept-Encoding, "null null" when
// left out (compression on the fly weakens ETags and disables ranges; a
// date condition would make servers want both to match).
struct Request { std::string range, ifNoneMatch, unasked; int status; long sent; };

std::vector<Request> requestsFor(const std::string& name) {
  Result r = runSetup({{"PATH", getenv("PATH")}},
                      {"curl", "-s", "--cacert", servers().cert, servers().faultUrl + "log/" + name});
  std::vector<Request> found;
  std::regex line(R"re(\{"range": (?:"([^"]*)"|null), "if-range": [^,]*, "if-none-match": (?:"((?:[^"\\]|\\.)*)"|null), "if-modified-since": (null|"[^"]*"), "accept-encoding": (null|"[^"]*"), "status": (\d+), "sent": (\d+)\})re");
  for (std::sregex_iterator it(r.out.begin(), r.out.end(), line), end; it != end; ++it)
    found.push_back({(*it)[1], std::regex_replace((*it)[2].str(), std::regex(R"(\\(.))"), "$1"),
                     (*it)[3].str() + " " + (*it)[4].str(), std::stoi((*it)[5]), std::stol((*it)[6])});
  return found;
}

long bodyBytes(const std::vector<Request>& requests) {
  return std::accumulate(requests.begin(), requests.end(), 0L, [](long n, auto& r) { return n + r.sent; });
}

const Strings kCached = {".validatestring", "installagent", "installagent/install",
                         "installagent/payload.bin"};
const size_t kSize = 1 << 20;

}  // namespace

// Each row: the options of the fault server, whether the run succeeds,
// the agent that runs, where each request started (a pattern: - for no
// range, H and N for the archive's half and 90%), and whether no more than 2% above the
// archive's size crossed the wire (a reset loses what was in flight).
TEST(Transfers, CutsAreContinuedWhereTheEtagAllows) {
  Servers& s = servers();
  const struct { std::string name, options; bool ok; std::string agent, starts; bool frugal; } cases[] = {
      {"cut50", "cut=50%", true, "v1", "T 0-E H-E ", true},
      {"cutreset", "cut=50%&how=reset", true, "v1", "T 0-E [1-9][0-9]+-E ", false},
      {"changed", "cut=50%&change=changed-v2.zip", true, "v2", "T 0-E H-E ", false},
      {"noranges", "cut=50%&range=ignore", true, "v1", "T H- ", false},
      {"refused", "cut=50%&range=refuse", true, "v1", "T - H- - ", false},   // 416: once without
      {"junkrange", "cut=50%&range=junk", true, "v1", "T - H- - ", false},   // Content-Range junk
      {"hugelength", "length=9223372036854775808", false, "", "T ", true},  // past 63 bits
      {"weak", "cut=50%&etag=weak", true, "v1", "T T ", false},
      {"busy", "status=503&times=1&retry_after=%201%20", true, "v1", "T T 0-E ", true},
      {"nolength", "length=none", true, "v1", "T 0-E ", true},
      {"toolong", "length=1000", false, "", "T - ", false},
      // Cut three times at the same place: a flapping link, ridden out.
      {"samecut", "cut=50%,50%,50%&range=ignore", true, "v1", "T H- H- H- ", false},
      // A 206 to every request: each asks for a range (a 206 to a request
      // without one is a fault, caught before it is stored: the fetch table).
      {"always206", "range=always", true, "v1", "T 0-E ", true},
      // If-Range ignored after a same-size release: the new tail is not
      // spliced onto the old head.
      {"ifrangeignored", "cut=50%&change=changed-v2.zip&ifrange=ignore", true, "v2", "T 0-E H-E - ", false},
  };
  s.publish("changed-v2.zip", "v2", kSize);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = s.publish(c.name + ".zip", "v1", kSize);
    World w;
    w.download(s.faultUrl + "serve/" + c.name + ".zip?" + c.options);
    Result r = w.run({}, 90);
    std::vector<Request> requests = requestsFor(c.name + ".zip");
    std::string starts, unasked;  // where each request started; what none asked
    for (const Request& request : requests)
      starts += (request.range.empty() ? "-" : request.range.substr(6)) + " ", unasked += request.unasked + " ";
    std::string pattern =
        std::regex_replace(c.starts, std::regex("H"), std::to_string(fs::file_size(file) / 2));
    // T: the archive's end, asked first; E: the last byte before it.
    pattern = std::regex_replace(pattern, std::regex("E"), std::to_string(fs::file_size(file) - 262145));
    pattern = std::regex_replace(pattern, std::regex("T"), "-262144");
    EXPECT_THAT(starts, MatchesRegex(pattern));
    EXPECT_LE(bodyBytes(requests), c.frugal ? long(fs::file_size(file) * 1.02) : LONG_MAX);
    EXPECT_EQ(std::make_tuple(r.status, w.runs(), unasked, r.seconds < 60, tree(w.cache()), tree(w.tmp),
                              has(r.err, "without being asked for a range")),
              std::make_tuple(c.ok ? 0 : 255, c.ok ? Strings{c.agent} : Strings{},
                              std::regex_replace(starts, std::regex("[^ ]+"), "null null"), true,
                              c.ok ? kCached : Strings{"installagent"}, Strings{}, false))
        << r.err;
  }
}

// A run killed outright keeps what it got; the next continues from there
// and clears the dead run's work directory.
TEST(Transfers, NextRunContinuesAKilledRunsDownload) {
  std::string file = servers().publish("killed-part.zip", "v1", 4 * kSize);
  World w;
  w.download(servers().faultUrl + "serve/killed-part.zip?pace=20");
  Proc first(w.argv({}), w.env);
  // The archive's end comes first; the part's info then tells how far the
  // bytes before it go.
  ASSERT_TRUE(waitUntil([&] {
    std::string info = readFile(w.cache() + ".part.info");
    size_t last = info.find_last_of('\n', info.size() - 2);
    return std::count(info.begin(), info.end(), '\n') == 5 && std::stol(info.substr(last + 1)) > long(kSize);
  }, 30));
  kill(first.pid, SIGKILL);
  ASSERT_TRUE(waitUntil([&] { return first.ended(); }, 10));
  ASSERT_EQ(tree(w.tmp).size(), 2u);  // its work directory and lock
  EXPECT_EQ(w.run().status, 0);
  std::vector<Request> requests = requestsFor("killed-part.zip");
  ASSERT_EQ(requests.size(), 3u);  // the end, the bytes before it, the rest of those
  EXPECT_THAT(requests[2].range, MatchesRegex("bytes=[0-9]+-"));
  EXPECT_GT(std::stol(requests[2].range.substr(6)), long(kSize));
  EXPECT_EQ(std::make_tuple(requests[2].status, bodyBytes(requests) <= long(fs::file_size(file) * 1.02) + 262144,
                            w.runs(), tree(w.cache()), tree(w.tmp)),
            std::make_tuple(206, true, Strings{"v1"}, kCached, Strings{}));
}

// A cached agent is asked about with its stamp (a plain 304 is nginx's, in
// vendor_server_test.cc): a server that ignores the condition still sees
// the cached agent used; a 304 naming another ETag is asked again without
// the condition; an empty ETag stamps nothing, so the second run downloads.
// Without an ETag, the Last-Modified date stamps the agent and is asked
// about alone: a 304 with no body starts the cached agent.
// Last row: a 304 to a request that asked for none answers nothing: the run
// fails on it, asking no more and starting no agent, not even the one cached
// without a stamp (a run that took it for a cue to ask again would succeed).
TEST(Transfers, CacheHitCostsA304) {
  Servers& s = servers();
  // The second run's options (the first's when empty) and answers, and what
  // its first request is conditional on: E the stamp's ETag, D its date
  // alone, - nothing.
  const struct { std::string options, then; std::vector<int> second; char condition; } cases[] = {
      {"inm=ignore", "", {206}, 'E'}, {"inm=other", "", {304, 200}, 'E'},
      {"etag=empty", "", {200}, '-'},
      // Weak at first, strong in the 304: compared weakly, a hit.
      {"etag=weakfirst", "", {304}, 'E'}, {"etag=none&lastmod=1", "", {304}, 'D'},
      {"etag=none", "status=304&times=1", {304}, '-'}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options + " " + c.then);
    std::string name = "hit-" + c.options + ".zip", url = s.faultUrl + "serve/" + name + "?";
    s.publish(name, "v1", kSize);
    World w;
    w.download(url + c.options);
    ASSERT_EQ(w.run().status, 0);
    // The agent cached, to be started again, or (last row) not.
    ASSERT_TRUE(pathExists(w.cache() + "installagent/install"));
    size_t first = requestsFor(name).size();
    if (!c.then.empty()) w.download(url + c.then);
    Result r = w.run();
    std::vector<Request> requests = requestsFor(name);
    ASSERT_EQ(requests.size(), first + c.second.size()) << r.err;
    std::string stamp = w.stamp();  // "Last-Modified: <date>" for D
    std::vector<int> second;
    for (size_t i = first; i < requests.size(); ++i) second.push_back(requests[i].status);
    EXPECT_EQ(std::make_tuple(r.status, requests[first].ifNoneMatch, requests[first].unasked,
                              second, w.runs(), tree(w.tmp)),
              std::make_tuple(c.then.empty() ? 0 : 255, c.condition == 'E' ? stamp : "",
                              c.condition == 'D' ? "\"" + stamp.substr(15) + "\" null" : "null null",
                              c.second, Strings(c.then.empty() ? 2 : 1, "v1"), Strings{}))
        << r.err;
  }
}
