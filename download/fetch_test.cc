#include "download/fetch.h"

#include <gtest/gtest.h>

#include "agent/partial.h"
#include "tests/fake_net.h"
#include "tests/test_util.h"

namespace {

using E = Exchange;
const E::End kCut = E::kNetworkFail;
const E::End kIdle = E::kIdleFail;

// Records what the fetch reports, one word each. It has "c" already: it
// declines that body.
struct Recorder : FetchDelegate {
  bool fetchWantsBody(const FetchStart& offered) override { return offered.etag != "\"c\""; }
  bool fetchNotModified() override {
    events.push_back("304");
    return cacheUsable;
  }
  void fetchAccepted(const FetchStart& s) override {
    events.push_back("accept " + std::to_string(s.kept) + "/" + std::to_string(s.total) +
                     (s.tailStart > 0 ? " end@" + std::to_string(s.tailStart) : "") +
                     (s.end > 0 ? " until " + std::to_string(s.end) : ""));
  }
  void fetchProgress(int64_t received) override { last = received; }
  void fetchWaiting(FetchWait, int seconds) override {
    events.push_back("wait " + std::to_string(seconds));
  }
  void fetchFinished() override { events.push_back("finished " + std::to_string(last)); }
  void fetchFailed(const FetchError& e) override {
    static const char* const kNames[] = {"unreachable", "lost", "status", "not-modified",
                                         "bad-response", "too-large", "refused", "write", "other"};
    events.push_back(std::string("failed ") + kNames[int(e.failure)] +
                     (e.status ? " " + std::to_string(e.status) : ""));
  }
  bool cacheUsable = true;
  int64_t last = 0;
  std::vector<std::string> events;
};

// An attempt as the server saw it: its conditions and where the body went.
std::string describe(const Asked& a) {
  std::string text;
  if (!a.ifNoneMatch.empty()) text += "If-None-Match:" + a.ifNoneMatch + " ";
  if (!a.ifModifiedSince.empty()) text += "If-Modified-Since:" + a.ifModifiedSince + " ";
  if (a.suffixLength > 0) text += "Range:-" + std::to_string(a.suffixLength) + " ";
  if (a.rangeStart > 0 || a.rangeEnd > 0)
    text += "Range:" + std::to_string(a.rangeStart) + "-" +
            (a.rangeEnd > 0 ? std::to_string(a.rangeEnd - 1) : "") + " ";
  if (!a.ifRange.empty()) text += "If-Range:" + a.ifRange + " ";
  return text + (a.bodyAt < 0 ? "no body" : "body@" + std::to_string(a.bodyAt));
}

// Each row: the request's condition and kept bytes, the server's answers,
// the attempts as it saw them and what the fetch reported.
struct Row {
  const char* name;
  std::string ifNoneMatch;  // or "Last-Modified: <date>" for If-Modified-Since
  int64_t kept;  // bytes kept of a 1000-byte file with ETag "k"
  std::vector<E> script;
  std::vector<std::string> asked;
  std::vector<std::string> events;
  int64_t suffix = 0, rangeEnd = -1;  // asked for the last 256 bytes, or the bytes before 744
  int64_t maxBytes = -1;
  bool cacheUsable = true;
};

E ok(std::string etag, int64_t length, int64_t body = -1, E::End end = E::kFinish) {
  E e;
  e.etag = etag, e.expectedLength = length, e.body = body, e.end = end;
  return e;
}
E status(long code, std::string retryAfter = "", std::string etag = "") {
  E e = ok(etag, 0);
  e.status = code, e.retryAfter = retryAfter;
  return e;
}
E partial(int64_t start, int64_t total, int64_t body = -1, E::End end = E::kFinish) {
  E e = ok("\"k\"", total - start, body, end);
  e.status = 206, e.rangeStart = start, e.rangeTotal = total;
  return e;
}
E failing(E::End end) {
  E e = ok("", 0, -1, end);
  e.status = 0;
  return e;
}
E before(int64_t start, int64_t body = -1, E::End end = E::kFinish) {
  E e = partial(start, 1000, body, end);
  e.expectedLength = 744 - start;
  return e;
}

const char kGet[] = "body@0";
const char kEnd[] = "Range:-256 body@744";
const char kBeforeEnd[] = "Range:0-743 If-Range:\"k\" body@0";
const char kResume100[] = "Range:100- If-Range:\"k\" body@100";
const char kRanged100[] = "Range:100- If-Range:\"k\" no body";

const Row kRows[] = {
    {"304 to the condition", "\"c\"", 0, {status(304)}, {"If-None-Match:\"c\" no body"}, {"304"}},
    {"200 to the condition, declined", "\"c\"", 0, {ok("\"c\"", 10)},
     {"If-None-Match:\"c\" no body"}, {}},
    {"304 nobody asked for", "", 0, {status(304)}, {"no body"}, {"failed not-modified 304"}},
    {"304 naming another ETag", "\"c\"", 0, {status(304, "", "\"x\""), ok("\"x\"", 10)},
     {"If-None-Match:\"c\" no body", kGet}, {"accept 0/10", "finished 10"}},
    {"304 the cache cannot use", "\"c\"", 0, {status(304), ok("\"x\"", 10)},
     {"If-None-Match:\"c\" no body", kGet}, {"304", "accept 0/10", "finished 10"}, 0, -1, -1,
     false},
    {"304 by weak comparison", "W/\"c\"", 0, {status(304, "", "\"c\"")},
     {"If-None-Match:W/\"c\" no body"}, {"304"}},
    {"304 to a date", "Last-Modified: Mon, 07 Dec 2026 10:00:00 GMT", 0, {status(304)},
     {"If-Modified-Since:Mon, 07 Dec 2026 10:00:00 GMT no body"}, {"304"}},
    {"206 that continues", "", 100, {partial(100, 1000)}, {kResume100},
     {"accept 100/1000", "finished 1000"}},
    {"206 of another file (If-Range ignored)", "", 100,
     {[] { E e = partial(100, 1000); e.etag = "\"new\""; return e; }(), ok("\"new\"", 1000)},
     {kRanged100, kGet}, {"accept 0/1000", "finished 1000"}},
    {"invalid Content-Length", "", 0,
     {[] { E e = ok("\"a\"", -1); e.badLength = true; return e; }()}, {"no body"},
     {"failed bad-response"}},
    {"206 at the wrong start", "", 100, {partial(50, 1000), ok("\"k\"", 1000)}, {kRanged100, kGet},
     {"accept 0/1000", "finished 1000"}},
    {"206 of another total", "", 100, {partial(100, 2000), ok("\"k\"", 2000)}, {kRanged100, kGet},
     {"accept 0/2000", "finished 2000"}},
    {"206 to a request without Range", "", 0, {partial(0, 1000)}, {"no body"},
     {"failed bad-response"}},
    {"200 to a range request", "", 100, {ok("\"n\"", 500)}, {"Range:100- If-Range:\"k\" body@0"},
     {"accept 0/500", "finished 500"}},
    {"416 to a range request", "", 100, {status(416), ok("\"k\"", 1000)}, {kRanged100, kGet},
     {"accept 0/1000", "finished 1000"}},
    {"404 is not retried", "", 0, {status(404)}, {"no body"}, {"failed status 404"}},
    {"503 waits as asked", "", 0, {status(503, "3"), ok("\"a\"", 10)}, {"no body", kGet},
     {"wait 3", "accept 0/10", "finished 10"}},
    {"503 asking for more than a minute", "", 0, {status(503, "61")}, {"no body"},
     {"failed status 503"}},
    {"a link down for eight seconds is ridden out", "", 0,
     {failing(kCut), failing(kCut), failing(kCut), failing(kCut), failing(kCut), failing(kCut),
      ok("\"a\"", 10)},
     {"no body", "no body", "no body", "no body", "no body", "no body", kGet},
     {"wait 1", "wait 1", "wait 1", "wait 2", "wait 4", "wait 8", "accept 0/10", "finished 10"}},
    {"idle after bytes continues them", "", 0, {ok("\"k\"", 1000, 100, kIdle), partial(100, 1000)},
     {kGet, kResume100}, {"accept 0/1000", "wait 1", "accept 100/1000", "finished 1000"}},
    {"idle before any byte", "", 0, {failing(kIdle)}, {"no body"}, {"failed unreachable"}},
    {"certificate refused", "", 0, {failing(E::kRefused)}, {"no body"}, {"failed refused"}},
    {"closed before the announced length", "", 0, {ok("\"k\"", 1000, 100), partial(100, 1000)},
     {kGet, kResume100}, {"accept 0/1000", "wait 1", "accept 100/1000", "finished 1000"}},
    {"cut with a weak ETag starts over", "", 0,
     {ok("W/\"k\"", 1000, 100, kCut), ok("W/\"k\"", 1000)}, {kGet, kGet},
     {"accept 0/1000", "wait 1", "accept 0/1000", "finished 1000"}},
    {"longer than announced", "", 0, {ok("\"k\"", 1000, 1200)}, {kGet},
     {"accept 0/1000", "failed bad-response"}},
    {"length of no length", "", 0, {ok("\"k\"", -1, 700)}, {kGet}, {"accept 0/-1", "finished 700"}},
    {"announced larger than allowed", "", 0, {ok("\"s\"", 9000)}, {"no body"}, {"failed too-large"},
     0, -1, 8192},
    {"sent larger than allowed", "", 0, {ok("\"s\"", -1, 9000)}, {kGet},
     {"accept 0/-1", "failed too-large"}, 0, -1, 8192},
    {"the end first", "", 0, {partial(744, 1000)}, {kEnd},
     {"accept 744/1000 end@744", "finished 1000"}, 256},
    {"the end first, whole file instead", "", 0, {ok("\"k\"", 1000)}, {"Range:-256 body@0"},
     {"accept 0/1000", "finished 1000"}, 256},
    {"the end first, 206 of the whole file", "", 0, {partial(0, 1000)}, {"Range:-256 body@0"},
     {"accept 0/1000", "finished 1000"}, 256},
    {"the end first, 304 to its condition", "\"c\"", 0, {status(304)},
     {"If-None-Match:\"c\" Range:-256 no body"}, {"304"}, 256},
    {"the end first, 416", "", 0, {status(416), ok("\"k\"", 1000)}, {"Range:-256 no body", kGet},
     {"accept 0/1000", "finished 1000"}, 256},
    {"the end first, cut and continued", "", 0, {partial(744, 1000, 100, kCut), partial(844, 1000)},
     {kEnd, "Range:844- If-Range:\"k\" body@844"},
     {"accept 744/1000 end@744", "wait 1", "accept 844/1000 end@744", "finished 1000"}, 256},
    {"the bytes before the end", "", 0, {before(0)}, {kBeforeEnd},
     {"accept 0/1000 until 744", "finished 744"}, 0, 744},
    {"the bytes before the end, cut and continued", "", 0, {before(0, 100, kCut), before(100)},
     {kBeforeEnd, "Range:100-743 If-Range:\"k\" body@100"},
     {"accept 0/1000 until 744", "wait 1", "accept 100/1000 until 744", "finished 744"}, 0, 744},
    {"the bytes before the end, whole file instead", "", 0, {ok("\"k\"", 1000)},
     {kBeforeEnd}, {"accept 0/1000", "finished 1000"}, 0, 744},
    {"the bytes before the end, past it", "", 0, {partial(0, 1000), ok("\"k\"", 1000)},
     {"Range:0-743 If-Range:\"k\" no body", kGet}, {"accept 0/1000", "finished 1000"}, 0, 744},
};

// A fetch on a scripted server and a virtual clock.
struct FetchRig {
  FetchRig() : server(loop) {
    services.loop = &loop;
    services.startTransfer = [this](auto& r, auto& d) { return server.start(r, d); };
    services.random = [] { return 0.5; };
    services.wallClock = [] { return time_t(1700000000); };
    services.clock = [this] { return loop.now; };
    services.log = [](const std::string&) {};
    request.url = "https://host/agent";
    request.destination = "/nonexistent/agent.zip";
    request.keptEtag = "\"k\"";  // of the bytes kept, or before the end asked for
    request.keptTotal = 1000;
  }
  // Runs |request| to its end; the attempts as the server saw them.
  std::vector<std::string> run() {
    Fetch fetch(services, recorder);
    fetch.start(request);
    loop.runUntilIdle();
    EXPECT_FALSE(fetch.running());
    std::vector<std::string> asked;
    for (const Asked& a : server.asked) asked.push_back(describe(a));
    return asked;
  }
  FakeLoop loop;
  ScriptedServer server;
  FetchServices services;
  FetchRequest request;
  Recorder recorder;
};

TEST(Fetch, AsksAndEndsAsTheServerAnswers) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    FetchRig rig;
    rig.server.script = row.script;
    rig.recorder.cacheUsable = row.cacheUsable;
    if (row.ifNoneMatch.rfind("Last-Modified: ", 0) == 0)
      rig.request.ifModifiedSince = row.ifNoneMatch.substr(15);
    else
      rig.request.ifNoneMatch = row.ifNoneMatch;
    rig.request.keptBytes = row.kept;
    rig.request.maxBytes = row.maxBytes;
    rig.request.suffix = row.suffix;
    rig.request.rangeEnd = row.rangeEnd;
    EXPECT_EQ(rig.run(), row.asked);
    EXPECT_EQ(rig.recorder.events, row.events);
  }
}

}  // namespace

// The bounds: a restart from zero is an attempt like any other (after 19
// attempts that each got further, a 416 ends the fetch instead of starting
// a 21st); a server that keeps failing is given a minute of waits, not a
// count.
TEST(Fetch, RestartsAndFailuresEndWithinTheBounds) {
  FetchRig restarts;
  restarts.server.script.push_back(ok("\"k\"", 1000, 10, kCut));
  for (int i = 1; i < RetryPolicy::kMaxAttempts - 1; ++i)
    restarts.server.script.push_back(partial(10 * i, 1000, 10, kCut));
  restarts.server.script.push_back(status(416));
  restarts.server.script.push_back(ok("\"k\"", 1000));
  EXPECT_EQ(restarts.run().size(), size_t(RetryPolicy::kMaxAttempts));
  EXPECT_EQ(restarts.recorder.events.back(), "failed bad-response");

  FetchRig failing;
  failing.server.script.assign(RetryPolicy::kMaxAttempts, status(500));
  EXPECT_GT(failing.run().size(), 5u);
  EXPECT_EQ(failing.recorder.events.back(), "failed status 500");
  EXPECT_LE(failing.loop.now, RetryPolicy::kStalledSeconds + 1);
  EXPECT_GT(failing.loop.now, RetryPolicy::kStalledSeconds - RetryPolicy::kCapSeconds);
}

// What a broken fetch leaves: with a strong ETag, the bytes and the part's
// description for a later run; otherwise, or when the disk is full, nothing.
// Of the bytes before the file's end, the first ones without the end; of
// the end alone, nothing.
TEST(Fetch, KeepsTheBytesOfABrokenFetchOnlyForAStrongEtag) {
  const struct { const char* etag; E::End end; bool kept; int64_t rangeEnd, suffix; } cases[] = {
      {"\"k\"", kCut, true, -1, 0}, {"W/\"k\"", kCut, false, -1, 0},
      {"\"k\"", E::kDiskFull, false, -1, 0}, {"\"k\"", kCut, true, 744, 0},
      {"\"k\"", kCut, false, -1, 256}};
  for (const auto& c : cases) {
    ScratchDir scratch;
    KeptPart part(scratch.path() + "/");
    writeFile(part.path(), std::string(c.rangeEnd > 0 ? 1000 : 300, 'x'));
    FetchRig rig;
    E first = c.rangeEnd > 0 ? before(0, 300, c.end) : ok(c.etag, 1000, 300, c.end);
    if (c.suffix) first = partial(744, 1000, 100, c.end);
    rig.server.script = {first, status(404)};
    rig.request.destination = part.path();
    rig.request.part = &part;
    rig.request.rangeEnd = c.rangeEnd;
    rig.request.suffix = c.suffix;
    rig.run();
    EXPECT_EQ(rig.recorder.events.back(), c.end == kCut ? "failed status 404" : "failed write");
    EXPECT_EQ(pathExists(part.path()), c.kept) << c.etag;
    std::string keptEtag;
    int64_t total = 0;
    EXPECT_EQ(part.keptFor(rig.request.url, &keptEtag, &total), c.kept ? 300 : 0) << c.etag;
    EXPECT_EQ(readFile(part.path()).size(), c.kept ? 300u : 0u);
  }
}
