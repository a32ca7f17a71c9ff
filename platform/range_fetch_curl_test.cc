// Range fetches against nginx offering HTTP/2 and the fault server (HTTP/1.1).
#include <gmock/gmock.h>

#include <regex>
#include <set>

#include "platform/loop.h"
#include "platform/range_fetch.h"
#include "platform/transfer.h"
#include "tests/integration/harness.h"

namespace {

// Counts the events, cancelling at event |cancelAt| (0: never); first
// fetches the archive's end when asked, as the download does.
struct Recorder : RangeFetchDelegate, TransferDelegate {
  void rangeWritten(size_t index) override { written.insert(index), event(); }
  void rangeBytes(int64_t n) override { bytes += n, event(); }
  void rangesFinished() override { ended("finished"); }
  void rangesFailed(const RangeFetchError& e) override { error = e, ended("failed"); }
  void ended(const char* how) { end = how, event(), loop->stop(); }
  void event() {
    if (++events == cancelAt) fetch->cancel(), loop->addTimer(0.5, [this] { loop->stop(); });
  }
  void transferDidReceiveResponse(const TransferResponse&) override {}
  void transferDidReceiveData(uint64_t) override {}
  void transferDidWriteRange(int64_t, int64_t, bool) override {}
  void transferDidFinish() override { loop->stop(); }
  void transferDidFail(const TransferError&) override { loop->stop(); }
  Loop* loop = nullptr; RangeFetch* fetch = nullptr;
  int events = 0, cancelAt = 0; int64_t bytes = 0;
  std::set<size_t> written; std::string end, protocol; RangeFetchError error;
};

Recorder fetch(const RangeFetchRequest& request, const std::string& ca, int cancelAt = 0,
               bool afterTail = false) {
  ScopedEnv trust("CURL_CA_BUNDLE", ca.c_str());
  std::unique_ptr<Loop> loop = newPollLoop();
  Recorder r;
  r.loop = loop.get(), r.cancelAt = cancelAt;
  TransferRequest last;
  last.url = request.url, last.destination = servers().dir / "tail", last.suffixLength = 1000;
  if (afterTail) startTransfer(*loop, last, r), loop->run();  // the transfer lives through run()
  auto running = startRangeFetch(*loop, request, r);
  r.fetch = running.get();
  loop->addTimer(30, [&] { loop->stop(); });
  loop->run();
  return r.protocol = running->protocol(), r;
}

// The distinct values of |pattern|'s group in |log|, and how many matched.
std::set<std::string> logged(const std::string& log, const std::string& pattern, int* count) {
  std::set<std::string> found;
  std::regex expression(pattern);
  for (std::sregex_iterator it(log.begin(), log.end(), expression), end; it != end; ++it)
    found.insert((*it)[1]), ++*count;
  return found;
}

}  // namespace

// 200 ranges of 2 MiB land where they belong, the gaps and the bytes past
// the file untouched: over HTTP/2 as streams of one connection, over
// HTTP/1.1 on no more connections than allowed; the archive's end's
// connection (a transfer's, HTTP/1.1) is left alone. A fetch cancelled in
// any event stays silent after it.
TEST(RangeFetch, WritesEveryRangeOverFewConnections) {
  ScratchDir h2;  // nginx offering HTTP/2, its log naming each connection
  Proc nginx({"bash", "-c", ". \"$0\" && run_https_server \"$1\" \"$2\"", HTTPS_SERVER, h2.path(),
              servers().www}, {{"PATH", "/usr/sbin:/usr/bin:/bin"}, {"HTTPS_SERVER_HTTP2", "1"}});
  waitUntil([&] { return has(nginx.out(), "\n"); }, 20);
  const struct { bool http2, afterTail; int maxConnections, cancelAt; size_t connections; }
  cases[] = {{true, false, 4, 0, 1}, {true, true, 3, 0, 2}, {false, false, 3, 0, 3},
             {false, true, 2, 0, 3}, {true, false, 4, 1, 0}, {true, false, 4, 30, 0},
             {false, false, 3, 1, 0}, {false, false, 3, 30, 0}};
  std::string body;
  std::generate_n(std::back_inserter(body), 2 << 20, std::mt19937());
  for (const auto& c : cases) {
    std::string file = "ranges" + std::to_string(&c - cases), expected(body.size() + 100, '\0');
    SCOPED_TRACE(file);
    writeFile(servers().www + "/" + file, body);
    std::string port = nginx.out().substr(0, nginx.out().size() - 1);
    RangeFetchRequest request;
    request.url = c.http2 ? "https://127.0.0.1:" + port + "/" + file
                          : servers().faultUrl + "serve/" + file + "?keep=1";
    request.ifRange = c.http2 ? Servers::etag(servers().www + "/" + file) : "";
    request.destination = servers().dir / file, request.maxConnections = c.maxConnections;
    for (int64_t i = 0, at, length; i < 200; ++i) {
      request.ranges.push_back({at = i * 10000 + i % 7, length = 9000 + i * 37 % 1000});
      expected.replace(at, length, body, at, length);
    }
    writeFile(request.destination, ""), fs::resize_file(request.destination, expected.size());
    auto r = fetch(request, c.http2 ? h2 / "cert.pem" : servers().cert, c.cancelAt, c.afterTail);
    EXPECT_EQ(r.protocol, c.http2 ? "HTTP/2" : "HTTP/1.1");
    EXPECT_EQ(r.events, c.cancelAt ? c.cancelAt : r.events);
    if (c.cancelAt) continue;
    bool same = readFile(request.destination) == expected;
    EXPECT_EQ(std::make_tuple(r.end, r.written.size(), r.bytes, same),
              std::make_tuple("finished", 200u, 200 * 9000 + 99300, true)) << r.error.description;
    int requests = 0;
    std::string log = c.http2 ? readFile(h2 / "access.log") : faultLog(file);
    std::string connection = c.http2 ? file + " 206 \\d+ - (\\d+)\n" : "\"port\": (\\d+)";
    EXPECT_EQ(logged(log, connection, &requests).size(), c.connections);
    EXPECT_EQ(requests, 200 + c.afterTail);
  }
}

// Any answer but the range asked for ends the fetch at once: a 200 (the
// ETag changed) after no more than one 64 KiB piece of its body left the
// server, as does a range of a file with another ETag.
TEST(RangeFetch, FailsAtOnceOnAnyOtherAnswer) {
  // Each row: the fault server's options, the If-Range asked with, what the fetch says. The
  // stall goes by a short idle limit; a fetch that trusts only the system's anchors is refused.
  const struct { std::string options, etag; RangeFault fault; long status; } cases[] = {
      {"pace=100", "\"stale\"", RangeFault::kWholeFile, 200},
      {"ifrange=ignore", "\"stale\"", RangeFault::kWholeFile, 206},
      {"range=refuse", "", RangeFault::kStatus, 416}, {"range=bad", "", RangeFault::kBadRange, 206},
      {"range=junk", "", RangeFault::kBadRange, 206}, {"range=star", "", RangeFault::kBadRange, 206},
      {"range=total", "", RangeFault::kBadRange, 206}, {"range=long", "", RangeFault::kBadRange, 206},
      {"less=5000&length=none", "", RangeFault::kNetwork, 0}, {"cut=600000", "", RangeFault::kNetwork, 0},
      {"stall=1500", "", RangeFault::kNetwork, 0}, {"", "", RangeFault::kRefused, 0}};
  for (const auto& c : cases) {
    const std::string file = "fault" + std::to_string(&c - cases);
    SCOPED_TRACE(file + "?" + c.options);
    writeFile(servers().www + "/" + file, std::string(1 << 20, 'x'));
    RangeFetchRequest request;
    request.url = servers().faultUrl + "serve/" + file + "?" + c.options;
    request.destination = servers().dir / "dest-fault", request.ifRange = c.etag;
    request.idleTimeout = c.options == "stall=1500" ? 0.5 : 5, writeFile(request.destination, "");
    for (int64_t k = 0; k < 8; ++k) request.ranges.push_back({k * 131072 + 1000, 100000});
    const bool refused = c.fault == RangeFault::kRefused;
    Recorder r = fetch(request, refused ? "/etc/ssl/certs/ca-certificates.crt" : servers().cert);
    EXPECT_EQ(std::tie(r.end, r.error.fault, r.error.status),
              std::make_tuple(std::string("failed"), c.fault, c.status)) << r.error.description;
    // Bytes of a range are written only once its head is accepted.
    EXPECT_EQ(r.bytes, c.fault == RangeFault::kNetwork || c.options == "range=long" ? r.bytes : 0);
    int requests = 0;
    for (const std::string& sent : logged(faultLog(file), "\"sent\": (\\d+)", &requests))
      EXPECT_LE(std::stoll(sent), 2 * 65536);  // the second piece went to a closed connection
  }
}
