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
  void setStatus(const std::string& text) override { statuses.push_back(text); }
  void updateStatus(const std::string& text) override { statuses.push_back(text); }
  void setFailureDetail(const std::string& c, const std::string& a) override { detail = {c, a}; }
  void setControls(WindowControls c) override { controls = c; }
  void setTryAgainHandler(std::function<void()> handler) override { tryAgain = handler; }
  void setStatusRed(bool isRed) override { red = isRed; }
  bool canBeClosedByUser() const override { return closable; }
  void logLine(const std::string& line) override { log.push_back(line); }
  double progressMax() const override { return 100; }
  // What only draws.
  void setStatusSingleLine(bool) override {}
  void setFiguresWording(FiguresWording) override {}
  void setTransferFigures(const TransferFigures&) override {}
  void setProgressIndeterminate(bool) override {}
  void setProgressMax(double) override {}
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

// The front end on fakes of its platform: a scripted server, a loop on a
// virtual clock, the real cache in a scratch HOME and the real unzip.
class DownloadTest : public ::testing::Test {
 protected:
  DownloadTest()
      : home_("HOME", (scratch_ / "home").c_str()), server_(loop_), ranges_(loop_) {
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
    p.diskSpace = [this](const std::string&, DiskSpace* space) {
      *space = {free_, "/", 1};
      return true;
    };
    p.delta.copy = copyFileRange;
    p.delta.startRanges = [this](const RangeFetchRequest& r, RangeFetchDelegate& d) {
      ranges_.file = readFile(scratch_ / "agent.zip");
      return ranges_.start(r, d);
    };
    return p;
  }

  // Runs the front end until the loop is idle; then |then|, when given,
  // and the loop until idle once more.
  void run(std::function<void()> then = nullptr) {
    Download download(platform(), 5.0);
    download.init();
    download.applicationDidFinishLaunching();
    loop_.runUntilIdle();
    if (then) then(), loop_.runUntilIdle();
    agent_ = download.agentTask();
  }

  // A run after another: nothing asked, launched or logged yet.
  void reset() {
    server_.asked.clear();
    launched_.clear();
    window_.log.clear();
    ranges_.requests.clear();
  }

  // An archive of incompressible entries, larger than the end asked first;
  // |next|: the version after it, one file changed and one added.
  std::map<std::string, std::string> makeLargeArchive(bool next = false) {
    std::map<std::string, std::string> files = {{"install", "exit 0\n"}};
    if (next) files["new"] = "new";
    for (int i = 0; i < 6; ++i)
      files["f" + std::to_string(i)] = randomBytes(100000, i + (next && i == 2));
    makeZip(scratch_ / "agent.zip", files);
    archiveSize_ = readFile(scratch_ / "agent.zip").size();
    return files;
  }
  static std::string randomBytes(size_t n, unsigned seed) {
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(seed = seed * 1103515245 + 12345, seed >> 16);
    return bytes;
  }

  Exchange archive(const std::string& etag) {
    Exchange e;
    e.etag = etag;
    e.expectedLength = archiveSize_;
    return e;
  }
  Exchange range(int64_t from, int64_t to, const std::string& etag = "\"v1\"") {
    Exchange e = archive(etag);
    e.status = 206, e.rangeStart = from, e.rangeTotal = archiveSize_, e.expectedLength = to - from;
    return e;
  }
  static Exchange answer(long status, const std::string& retryAfter = "") {
    Exchange e;
    e.status = status, e.retryAfter = retryAfter, e.expectedLength = 0;
    return e;
  }
  // The archive signed with k: its signature's answer.
  Exchange sign() {
    signWithMinisign(scratch_ / "k.sec", scratch_ / "agent.zip");
    Exchange e = archive("");
    e.expectedLength = readFile(scratch_ / "agent.zip.minisig").size();
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
  RangeServer ranges_;
  FakeWindow window_;
  std::vector<std::string> launched_;
  int64_t free_ = 2000000000;  // on the one file system
  pid_t agent_ = -1;
  int64_t archiveSize_ = 0;
};

// A transient failure first says that it waits, counting down; a failure
// shows the red text and ends a run nobody can close. (Its words and log
// line: BrokenDownloadsFailAndLeaveNothing in tests/integration/setup_test.cc.)
TEST_F(DownloadTest, FailureIsShownAndEndsTheRun) {
  server_.script = {answer(503, "2"), answer(404)};
  run();
  EXPECT_EQ(window_.statuses.at(1), "The server is busy; retrying in 2 s");
  EXPECT_EQ(window_.statuses.at(2), "The server is busy; retrying in 1 s");
  EXPECT_EQ(window_.detail.at(0), "The server host does not have the installer (HTTP status 404).");
  EXPECT_EQ(std::make_tuple(window_.red, window_.controls, window_.closed, agent_),
            std::make_tuple(true, WindowControls::kClose, 1, pid_t(-1)));
}

// In a window, a failure that trying again may mend offers Try Again,
// which downloads once more in the same window.
TEST_F(DownloadTest, TryAgainAfterAFailureThatMayPass) {
  window_.closable = true;
  server_.script.assign(RetryPolicy::kMaxAttempts, answer(0));
  for (Exchange& cut : server_.script) cut.end = Exchange::kNetworkFail;
  server_.script.push_back(archive("\"v1\""));
  run([&] {
    EXPECT_EQ(window_.controls, WindowControls::kCloseOrTryAgain);
    EXPECT_EQ(window_.detail.at(0), "Cannot reach host.");
    ASSERT_TRUE(window_.tryAgain);
    window_.tryAgain();
  });
  EXPECT_EQ(std::make_tuple(window_.controls, launched_, window_.closed),
            std::make_tuple(WindowControls::kCancel, expectedLaunch(), 0));
}

// Kept bytes that turn out damaged fail the unpacking once: the archive is
// fetched whole again within the run.
TEST_F(DownloadTest, ContinuedArchiveThatDoesNotUnpackIsFetchedWholeOnce) {
  {
    KeptPart part(getInstallAgentCacheDir());
    writeFile(part.path(), "damaged kept bytes");
    part.describe(downloadFrom, "\"v1\"", archiveSize_);
  }
  server_.script = {range(18, archiveSize_), archive("\"v1\"")};
  run();
  ASSERT_EQ(server_.asked.size(), 2u);
  EXPECT_EQ(std::make_tuple(server_.asked[0].rangeStart, server_.asked[1].rangeStart, launched_),
            std::make_tuple(int64_t(18), int64_t(0), expectedLaunch()));
}

// The splash shows; the archive's end comes first, the rest is asked for
// with If-Range, and its entries are unpacked in batches as they arrive,
// before the download is over; the agent is stamped and handed the run,
// and nothing is left to continue.
TEST_F(DownloadTest, EndFirstThenTheRestUnpackedAsItArrives) {
  writeFile(scratch_ / "res/splash.png", "png");
  auto files = makeLargeArchive();
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
  EXPECT_TRUE(readFile(cache + "installagent/f5") == files["f5"]);
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
  free_ = 900000;
  server_.script = {range(archiveSize_ - kZipSuggestedTail, archiveSize_)};
  run();
  std::string cache = getInstallAgentCacheDir();
  EXPECT_EQ(std::make_tuple(server_.asked.size(), window_.detail, pathExists(cache + ".part.info"),
                            readFile(cache + ".part"), launched_.empty()),
            std::make_tuple(1u,
                            std::vector<std::string>{
                                "Not enough disk space: 967.3 kB needed in /, 900.0 kB free.",
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
// cached one and ranges of the new. An unsigned agent keeps no archive and
// never takes that road, nor does a signed one on a disk that would be left
// with less than 1 GB and the archive's size free. (What stops a delta ends
// in one whole download: AnyOtherAnswerEndsInOneWholeDownload in
// tests/integration/delta_test.cc.)
TEST_F(DownloadTest, SignedAgentsUpdateByDelta) {
  if (shell("command -v minisign") != 0) GTEST_SKIP() << "minisign is not installed";
  makeMinisignKeys(scratch_.path(), {"k"});
  const struct {
    const char* name;
    bool keeps;
    size_t asked;  // of the second run, besides the ranges
    bool signedAgent = true;
    int64_t free = 2000000000;
  } cases[] = {{"signed", true, 2},
               {"unsigned", false, 2, false},
               {"short of room", false, 3, true, 1000000000}};
  std::string kept = getInstallAgentCacheDir() + "installagent.zip";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    free_ = c.free;
    removeCachedAgent();
    reset();
    unlink(kept.c_str());
    unlink((scratch_ / "res/InstallAgent.pub").c_str());
    if (c.signedAgent) writeFile(scratch_ / "res/InstallAgent.pub", readFile(scratch_ / "k.pub"));
    makeLargeArchive();
    server_.script = {archive("\"v1\"")};
    if (c.signedAgent) server_.script.push_back(sign());
    run();
    ASSERT_EQ(launched_, expectedLaunch());
    EXPECT_EQ(pathExists(kept), c.keeps);
    auto files = makeLargeArchive(true);
    int64_t end = archiveSize_ - kZipSuggestedTail;
    server_.script = {range(end, archiveSize_, "\"v2\""), sign()};
    if (!c.keeps) server_.script.insert(server_.script.begin() + 1, range(0, end, "\"v2\""));
    reset();
    run();
    std::string log;
    for (const std::string& line : window_.log) log += line + "\n";
    EXPECT_EQ(launched_, expectedLaunch()) << log;
    EXPECT_TRUE(readFile(getInstallAgentCacheDir() + "installagent/f2") == files["f2"]);
    EXPECT_EQ(std::make_tuple(server_.asked.size(), ranges_.requests.size() > 0),
              std::make_tuple(c.asked, c.keeps));
    EXPECT_EQ(log.find("Updated by delta: ") != std::string::npos, c.keeps) << log;
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
