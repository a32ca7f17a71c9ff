// Range fetches against the fault server (HTTP/1.1).
#include <gmock/gmock.h>

#include <random>
#include <regex>
#include <set>

#include "platform/loop.h"
#include "platform/range_fetch.h"
#include "tests/integration/harness.h"

namespace {

// Counts the events, cancelling at event |cancelAt| (0: never).
struct Recorder : RangeFetchDelegate {
  void rangeWritten(size_t index) override { written.insert(index), event(); }
  void rangeBytes(int64_t n) override { bytes += n, event(); }
  void rangesFinished() override { ended("finished"); }
  void rangesFailed(const RangeFetchError& e) override { error = e, ended("failed"); }
  void ended(const char* how) { end = how, event(), loop->stop(); }
  void event() {
    if (++events == cancelAt) fetch->cancel(), loop->addTimer(0.5, [this] { loop->stop(); });
  }
  Loop* loop = nullptr; RangeFetch* fetch = nullptr;
  int events = 0, cancelAt = 0; int64_t bytes = 0;
  std::set<size_t> written; std::string end, protocol; RangeFetchError error;
};

Recorder fetch(const RangeFetchRequest& request, const std::string& ca, int cancelAt = 0) {
  ScopedEnv trust("CURL_CA_BUNDLE", ca.c_str());
  std::unique_ptr<Loop> loop = newPollLoop();
  Recorder r;
  r.loop = loop.get(), r.cancelAt = cancelAt;
  auto running = startRangeFetch(*loop, request, r);
  r.fetch = running.get();
  loop->addTimer(30, [&] { loop->stop(); });
  loop->run();
  return r.protocol = running->protocol(), r;
}

// The distinct values of |pattern|'s group in the fault server's log of
// |file|, and how many matched.
std::set<std::string> logged(const std::string& file, const std::string& pattern, int* count) {
  std::string log = runSetup({{"PATH", getenv("PATH")}}, {"curl", "-s", "--cacert", servers().cert,
                                                          servers().faultUrl + "log/" + file}).out;
  std::set<std::string> found;
  std::regex expression(pattern);
  for (std::sregex_iterator it(log.begin(), log.end(), expression), end; it != end; ++it)
    found.insert((*it)[1]), ++*count;
  return found;
}

}  // namespace

// 200 ranges of 2 MiB land where they belong, the gaps and the bytes past
// the file untouched, over HTTP/1.1 on no more connections than allowed. A
// fetch cancelled in any event stays silent after it. (Over HTTP/2, as
// streams of one connection and not on the archive's end's: the delta
// test over nginx, which fetches that end first.)
TEST(RangeFetch, WritesEveryRangeOverFewConnections) {
  std::string body;
  std::generate_n(std::back_inserter(body), 2 << 20, std::mt19937());
  for (int cancelAt : {0, 1, 30}) {
    std::string file = "ranges" + std::to_string(cancelAt), expected(body.size() + 100, '\0');
    SCOPED_TRACE(file);
    writeFile(servers().www + "/" + file, body);
    RangeFetchRequest request;
    request.url = servers().faultUrl + "serve/" + file + "?keep=1";
    request.destination = servers().dir / file, request.maxConnections = 3;
    for (int64_t i = 0, at, length; i < 200; ++i) {
      request.ranges.push_back({at = i * 10000 + i % 7, length = 9000 + i * 37 % 1000});
      expected.replace(at, length, body, at, length);
    }
    writeFile(request.destination, ""), fs::resize_file(request.destination, expected.size());
    Recorder r = fetch(request, servers().cert, cancelAt);
    EXPECT_EQ(std::make_pair(r.protocol, r.events),
              std::make_pair(std::string("HTTP/1.1"), cancelAt ? cancelAt : r.events));
    if (cancelAt) continue;
    int requests = 0;
    const size_t connections = logged(file, "\"port\": (\\d+)", &requests).size();
    EXPECT_EQ(std::make_tuple(r.end, r.written.size(), r.bytes, connections, requests,
                              readFile(request.destination) == expected),
              std::make_tuple("finished", 200u, 200 * 9000 + 99300, 3u, 200, true))
        << r.error.description;
  }
}

// Any answer but the range asked for ends the fetch at once, no more than
// one 64 KiB piece of its body sent: a range of a file with another ETag, a
// range elsewhere; as does a broken or idle connection, or a certificate
// not trusted. (A 200 and a 416 stop a delta the same way, the body unread:
// the delta test, end to end.)
TEST(RangeFetch, FailsAtOnceOnAnyOtherAnswer) {
  const struct {
    std::string file, options, ifRange, ca; double idle; RangeFault fault; long status;
  } cases[] = {
      {"f2", "ifrange=ignore", "\"stale\"", "", 5, RangeFault::kWholeFile, 206},
      {"f5", "range=bad", "", "", 5, RangeFault::kBadRange, 206},
      {"f6", "range=junk", "", "", 5, RangeFault::kBadRange, 206},
      {"f7", "cut=600000", "", "", 5, RangeFault::kNetwork, 0},
      {"f8", "stall=1500", "", "", 0.5, RangeFault::kNetwork, 0},
      {"f9", "", "", "/etc/ssl/certs/ca-certificates.crt", 5, RangeFault::kRefused, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file + "?" + c.options);
    writeFile(servers().www + "/" + c.file, std::string(1 << 20, 'x'));
    RangeFetchRequest request;
    request.url = servers().faultUrl + "serve/" + c.file + "?" + c.options;
    request.destination = servers().dir / "dest-fault", request.ifRange = c.ifRange;
    request.idleTimeout = c.idle, writeFile(request.destination, "");
    for (int64_t k = 0; k < 8; ++k) request.ranges.push_back({k * 131072 + 1000, 100000});
    Recorder r = fetch(request, c.ca.empty() ? servers().cert : c.ca);
    EXPECT_EQ(std::tie(r.end, r.error.fault, r.error.status),
              std::make_tuple(std::string("failed"), c.fault, c.status)) << r.error.description;
    EXPECT_EQ(r.bytes, c.fault == RangeFault::kNetwork ? r.bytes : 0);  // only a cut writes some
    int requests = 0;
    for (const std::string& sent : logged(c.file, "\"sent\": (\\d+)", &requests))
      EXPECT_LE(std::stoll(sent), 2 * 65536);  // the second piece went to a closed connection
  }
}
