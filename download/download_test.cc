#include "download/download.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "agent/cache.h"
#include "agent/partial.h"
#include "display/window.h"
#include "download/bootstrap.h"
#include "download/progress.h"
#include "platform/file_copy.h"
#include "tests/fake_net.h"
#include "tests/test_util.h"
#include "util/constants.h"
#include "util/exe_path.h"

namespace {

class FakeWindow : public DownloadWindow {
 public:
  void setCloseHandler(std::function<void()> handler) override { onClose = handler; }
  void setSplash(const std::string& path, double, double) override { splash = path; }
  void setStatusSingleLine(bool) override {}
  void setStatus(const std::string& text) override { statuses.push_back(text); }
  void updateStatus(const std::string& text) override { statuses.push_back(text); }
  void setFailureDetail(const std::string& c, const std::string& a) override { detail = {c, a}; }
  void setControls(WindowControls c) override { controls = c; }
  void setTryAgainHandler(std::function<void()> handler) override { tryAgain = handler; }
  void setStatusRed(bool isRed) override { red = isRed; }
  void setFiguresWording(FiguresWording) override {}
  void setTransferFigures(const TransferFigures&) override {}
  bool canBeClosedByUser() const override { return closable; }
  void logLine(const std::string& line) override { log.push_back(line); }
  void setProgressIndeterminate(bool) override {}
  void setProgressMax(double) override {}
  double progressMax() const override { return 100; }
  void setProgressValue(double) override {}
  void incrementProgress(double) override {}
  void setProgressAnimating(bool) override {}
  void setCancelEnabled(bool) override {}
  void displayIfNeeded() override {}
  void close() override {
    if (closed++ == 0 && onClose) onClose();
  }

  std::function<void()> onClose, tryAgain;
  std::vector<std::string> detail;
  WindowControls controls = WindowControls::kCancel;
  std::string splash;
  bool red = false, closable = false;
  int closed = 0;
  std::vector<std::string> statuses, log;
};

// Ranges of |file| as a server sends them, from the loop, or a 200.
class FakeRanges : public RangeFetch {
 public:
  FakeRanges(FakeLoop& loop, std::string file, const RangeFetchRequest& request,
             RangeFetchDelegate& delegate, bool whole)
      : loop_(loop) {
    timer_ = loop.addTimer(0.01, [=, &delegate] {
      timer_ = 0;
      if (whole) return delegate.rangesFailed({RangeFault::kWholeFile, 200, "A 200."});
      int fd = open(request.destination.c_str(), O_WRONLY);
      for (size_t i = 0; i < request.ranges.size(); ++i) {
        const ByteRange& range = request.ranges[i];
        if (pwrite(fd, file.data() + range.start, range.length, range.start) != range.length)
          ADD_FAILURE() << "cannot write a range";
        delegate.rangeBytes(range.length);
        delegate.rangeWritten(i);
      }
      close(fd);
      delegate.rangesFinished();
    });
  }
  ~FakeRanges() override { cancel(); }
  void cancel() override {
    if (timer_) loop_.cancelTimer(timer_);
    timer_ = 0;
  }
  std::string protocol() const override { return "HTTP/2"; }

 private:
  FakeLoop& loop_;
  Loop::Handle timer_ = 0;
};

// The front end on fakes of its platform: a scripted server, a loop on a
// virtual clock, the real cache in a scratch HOME and the real unzip.
class DownloadTest : public ::testing::Test {
 protected:
  DownloadTest() : home_("HOME", (scratch_ / "home").c_str()), server_(loop_) {
    mkpath(scratch_ / "res", 0700);
    mkpath(scratch_ / "work", 0700);
    writeFile(scratch_ / "res/bundle.zip", "the product");
    mkpath(getInstallAgentCacheDir() + INSTALL_AGENT_DIR_NAME, 0700);
    downloadTo = scratch_ / "work/InstallAgent.zip";
    downloadFrom = "https://host/agent";
    makeZip(scratch_ / "agent.zip", {{"install", "exit 0\n"}});
    archiveSize_ = readFile(scratch_ / "agent.zip").size();
  }

  DownloadPlatform platform() {
    DownloadPlatform p;
    p.loop = &loop_;
    p.window = &window_;
    p.net.startTransfer = [this](const TransferRequest& r, TransferDelegate& d) {
      // The body lands as a real transfer would put it: a range at its place.
      if (r.url.rfind(downloadFrom, 0) == 0 && server_.asked.size() < server_.script.size()) {
        const Exchange& next = server_.script[server_.asked.size()];
        std::string zip = readFile(scratch_ / "agent.zip");
        if (next.status == 200) writeFile(r.destination, zip);
        if (next.status == 200 && r.url == downloadFrom + ".minisig")
          writeFile(r.destination, readFile(scratch_ / "agent.zip.minisig"));
        int fd = open(r.destination.c_str(), O_WRONLY | O_CREAT, 0600);
        if (next.status == 206 &&
            pwrite(fd, zip.data() + next.rangeStart, next.expectedLength, next.rangeStart) <= 0)
          ADD_FAILURE() << "cannot write the range";
        close(fd);
      }
      return server_.start(r, d);
    };
    p.net.random = [] { return 0.0; };
    p.net.log = [this](const std::string& line) { window_.logLine(line); };
    p.launchTask = [this](const std::string& program, const std::vector<std::string>& args) {
      launched_ = args;
      launched_.insert(launched_.begin(), program);
      return pid_t(4242);
    };
    p.runInBackground = [this](const std::string& line, std::function<void(int)> done) {
      window_.logLine("unzip started");
      int status = system(line.c_str());
      loop_.addTimer(0, [done, status] { done(status); });
      return std::function<void()>([] {});
    };
    p.clock = [this] { return loop_.now; };
    p.resourceDir = scratch_ / "res";
    p.arguments = {"setup", "--flag", "a b"};
    p.useCache = true;
    p.unpackWorkers = 2;
    p.diskSpace = diskSpace_;
    p.delta.copy = copyFileRange;
    p.delta.startRanges = [this](const RangeFetchRequest& r, RangeFetchDelegate& d) {
      ranges_ += r.ranges.size();
      return std::make_unique<FakeRanges>(loop_, readFile(scratch_ / "agent.zip"), r, d,
                                          rangesWhole_);
    };
    return p;
  }

  // Runs the front end until the loop is idle.
  void run() {
    Download download(platform(), 5.0);
    download.init();
    download.applicationDidFinishLaunching();
    loop_.runUntilIdle();
    agent_ = download.agentTask();
  }

  // An archive of incompressible entries, larger than the end asked first.
  void makeLargeArchive() {
    std::map<std::string, std::string> files = {{"install", "exit 0\n"}};
    for (int i = 0; i < 6; ++i) files["f" + std::to_string(i)] = randomBytes(100000, i);
    makeZip(scratch_ / "agent.zip", files);
    archiveSize_ = readFile(scratch_ / "agent.zip").size();
  }
  static std::string randomBytes(size_t n, unsigned seed) {
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(seed = seed * 1103515245 + 12345, seed >> 16);
    return bytes;
  }
  Exchange range(int64_t from, int64_t to, const std::string& etag = "\"v1\"") {
    Exchange e = archive(etag);
    e.status = 206, e.rangeStart = from, e.rangeTotal = archiveSize_, e.expectedLength = to - from;
    return e;
  }

  Exchange archive(const std::string& etag) {
    Exchange e;
    e.etag = etag;
    e.expectedLength = archiveSize_;
    return e;
  }

  std::vector<std::string> expectedLaunch() {
    return {"/bin/sh", getInstallAgentCacheDir() + "installagent/install", "-installbundle",
            scratch_ / "res/bundle.zip", "--flag", "a b"};
  }

  ScratchDir scratch_;
  ScopedEnv home_;
  FakeLoop loop_;
  ScriptedServer server_;
  FakeWindow window_;
  std::vector<std::string> launched_;
  DiskSpaceOf diskSpace_;
  size_t ranges_ = 0;
  bool rangesWhole_ = false;  // a server that answers ranges with the whole file
  pid_t agent_ = -1;
  int64_t archiveSize_ = 0;
};

// A cached agent is asked about with its stamp (without an ETag, the
// Last-Modified date, alone): a 304, or a server that ignores the condition
// but names the same ETag, starts it with no body.
TEST_F(DownloadTest, CurrentCachedAgentStartsWithoutABody) {
  const std::string date = "Mon, 07 Dec 2026 10:00:00 GMT";
  Exchange notModified, dated = archive("");
  notModified.status = 304;
  dated.lastModified = date;
  const struct { Exchange first, second; std::string stamp, inm, ims; } cases[] = {
      {archive("\"v1\""), notModified, "\"v1\"", "\"v1\"", ""},
      {archive("\"v1\""), archive("\"v1\""), "\"v1\"", "\"v1\"", ""},  // condition ignored
      {dated, notModified, "Last-Modified: " + date, "", date}};  // no ETag: the date, alone
  for (const auto& c : cases) {
    removeCachedAgent();
    server_.asked.clear();
    server_.script = {c.first, c.second};
    run();
    EXPECT_EQ(readValidationString(getInstallAgentCacheDir()), c.stamp);
    launched_.clear();
    run();
    ASSERT_EQ(server_.asked.size(), 2u);
    EXPECT_EQ(server_.asked[1].ifNoneMatch, c.inm);
    EXPECT_EQ(server_.asked[1].ifModifiedSince, c.ims);
    EXPECT_EQ(server_.asked[1].bodyAt, -1);
    EXPECT_EQ(launched_, expectedLaunch());
  }
}

// A failure shows the red text, logs the reason, and ends a run nobody can
// close; a transient one first says that it waits.
TEST_F(DownloadTest, FailureIsShownLoggedAndEndsTheRun) {
  Exchange busy, missing;
  busy.status = 503, busy.retryAfter = "2", busy.expectedLength = 0;
  missing.status = 404, missing.expectedLength = 0;
  server_.script = {busy, missing};
  run();
  EXPECT_EQ(window_.statuses.at(0), "Connecting to host\u2026");
  EXPECT_EQ(window_.statuses.at(1), "The server is busy; retrying in 2 s");
  EXPECT_EQ(window_.statuses.at(2), "The server is busy; retrying in 1 s");  // counted down
  EXPECT_EQ(window_.statuses.back(),
            "Error during the download process.\nSee your system log for more information.");
  EXPECT_TRUE(window_.red);
  EXPECT_EQ(window_.detail, (std::vector<std::string>{
                                "The server host does not have the installer (HTTP status 404).",
                                "Contact the vendor."}));
  EXPECT_EQ(window_.controls, WindowControls::kClose);
  EXPECT_EQ(window_.log.back(),
            "Download failed! Error - The server answered with HTTP status 404. " + downloadFrom);
  EXPECT_EQ(window_.closed, 1);
  EXPECT_EQ(agent_, -1);
}

// In a window, a failure that trying again may mend offers Try Again,
// which downloads once more in the same window.
TEST_F(DownloadTest, TryAgainAfterAFailureThatMayPass) {
  window_.closable = true;
  Exchange refused;
  refused.status = 0, refused.end = Exchange::kNetworkFail;
  server_.script.assign(RetryPolicy::kMaxAttempts, refused);
  server_.script.push_back(archive("\"v1\""));
  DownloadPlatform p = platform();
  Download download(p, 5.0);
  download.init();
  download.applicationDidFinishLaunching();
  loop_.runUntilIdle();
  EXPECT_EQ(window_.controls, WindowControls::kCloseOrTryAgain);
  EXPECT_EQ(window_.detail.at(0), "Cannot reach host.");
  ASSERT_TRUE(window_.tryAgain);
  window_.tryAgain();
  loop_.runUntilIdle();
  EXPECT_EQ(window_.controls, WindowControls::kCancel);
  EXPECT_EQ(launched_, expectedLaunch());
  EXPECT_EQ(window_.closed, 0);
}

// With keys the signature is a fetch of its own, started as the archive's
// ends; without it the archive goes and nothing is started.
TEST_F(DownloadTest, SignedAgentFetchesItsSignatureSeparately) {
  if (shell("command -v minisign") != 0) GTEST_SKIP() << "minisign is not installed";
  makeMinisignKeys(scratch_.path(), {"k"});
  writeFile(scratch_ / "res/InstallAgent.pub", readFile(scratch_ / "k.pub"));
  server_.script = {archive("\"v1\"")};  // then a 404 for the signature
  run();
  ASSERT_EQ(server_.asked.size(), 2u);
  EXPECT_EQ(server_.asked[1].url, downloadFrom + ".minisig");
  EXPECT_EQ(window_.log.back(), "Download failed! Error - No signature for the archive (HTTP "
                                "status 404). " + downloadFrom + ".minisig");
  EXPECT_FALSE(pathExists(getInstallAgentCacheDir() + ".part.info"));
  EXPECT_EQ(agent_, -1);
}

// Kept bytes that turn out damaged fail the unpacking once: the archive is
// fetched whole again within the run.
TEST_F(DownloadTest, ContinuedArchiveThatDoesNotUnpackIsFetchedWholeOnce) {
  {
    KeptPart part(getInstallAgentCacheDir());
    writeFile(part.path(), "damaged kept bytes");
    part.describe(downloadFrom, "\"v1\"", archiveSize_);
  }
  Exchange rest = archive("\"v1\"");
  rest.status = 206, rest.rangeStart = 18, rest.rangeTotal = archiveSize_;
  rest.expectedLength = archiveSize_ - 18;
  server_.script = {rest, archive("\"v1\"")};
  run();
  ASSERT_EQ(server_.asked.size(), 2u);
  EXPECT_EQ(server_.asked[0].rangeStart, 18);
  EXPECT_EQ(server_.asked[1].rangeStart, 0);
  EXPECT_EQ(launched_, expectedLaunch());
}

// The splash shows; the archive's end comes first, the rest is asked for
// with If-Range, and its entries are unpacked in batches as they arrive,
// before the download is over; the agent is stamped and handed the run,
// and nothing is left to continue.
TEST_F(DownloadTest, EndFirstThenTheRestUnpackedAsItArrives) {
  writeFile(scratch_ / "res/splash.png", "png");
  makeLargeArchive();
  int64_t end = archiveSize_ - kZipSuggestedTail;
  server_.script = {range(end, archiveSize_), range(0, end)};
  run();
  ASSERT_EQ(server_.asked.size(), 2u);
  EXPECT_EQ(std::make_tuple(server_.asked[0].suffixLength, server_.asked[0].bodyAt,
                            server_.asked[1].rangeEnd, server_.asked[1].ifRange),
            std::make_tuple(kZipSuggestedTail, end, end, std::string("\"v1\"")));
  std::string cache = getInstallAgentCacheDir();
  EXPECT_EQ(std::make_tuple(window_.splash, launched_, agent_, readValidationString(cache),
                            window_.statuses.back(), loop_.stopped, pathExists(cache + ".part")),
            std::make_tuple(scratch_ / "res/splash.png", expectedLaunch(), 4242,
                            std::string("\"v1\""), std::string("Initializing the installer"),
                            true, false));
  EXPECT_TRUE(readFile(getInstallAgentCacheDir() + "installagent/f5") == randomBytes(100000, 5));
  // Some batches ran while the body was still arriving (it comes in two
  // halves), the rest after it.
  auto unpacking =
      std::find(window_.log.begin(), window_.log.end(),
                "Downloaded the installer: " + formatIecBytes(archiveSize_) + " in 0:00");
  ASSERT_NE(unpacking, window_.log.end());
  EXPECT_GE(std::count(window_.log.begin(), unpacking, "unzip started"), 1);
  EXPECT_GE(std::count(unpacking, window_.log.end(), "unzip started"), 1);
}

// Room for the archive and the unpacked agent is checked from the
// directory, before the body: each alone fits 900 kB, not both; a
// shortfall ends the run with one line and nothing kept.
TEST_F(DownloadTest, DiskSpaceIsCheckedBeforeTheBody) {
  makeLargeArchive();
  diskSpace_ = [](const std::string&, DiskSpace* space) {
    *space = {900000, "/cache", 1};
    return true;
  };
  server_.script = {range(archiveSize_ - kZipSuggestedTail, archiveSize_)};
  run();
  std::string cache = getInstallAgentCacheDir();
  EXPECT_EQ(std::make_tuple(server_.asked.size(), window_.detail, pathExists(cache + ".part.info"),
                            readFile(cache + ".part"), launched_.empty()),
            std::make_tuple(1u,
                            std::vector<std::string>{
                                "Not enough disk space: 967.3 kB needed in /cache, 900.0 kB free.",
                                "Free some disk space, then try again."},
                            false, std::string(), true));
  // File systems count apart.
  auto two = [](const std::string& path, DiskSpace* space) {
    *space = {1000, path, path == "/a" ? 1u : 2u};
    return true;
  };
  EXPECT_EQ(spaceShortfall({{"/a", 600}, {"/b", 600}}, two), "");
  EXPECT_EQ(spaceShortfall({{"/a", 600}, {"/b", 600}, {"/b", 600}}, two),
            "Not enough disk space: 1.2 kB needed in /b, 1.0 kB free");
}

// A signed agent that changed is rebuilt from the archive kept with the
// cached one and ranges of the new; a server that answers a range whole,
// or a rebuilt archive whose signature does not check (a kept archive
// damaged on disk), ends in one whole download. An unsigned agent keeps no
// archive and never takes that road, nor does a signed one on a disk that
// would be left with less than 1 GB and the archive's size free.
TEST_F(DownloadTest, SignedAgentsUpdateByDelta) {
  if (shell("command -v minisign") != 0) GTEST_SKIP() << "minisign is not installed";
  makeMinisignKeys(scratch_.path(), {"k"});
  const struct {
    bool keeps, whole, damaged;
    size_t asked;
    const char* says;
    bool signedAgent = true;
    int64_t free = 2000000000;
  } cases[] = {
      {true, false, false, 2, "Updated by delta: "},
      {true, true, false, 3, "The update by delta stopped: A 200. Downloading the whole archive."},
      {true, false, true, 4, "The archive rebuilt by delta did not check; downloading it whole."},
      {false, false, false, 2, "", false},
      {false, false, false, 3, "", true, 1000000000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    diskSpace_ = [&](const std::string&, DiskSpace* space) {
      *space = {c.free, "/", 1};
      return true;
    };
    removeCachedAgent();
    server_.asked.clear();
    launched_.clear();
    unlink((getInstallAgentCacheDir() + "installagent.zip").c_str());
    unlink((scratch_ / "res/InstallAgent.pub").c_str());
    if (c.signedAgent) writeFile(scratch_ / "res/InstallAgent.pub", readFile(scratch_ / "k.pub"));
    makeLargeArchive();
    signWithMinisign(scratch_ / "k.sec", scratch_ / "agent.zip");
    Exchange signature = archive("");
    signature.expectedLength = readFile(scratch_ / "agent.zip.minisig").size();
    server_.script = {archive("\"v1\"")};
    if (c.signedAgent) server_.script.push_back(signature);
    run();
    ASSERT_EQ(launched_, expectedLaunch());
    std::string kept = getInstallAgentCacheDir() + "installagent.zip";
    EXPECT_EQ(pathExists(kept), c.keeps);
    std::string v1 = readFile(scratch_ / "agent.zip");
    if (c.damaged) writeFile(kept, v1.substr(0, 40000) + "X" + v1.substr(40001));
    // The next version: one file changed, one added.
    std::map<std::string, std::string> files = {{"install", "exit 0\n"}, {"new", "new"}};
    for (int i = 0; i < 6; ++i) files["f" + std::to_string(i)] = randomBytes(100000, i + (i == 2));
    makeZip(scratch_ / "agent.zip", files);
    archiveSize_ = readFile(scratch_ / "agent.zip").size();
    signWithMinisign(scratch_ / "k.sec", scratch_ / "agent.zip");
    signature.expectedLength = readFile(scratch_ / "agent.zip.minisig").size();
    int64_t end = archiveSize_ - kZipSuggestedTail;
    server_.script = {range(end, archiveSize_, "\"v2\""), signature, archive("\"v2\""), signature};
    if (c.whole) server_.script.erase(server_.script.begin() + 1);  // no signature before the whole
    if (!c.keeps) server_.script.insert(server_.script.begin() + 1, range(0, end, "\"v2\""));
    server_.asked.clear();
    launched_.clear();
    window_.log.clear();
    ranges_ = 0;
    rangesWhole_ = c.whole;
    run();
    std::string log;
    for (const std::string& line : window_.log) log += line + "\n";
    EXPECT_EQ(launched_, expectedLaunch()) << log;
    EXPECT_TRUE(readFile(getInstallAgentCacheDir() + "installagent/f2") == files["f2"]);
    EXPECT_EQ(server_.asked.size(), c.asked);
    EXPECT_EQ(ranges_ > 0, c.keeps);
    EXPECT_NE(log.find(c.says), std::string::npos) << log;
    EXPECT_TRUE(readFile(kept) == (c.keeps ? readFile(scratch_ / "agent.zip") : "")) << log;
  }
}

}  // namespace

// The signature lies beside the archive's path, before any query.
TEST(SignatureCheck, SignatureUrlKeepsTheQueryLast) {
  const struct { const char* archive; const char* signature; } cases[] = {
      {"https://h/a.zip", "https://h/a.zip.minisig"},
      {"https://h/a.zip?v=3", "https://h/a.zip.minisig?v=3"},
      {"https://h/a.zip#x", "https://h/a.zip.minisig#x"},
      {"https://h?v=3", "https://h.minisig?v=3"}};
  for (const auto& c : cases) EXPECT_EQ(SignatureCheck::signatureUrl(c.archive), c.signature);
}
