#include "download/fetch.h"

#include <gtest/gtest.h>

#include "agent/partial.h"
#include "tests/fake_net.h"
#include "tests/test_util.h"

namespace {

using E = Exchange;
const TransferFault kCut = TransferFault::kNetwork, kIdle = TransferFault::kIdle;

// Records what the fetch reports, one word each. It has "c" already: it
// declines that body.
struct Recorder : FetchDelegate {
  bool fetchWantsBody(const FetchStart& offered) override { return offered.etag != "\"c\""; }
  bool fetchNotModified() override { events.push_back("304"); return cacheUsable; }
  void fetchAccepted(const FetchStart& s) override {
    events.push_back("accept " + std::to_string(s.kept) + "/" + std::to_string(s.total) +
                     (s.tailStart > 0 ? " end@" + std::to_string(s.tailStart) : "") +
                     (s.end > 0 ? " until " + std::to_string(s.end) : ""));
  }
  void fetchProgress(int64_t received, int64_t) override { last = received; }
  void fetchWaiting(FetchWait, int s) override { events.push_back("wait " + std::to_string(s)); }
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

std::string joined(const std::vector<std::string>& parts, const char* between) {
  std::string all;
  for (const std::string& part : parts) all += (all.empty() ? "" : between) + part;
  return all;
}

// Each row: the server's answers, the attempts as it saw them (" | "
// between) and what the fetch reported ("; " between); then the request's
// condition, kept bytes and bounds.
struct Row {
  const char* name;
  std::vector<E> script;
  std::string asked, events;
  std::string condition = "";  // If-None-Match, or "Last-Modified: <date>" for If-Modified-Since
  int64_t kept = 0;  // bytes kept of a 1000-byte file with ETag "k"
  // Asked for the last 256 bytes, or the bytes before 744; the most allowed.
  int64_t suffix = 0, rangeEnd = -1, maxBytes = -1;
  bool cacheUsable = true;
  ByteRanges written = {};  // kept after the first bytes
};

// An attempt that fails before any answer.
const E kDown = [] { E e = status(0); e.end = kCut; return e; }();
E before(int64_t start, int64_t body = -1, E::End end = {}) {
  E e = partial(start, 1000, body, end);
  e.expectedLength = 744 - start;
  return e;
}

const std::string kC = "\"c\"", kK = "\"k\"", kIfC = "If-None-Match:\"c\" no body";
const std::string kFrom100 = "Range:100- If-Range:\"k\" ", kBefore = "Range:0-743 If-Range:\"k\" ";
const std::string kWhole = "accept 0/1000; finished 1000", kAgain = "no body | body@0";

const Row kRows[] = {
    {"200 to the condition, declined", {ok(kC, 10)}, kIfC, "", kC},
    {"304 nobody asked for", {status(304)}, "no body", "failed not-modified 304"},
    {"304 naming another ETag", {status(304, "", "\"x\""), ok("\"x\"", 10)}, kIfC + " | body@0",
     "accept 0/10; finished 10", kC},
    {"304 the cache cannot use", {status(304), ok("\"x\"", 10)}, kIfC + " | body@0",
     "304; accept 0/10; finished 10", kC, 0, 0, -1, -1, false},
    {"304, weakly equal", {status(304, "", kC)}, "If-None-Match:W/\"c\" no body", "304", "W/" + kC},
    {"304 to a date", {status(304)}, "If-Modified-Since:Mon, 07 Dec 2026 10:00:00 GMT no body",
     "304", "Last-Modified: Mon, 07 Dec 2026 10:00:00 GMT"},
    {"206 of another file (If-Range ignored)", {partial(100, 1000, -1, {}, "\"new\""),
     ok("\"new\"", 1000)}, kFrom100 + kAgain, kWhole, "", 100},
    {"206 at another start", {partial(50, 1000), ok(kK, 1000)}, kFrom100 + kAgain, kWhole, "", 100},
    {"206 of another total", {partial(100, 2000), ok(kK, 2000)}, kFrom100 + kAgain,
     "accept 0/2000; finished 2000", "", 100},
    {"206 to a request without Range", {partial(0, 1000)}, "no body", "failed bad-response"},
    {"200 to a range request", {ok("\"n\"", 500)}, kFrom100 + "body@0",
     "accept 0/500; finished 500", "", 100},
    {"503 waits as asked, a minute at most", {status(503, "60"), ok("\"a\"", 10)}, kAgain,
     "wait 60; accept 0/10; finished 10"},
    {"503 asking for more than a minute", {status(503, "61")}, "no body", "failed status 503"},
    {"a link down 8 s, ridden out", {kDown, kDown, kDown, kDown, kDown, kDown, ok("\"a\"", 10)},
     "no body | no body | no body | no body | no body | " + kAgain,
     "wait 1; wait 1; wait 1; wait 2; wait 4; wait 8; accept 0/10; finished 10"},
    // Continued after the bytes it got, as is a kept part.
    {"idle after bytes", {ok(kK, 1000, 100, kIdle), partial(100, 1000)},
     "body@0 | " + kFrom100 + "body@100", "accept 0/1000; wait 1; accept 100/1000; finished 1000"},
    {"cut with a weak ETag starts over", {ok("W/" + kK, 1000, 100, kCut), ok("W/" + kK, 1000)},
     "body@0 | body@0", "accept 0/1000; wait 1; " + kWhole},
    {"longer than announced", {ok(kK, 1000, 1200)}, "body@0", "accept 0/1000; failed bad-response"},
    {"length of no length", {ok(kK, -1, 700)}, "body@0", "accept 0/-1; finished 700"},
    {"announced larger than allowed", {ok("\"s\"", 9000)}, "no body", "failed too-large", "", 0,
     0, -1, 8192},
    {"sent larger than allowed", {ok("\"s\"", -1, 9000)}, "body@0", "accept 0/-1; failed too-large",
     "", 0, 0, -1, 8192},
    {"end first, whole file instead", {ok(kK, 1000)}, "Range:-256 body@0", kWhole, "", 0, 256},
    {"end first, 206 of all", {partial(0, 1000)}, "Range:-256 body@0", kWhole, "", 0, 256},
    {"end first, 304", {status(304)}, "If-None-Match:\"c\" Range:-256 no body", "304", kC, 0, 256},
    {"end first, 416", {status(416), ok(kK, 1000)}, "Range:-256 " + kAgain, kWhole, "", 0, 256},
    {"end first, cut and continued", {partial(744, 1000, 100, kCut), partial(844, 1000)},
     "Range:-256 body@744 | Range:844- If-Range:\"k\" body@844",
     "accept 744/1000 end@744; wait 1; accept 844/1000 end@744; finished 1000", "", 0, 256},
    {"before the end, cut and continued", {before(0, 100, kCut), before(100)},
     kBefore + "body@0 | Range:100-743 If-Range:\"k\" body@100",
     "accept 0/1000 until 744; wait 1; accept 100/1000 until 744; finished 744", "", 0, 0, 744},
    {"before the end, whole file instead", {ok(kK, 1000)}, kBefore + "body@0", kWhole,
     "", 0, 0, 744},
    {"before the end, past it", {partial(0, 1000), ok(kK, 1000)},
     kBefore + "no body | body@0", kWhole, "", 0, 0, 744},
    // Kept whole: asked past its end, a server refuses (416).
    {"kept whole", {partial(999, 1000)}, "Range:999- If-Range:\"k\" body@999",
     "accept 999/1000; finished 1000", "", 1000},
    {"kept whole in two pieces", {partial(999, 1000)}, "Range:999- If-Range:\"k\" body@999",
     "accept 999/1000; finished 1000", "", 600, 0, -1, -1, true, {{600, 400}}},
    {"kept whole, changed since", {ok("\"new\"", 1200)}, "Range:999- If-Range:\"k\" body@0",
     "accept 0/1200; finished 1200", "", 1000},
};

// A fetch on a scripted server and a virtual clock.
struct FetchRig {
  FetchRig() {
    request.url = "https://host/agent", request.destination = "/nonexistent/agent.zip";
    // Of the bytes kept, or before the end asked for.
    request.keptEtag = "\"k\"", request.keptTotal = 1000;
  }
  // Runs |request| to its end; the attempts as the server saw them: their
  // conditions and where the body went.
  std::string run() {
    Fetch fetch(services, recorder);
    fetch.start(request);
    loop.runUntilIdle();
    EXPECT_FALSE(fetch.running());
    std::vector<std::string> asked;
    for (const Asked& a : server.asked) {
      std::string text;
      if (!a.ifNoneMatch.empty()) text += "If-None-Match:" + a.ifNoneMatch + " ";
      if (!a.ifModifiedSince.empty()) text += "If-Modified-Since:" + a.ifModifiedSince + " ";
      if (a.suffixLength > 0) text += "Range:-" + std::to_string(a.suffixLength) + " ";
      if (a.rangeStart > 0 || a.rangeEnd > 0 || !a.ifRange.empty())
        text += "Range:" + std::to_string(a.rangeStart) + "-" +
                (a.rangeEnd > 0 ? std::to_string(a.rangeEnd - 1) : "") + " ";
      if (!a.ifRange.empty()) text += "If-Range:" + a.ifRange + " ";
      for (const auto& [start, length] : a.written)
        text += "Written:" + std::to_string(start) + "+" + std::to_string(length) + " ";
      asked.push_back(text + (a.bodyAt < 0 ? "no body" : "body@" + std::to_string(a.bodyAt)));
    }
    return joined(asked, " | ");
  }
  FakeLoop loop;
  ScriptedServer server{loop};
  // Its loop, transfers, random numbers, wall clock, clock and log.
  FetchServices services{&loop, [this](auto& r, auto& d) { return server.start(r, d); },
                         [] { return 0.5; }, [] { return time_t(1700000000); },
                         [this] { return loop.now; }, [](const std::string&) {}};
  FetchRequest request;
  Recorder recorder;
};

TEST(Fetch, AsksAndEndsAsTheServerAnswers) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    FetchRig rig;
    rig.server.script = row.script, rig.recorder.cacheUsable = row.cacheUsable;
    bool date = row.condition.rfind("Last-Modified: ", 0) == 0;
    std::string& condition = date ? rig.request.ifModifiedSince : rig.request.ifNoneMatch;
    condition = row.condition.substr(date ? 15 : 0);
    rig.request.keptBytes = row.kept, rig.request.maxBytes = row.maxBytes;
    rig.request.written = row.written;
    rig.request.suffix = row.suffix, rig.request.rangeEnd = row.rangeEnd;
    std::string asked = rig.run();
    EXPECT_EQ(std::make_pair(asked, joined(rig.recorder.events, "; ")),
              std::make_pair(row.asked, row.events));
  }
}

}  // namespace

// A body longer than announced is refused at the first byte too many, none
// of it counted, not once it is whole.
TEST(Fetch, StopsAtTheFirstByteTooMany) {
  FetchRig rig;
  rig.server.script = {ok(kK, 10, 30)};
  rig.run();
  EXPECT_EQ(std::make_pair(rig.recorder.last, rig.recorder.events.back()),
            std::make_pair(int64_t(0), std::string("failed bad-response")));
}

// The bounds: a restart from zero is an attempt like any other (after 19
// attempts that each got further, a 416 ends the fetch instead of starting
// a 21st); a server that keeps failing is given a minute of waits, not a
// count.
TEST(Fetch, RestartsAndFailuresEndWithinTheBounds) {
  FetchRig restarts;
  restarts.server.script.push_back(ok("\"k\"", 1000, 10, kCut));
  for (int i = 1; i < RetryPolicy::kMaxAttempts - 1; ++i)
    restarts.server.script.push_back(partial(10 * i, 1000, 10, kCut));
  restarts.server.script.insert(restarts.server.script.end(), {status(416), ok(kK, 1000)});
  restarts.run();
  EXPECT_EQ(std::make_pair(restarts.server.asked.size(), restarts.recorder.events.back()),
            std::make_pair(size_t(RetryPolicy::kMaxAttempts), std::string("failed bad-response")));

  FetchRig busy;
  busy.server.script.assign(RetryPolicy::kMaxAttempts, status(500));
  busy.run();
  EXPECT_EQ(std::make_tuple(busy.server.asked.size() > 5, busy.recorder.events.back(),
                            busy.loop.now <= RetryPolicy::kStalledSeconds + 1),
            std::make_tuple(true, "failed status 500", true));
  EXPECT_GT(busy.loop.now, RetryPolicy::kStalledSeconds - RetryPolicy::kCapSeconds);
}

// What a broken fetch leaves: with a strong ETag, the bytes and the part's
// description for a later run, which continues them; otherwise, or when
// the disk is full, nothing. Of the bytes before the file's end, the first
// ones and the end, which the description lists (a later run asks for
// neither again), the end even when no first byte came; of the end alone,
// nothing.
TEST(Fetch, KeepsTheBytesOfABrokenFetchOnlyForAStrongEtag) {
  // A small file asked by its end comes whole as a 206 (from 0): kept too.
  const struct {
    const char* etag; E::End end; bool kept; int64_t rangeEnd, suffix, endAt, got;
  } cases[] = {
      {"\"k\"", kCut, true, -1, 0, 744, 300}, {"W/\"k\"", kCut, false, -1, 0, 744, 300},
      {"\"k\"", TransferFault::kLocalWrite, false, -1, 0, 744, 300},
      {"\"k\"", kCut, true, 744, 0, 744, 300}, {"\"k\"", kCut, true, 744, 0, 744, 0},
      {"\"k\"", kCut, false, -1, 256, 744, 100}, {"\"k\"", kCut, true, -1, 256, 0, 300}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.etag << " " << c.rangeEnd << " " << c.suffix << " "
                                    << c.got);
    ScratchDir scratch;
    KeptPart part(scratch.path() + "/");
    writeFile(part.path(), std::string(c.rangeEnd > 0 ? 1000 : 300, 'x'));
    FetchRig rig;
    E first = c.rangeEnd > 0 ? before(0, c.got, c.end) : ok(c.etag, 1000, c.got, c.end);
    rig.server.script = {c.suffix ? partial(c.endAt, 1000, c.got, c.end) : first, status(404)};
    rig.request.destination = part.path(), rig.request.part = &part;
    rig.request.rangeEnd = c.rangeEnd, rig.request.suffix = c.suffix;
    rig.run();
    FetchRig next;  // the next run, as the download asks, once more after a failed connection
    next.server.script = {kDown, status(404)};
    next.request.destination = part.path(), next.request.part = &part;
    next.request.keptBytes = part.keptFor(next.request.url, &next.request.keptEtag,
                                          &next.request.keptTotal, &next.request.written);
    next.request.suffix = 256;  // kept bytes come first
    bool end = c.kept && c.rangeEnd > 0;
    std::string asked = (c.kept ? "Range:" + std::to_string(c.got) + "- If-Range:\"k\" "
                                : "Range:-256 ") + (end ? "Written:744+256 " : "") + "no body";
    EXPECT_EQ(std::make_tuple(rig.recorder.events.back(), pathExists(part.path()),
                              next.request.keptBytes, readFile(part.path()).size(), next.run()),
              std::make_tuple(c.end == kCut ? "failed status 404" : "failed write", c.kept,
                              c.kept ? c.got : 0, end ? 1000u : c.kept ? size_t(c.got) : 0u,
                              asked + " | " + asked));
  }
}
