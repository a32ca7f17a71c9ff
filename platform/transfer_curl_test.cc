// The libcurl transfer against the fault server on 127.0.0.1.
#include <gmock/gmock.h>
#include <fcntl.h>

#include <regex>

#include "platform/loop.h"
#include "platform/system.h"
#include "platform/transfer.h"
#include "tests/integration/harness.h"

namespace {

// Records the delegate calls of one transfer and stops the loop at its end.
// A 206 is written at its Content-Range's start, anything at |at| when set.
struct Recorder : TransferDelegate {
  void transferDidReceiveResponse(const TransferResponse& r) override {
    events += "response;", status = r.status, etag = r.etag;
    if (at >= 0 || r.rangeStart >= 0) running->writeBodyAt(at >= 0 ? at : r.rangeStart);
  }
  void transferDidReceiveData(uint64_t length) override {
    events += events.back() == '+' ? "" : "data+", bytes += length, counted.push_back(bytes);
    if (cancelOnData) running->cancel(), loop->stop();
    // The bytes counted so far are those the server sent, in the file.
    if (!served.empty()) { EXPECT_EQ(readFile(file).substr(0, bytes), served.substr(0, bytes)); }
  }
  void transferDidWriteRange(int64_t, int64_t length, bool) override { outOfOrder += length; }
  void transferDidFinish() override { ended("finished;"); }
  void transferDidFail(const TransferError& e) override { error = e, ended("failed;"); }
  void ended(const char* how) { events += how, loop->stop(); }

  Loop* loop = nullptr; Transfer* running = nullptr;
  int64_t at = -1; bool cancelOnData = false; long status = 0; uint64_t bytes = 0;
  std::string etag; int64_t outOfOrder = 0;
  std::vector<uint64_t> counted;  // the total at each chunk
  std::string served, file;       // checked at each chunk when set
  std::string events = ";"; TransferError error;
};

// One transfer of /serve/|name|?|options| from the fault server, with
// the certificate trusted; the file served holds 0123456789.
Recorder transfer(const std::string& name, const std::string& options, TransferRequest request = {},
                  int64_t at = -1, bool cancelOnData = false, const std::string& served = "") {
  Recorder recorder;
  ScopedEnv ca("CURL_CA_BUNDLE", servers().cert.c_str());
  writeFile(servers().www + "/" + name, served.empty() ? "0123456789" : served);
  request.url = servers().faultUrl + "serve/" + name + "?" + options;
  if (request.destination.empty()) request.destination = servers().dir / "archive";
  std::unique_ptr<Loop> loop = newPollLoop();
  recorder.loop = loop.get(), recorder.at = at, recorder.cancelOnData = cancelOnData;
  recorder.served = served, recorder.file = request.destination;
  auto running = startTransfer(*loop, request, recorder);
  recorder.running = running.get(), loop->addTimer(20, [&] { loop->stop(); }), loop->run();
  return recorder;
}

}  // namespace

// The caller, not the transport, decides what a short body means: it is
// delivered as it came, ended. A stall fails after the idle limit and
// removes the file; a slow but steady body never fails, unless slower than
// asked: it then fails as idle though bytes keep coming (the caller's retry
// bounds then end it). A full disk is a local write failure that says so. The proxy field: a
// proxy that cannot be reached says so; "direct://" goes direct whatever the environment says.
// (A proxy given, and the environment's when the field is empty, go through the tunnel in
// Proxy.EnvironmentFirstThenTheDesktopsSettings; no proxy at all is every other row's road.)
TEST(Transfer, DeliversWhatCameAndFailsOnlyWhenIdleOrUnwritable) {
  using Fault = TransferFault;
  const std::string dead = "http://127.0.0.1:" + loopbackPort();
  // Each row fails when it says why; -1 bytes: fewer than the 10 served.
  const struct { std::string options; double idle; int64_t minBytes; std::string destination;
                 int bytes; Fault fault; std::string said, proxy = ""; } cases[] = {
      // Longer than announced (5 of 10): the announced bytes and no more.
      // Shorter (cut): what came, for the caller.
      {"length=5", 5, 0, "", 5, Fault::kOther, ""}, {"cut=5", 5, 0, "", 5, Fault::kOther, ""},
      {"stall=1500", 0.5, 0, "", 1, Fault::kIdle, "The request timed out\\."},
      // 1.5 s, never 0.5 s without a byte, but fewer than 100 bytes in it.
      {"trickle=150", 0.5, 0, "", 10, Fault::kOther, ""},
      {"trickle=150", 0.5, 100, "", -1, Fault::kIdle,
       "The transfer stalled: fewer than 100 bytes in .*"},
      // /dev/full is kept: a failure must not remove it.
      {"", 5, 0, "/dev/full", 0, Fault::kLocalWrite,
       "Cannot write /dev/full: No space left on device"},
      // With https_proxy set to |dead|, which "direct://" must win over.
      {"", 5, 0, "", 10, Fault::kOther, "", "direct://"},
      {"", 5, 0, "", 0, Fault::kNetwork, "Failed to connect to 127\\.0\\.0\\.1 port .*", dead}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options + " " + std::to_string(c.minBytes) + " " + c.proxy);
    fs::remove(servers().dir / "archive");
    ScopedEnv variable("https_proxy", c.proxy.empty() ? nullptr : dead.c_str());
    TransferRequest request;
    request.minBytesPerIdle = c.minBytes, request.idleTimeout = c.idle, request.proxy = c.proxy;
    request.destination = c.destination, request.keepPartial = !c.destination.empty();
    Recorder r = transfer("transfer-" + c.options, c.options, request);
    std::string events = std::string(c.proxy == dead ? ";" : ";response;") +
                         (c.bytes ? "data+" : "") + (c.said.empty() ? "finished;" : "failed;");
    EXPECT_EQ(std::make_tuple(r.events, r.error.fault, r.error.proxyUnreachable,
                              pathExists(servers().dir / "archive")),
              std::make_tuple(events, c.fault, c.proxy == dead,
                              c.destination.empty() && c.bytes >= 5));
    EXPECT_TRUE(c.bytes < 0 ? r.bytes < 10 : r.bytes == uint64_t(c.bytes)) << r.bytes;
    EXPECT_THAT(r.error.description, ::testing::MatchesRegex(c.said));
  }
}

// Ranges against the file 0123456789, the destination holding |before|: a
// suffix cuts the file to its start, a bounded range keeps the bytes before
// and after it, a 200 replaces the file, also when written at 0. A 206
// that would run past the bounded range's end is refused whole, the bytes
// after it intact. (A suffix into a new file begins every download.)
TEST(Transfer, WritesRangesWhereTheyBelong) {
  const struct {
    int64_t start, end, suffix, at; long status; std::string options, ifRange, before, after;
  } cases[] = {
      {0, -1, 4, -1, 206, "", "", "abcdefghijklmnop", "abcdef6789"},
      {2, 6, 0, -1, 206, "", "", "ab____6789", "ab23456789"},
      {0, -1, 4, -1, 200, "", "\"other\"", "ab____6789XYZ", "0123456789"},
      {2, 6, 0, 0, 200, "range=ignore", "", "ab____6789XYZ", "0123456789"},
      {2, 6, 0, 4, 206, "", "", "ab____6789", "ab____6789"}};  // 4 bytes at 4: fails
  std::string file = servers().dir / "archive";
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases); writeFile(file, c.before);
    TransferRequest request;
    request.rangeStart = c.start, request.rangeEnd = c.end, request.suffixLength = c.suffix;
    request.ifRange = c.ifRange, request.keepPartial = true;
    Recorder r = transfer("ranges", c.options, request, c.at);
    const char* events = c.after == c.before ? ";response;failed;" : ";response;data+finished;";
    EXPECT_EQ(std::make_tuple(r.status, r.events, readFile(file)),
              std::make_tuple(c.status, events, c.after));
  }
}

// Received bytes are written in large pieces, but each chunk counted is
// already in the file, and a body that pauses is written and counted
// while it waits: 64 KiB pieces 300 ms apart are each counted whole
// before the next comes. What came before a reset is kept and counted,
// though it came too shortly before to have been written yet; a cancel
// (at the first count, while more is held) keeps exactly what was counted.
TEST(Transfer, CountsOnlyWrittenBytesAndWritesThemWhileTheBodyPauses) {
  std::string served;
  for (int i = 0; served.size() < 384 * 1024; ++i) served += std::to_string(i * 7919) + ",";
  served.resize(384 * 1024);
  const struct { std::string options; bool whole, cancel; } cases[] = {
      {"", true, false}, {"pace=300", true, false}, {"pace=30&cut=60000&how=reset", false, false},
      {"", false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options); TransferRequest request;
    request.keepPartial = true;
    Recorder r = transfer("written" + std::to_string(&c - cases), c.options, request, -1, c.cancel,
                          served);
    std::string kept = readFile(servers().dir / "archive");
    EXPECT_EQ(std::make_tuple(has(r.events, "finished;"), kept.size() == served.size(), r.bytes,
                              served.compare(0, kept.size(), kept)),
              std::make_tuple(c.whole, c.whole, kept.size(), 0));
    const uint64_t piece = 64 * 1024;
    for (uint64_t at = piece; has(c.options, "300") && at <= served.size(); at += piece)
      EXPECT_THAT(r.counted, ::testing::Contains(at));
  }
}

// Transfers in turn go over the connection the last one left open, with
// the server's next answer; one cancelled amid its body leaves none to
// reuse with its bytes still coming. The connections kept open are not
// inherited by the programs started later (the agent).
TEST(Transfer, ReusesTheServersOpenConnection) {
  const struct { std::string name; bool cancel, sameConnection; } cases[] = {
      {"conn-a", false, false}, {"conn-b", false, true}, {"conn-c", true, true},
      {"conn-d", false, false}, {"conn-e", false, true}};
  // Open sockets of this process that a started program would inherit.
  auto inheritableSockets = [] {
    int found = 0;
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
      std::error_code error;
      found += !(fcntl(std::stoi(fd.path().filename()), F_GETFD) & FD_CLOEXEC) &&
               has(fs::read_symlink(fd.path(), error), "socket:");
    }
    return found;
  };
  std::string last;
  int inherited = inheritableSockets();  // from whatever started the test
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder r = transfer(c.name, c.cancel ? "keep=1&trickle=100" : "keep=1", {}, -1, c.cancel);
    EXPECT_EQ(r.events, c.cancel ? ";response;data+" : ";response;data+finished;");
    EXPECT_TRUE(c.cancel || readFile(servers().dir / "archive") == "0123456789");
    std::string log = faultLog(c.name); std::smatch port;
    ASSERT_TRUE(std::regex_search(log, port, std::regex("\"port\": (\\d+)"))) << log;
    EXPECT_EQ(port[1] == last, c.sameConnection) << log;
    last = port[1];
  }
  EXPECT_EQ(inheritableSockets(), inherited);
}

// Parts of one range on further connections end with the file one stream
// gives, whatever the server does to the parts: the same bytes counted in
// order, or a failure that counts only bytes of the file. A part answered
// with the whole file, another file or more than asked ends parts, and the
// first connection goes on alone (or, once its share was cut, the attempt
// fails as partsRefused); parts that break off are asked again.
TEST(Transfer, PartsEndWithTheFileOneStreamGives) {
  std::string served;
  for (int i = 0; served.size() < (3u << 20) + 12345; ++i) served += std::to_string(int64_t{i} * 7919) + ",";
  // partsWrite: whether parts write bytes (-1: some may, before one is refused).
  const struct { const char* parts; int partsWrite; bool finishes; } cases[] = {
      {"", 1, true},
      {"&range=ignore", 0, true},
      {"&change=other", 0, true},
      {"&change=other&ifrange=ignore", 0, true},
      {"&range=long", -1, true},
      {"&range=short", 1, false},
  };
  writeFile(servers().www + "/other", served.substr(1) + "!");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.parts);
    for (bool parts : {false, true}) {
      std::string options = std::string("pace=30&after=1") + c.parts;
      std::string etag = transfer("parts", "pace=0", {}, -1, false, served).etag;
      TransferRequest request;
      request.rangeEnd = served.size(), request.ifRange = etag;
      if (parts) request.moreConnections = [](const LinkSample& s) { return s.bytes > 0 ? 3 : 0; };
      Recorder r = transfer("parts", options + "&n=" + std::to_string(parts), request, -1, false, served);
      bool finished = r.events.find("finished;") != std::string::npos;
      // Where parts are refused after the first connection's share was cut
      // (a slow machine), the attempt fails as partsRefused: one stream then
      // fetches the rest.
      bool refused = !finished && r.error.partsRefused && parts && c.partsWrite <= 0;
      EXPECT_EQ(finished || refused, !parts || c.finishes) << r.events << " " << r.error.description;
      EXPECT_TRUE(!finished || readFile(servers().dir / "archive") == served);
      EXPECT_TRUE(c.partsWrite < 0 || (r.outOfOrder > 0) == (parts && c.partsWrite)) << r.outOfOrder;
    }
  }
}

// A connection slower than the others does not hold the end: free ones
// take the back of its share, the first connection's down to a small piece,
// a part's where the piece is worth more than what the cut loses (a round
// trip's bytes, little here), also once the others are free before it
// brings its first byte; the file is the one stream's.
TEST(Transfer, FreeConnectionsTakeOverASlowShare) {
  std::string served;
  for (int i = 0; served.size() < (3u << 20); ++i) served += std::to_string(int64_t{i} * 7919) + ",";
  const std::string last = std::to_string(served.size() - 1);
  const struct { const char *name, *options; std::string range; } rows[] = {
      {"slowfirst", "pacezero=240", R"re("range": "bytes=(0)-(\d+)".*?"reached": (\d+))re"},
      {"slowpart", "piece=16384&pacezero=10&paceend=60&waitend=800", R"re("range": "bytes=([1-9]\d*)-()re" + last + R"re()".*?"reached": (\d+))re"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.options);
    TransferRequest request;
    request.rangeEnd = served.size(), request.ifRange = transfer(row.name, "", {}, -1, false, served).etag;
    request.moreConnections = [](const LinkSample& s) { return s.bytes > 0 ? 3 : 0; };
    Recorder r = transfer(row.name, row.options, request, -1, false, served);
    EXPECT_THAT(r.events, ::testing::EndsWith("finished;"));
    EXPECT_TRUE(readFile(servers().dir / "archive") == served);
    std::smatch slow;
    // The server notes what reached the program once it finds it gone.
    std::string log;
    auto logged = [&] { return std::regex_search(log = faultLog(row.name), slow, std::regex(row.range)); };
    ASSERT_TRUE(waitUntil(logged, 10)) << log;
    // The slow answer was cut well before its end: a quarter of the file
    // for the first connection, a part's asked bytes less a piece. What
    // reached the program counts, not what the server had buffered for it.
    long asked = (slow[2].length() ? std::stol(slow[2]) : long(served.size() - 1)) - std::stol(slow[1]) + 1;
    EXPECT_LT(std::stol(slow[3]), std::min(long(served.size() / 4), asked - (128 << 10))) << log;
  }
}

// The file system under a path (a link's, a file's): its mount point leads
// to the real path and is the topmost directory on its device; the free
// space is df's. A path that is not there has none.
TEST(System, DiskSpaceAtAPathNamesItsFileSystem) {
  DiskSpace space;
  for (std::string path : {"/", "/proc/self/cwd", servers().cert.c_str()}) {
    SCOPED_TRACE(path); ASSERT_TRUE(diskSpaceAt(path, &space));
    std::string real = fs::canonical(path);
    struct stat at = {}, mount = {}, above = {};
    stat(real.c_str(), &at), stat(space.mountPoint.c_str(), &mount);
    stat((space.mountPoint + "/..").c_str(), &above);
    // A prefix of the real path, on its device, and the directory above it on another.
    EXPECT_EQ(std::make_tuple(real.rfind(space.mountPoint, 0), space.device, mount.st_dev),
              std::make_tuple(size_t(0), at.st_dev, at.st_dev)) << space.mountPoint;
    EXPECT_TRUE(space.mountPoint == "/" || above.st_dev != at.st_dev) << space.mountPoint;
    Result df = Proc({"df", "-B1", "--output=avail", real}, {{"PATH", getenv("PATH")}}).finish(60);
    EXPECT_NEAR(space.freeBytes, std::stod(df.out.substr(df.out.find('\n'))), 64 << 20) << df.out;
  }
  EXPECT_FALSE(diskSpaceAt(servers().dir / "missing", &space));
}
