#include "download/download.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "agent/cache.h"
#include "platform/system.h"
#include "download/bootstrap.h"
#include "platform/loop.h"
#include "platform/display/window.h"
#include "tests/test_util.h"
#include "util/exe_path.h"

namespace {

class FakeLoop : public Loop {
 public:
  Handle addTimer(double seconds, std::function<void()> callback) override {
    timers[++last] = {seconds, std::move(callback)};
    return last;
  }
  void cancelTimer(Handle timer) override { timers.erase(timer); }
  Handle watchFd(int, int, std::function<void(int)>) override { return ++last; }
  void unwatchFd(Handle) override {}
  void run() override {}
  void stop() override { stopped = true; }

  Handle last = 0;
  std::map<Handle, std::pair<double, std::function<void()>>> timers;
  bool stopped = false;
};

class FakeWindow : public DownloadWindow {
 public:
  void setCloseHandler(std::function<void()> handler) override { onClose = handler; }
  void setSplash(const std::string& path, double w, double h) override {
    splash = path + " " + std::to_string(int(w)) + "x" + std::to_string(int(h));
  }
  void setStatusSingleLine(bool single) override { singleLine = single; }
  void setStatus(const std::string& text) override { statuses.push_back(text); }
  void setStatusRed(bool isRed) override { red = isRed; }
  void setFiguresWording(FiguresWording) override {}
  void setTransferFigures(const TransferFigures& f) override { figures.push_back(f); }
  bool canBeClosedByUser() const override { return closable; }
  void logLine(const std::string&) override {}
  void setProgressIndeterminate(bool value) override { indeterminate = value; }
  void setProgressMax(double value) override { max = value; }
  double progressMax() const override { return max; }
  void setProgressValue(double v) override { value = v; }
  void incrementProgress(double delta) override { value += delta; }
  void setProgressAnimating(bool value) override { animating = value; }
  void setCancelEnabled(bool enabled) override { cancelEnabled = enabled; }
  void displayIfNeeded() override {}
  void close() override {
    if (closed++ == 0 && onClose) onClose();
  }

  std::function<void()> onClose;
  std::string splash;
  bool singleLine = false, red = false, indeterminate = false, animating = false;
  bool cancelEnabled = true, closable = true;
  double max = 100, value = -1;
  std::vector<TransferFigures> figures;
  int closed = 0;
  std::vector<std::string> statuses;
};

struct FakeTransfer : Transfer {
  explicit FakeTransfer(bool* cancelled) : cancelled(cancelled) {}
  void cancel() override { *cancelled = true; }
  void writeBodyAt(int64_t) override {}
  bool* cancelled;
};

class DownloadTest : public ::testing::Test {
 protected:
  DownloadTest() : home_("HOME", (scratch_ / "home").c_str()) {
    mkpath(scratch_ / "res", 0700);
    mkpath(scratch_ / "work", 0700);
    mkpath(getInstallAgentCacheDir() + "installagent", 0700);
    downloadTo = scratch_ / "work/InstallAgent.zip";
    downloadFrom = "https://127.0.0.1/agent";
  }

  std::unique_ptr<Download> makeDownload() {
    DownloadPlatform p;
    p.loop = &loop_;
    p.window = &window_;
    p.startTransfer = [this](const TransferRequest& r, TransferDelegate&) {
      request_ = r;
      requests_.push_back(r);
      cancelled_ = false;
      return std::make_unique<FakeTransfer>(&cancelled_);
    };
    p.launchTask = [this](const std::string& path, const std::vector<std::string>& args) {
      launched_.push_back(path);
      launched_.insert(launched_.end(), args.begin(), args.end());
      return pid_t(4242);
    };
    p.runInBackground = [](const std::string& line, std::function<void(int)> done) {
      done(system(line.c_str()));
      return std::function<void()>([] {});
    };
    p.useCache = true;
    p.log = [this](const std::string& line) { logged_.push_back(line); };
    p.mainBundle = [this](MainBundle* b) {
      *b = {scratch_ / "res", scratch_ / "res"};
      return true;
    };
    p.arguments = {"setup", "-v", "a b"};
    p.report = [](std::string, bool) {};
    p.random = [] { return 0.5; };
    p.wallClock = [] { return time_t(1700000000); };
    p.clock = [this] { return clock_ += 0.5; };
    auto download = std::make_unique<Download>(p, 2.5);
    download->init();
    download->applicationDidFinishLaunching();
    return download;
  }

  TransferResponse response(std::string etag, int64_t length, long status = 200) {
    TransferResponse r;
    r.status = status;
    r.etag = etag;
    r.expectedLength = length;
    r.url = downloadFrom;
    return r;
  }

  std::string cacheDir() { return getInstallAgentCacheDir(); }
  std::vector<std::string> expectedLaunch(const std::string& agentDir) {
    return {"/bin/sh", agentDir + "install", "-installbundle", scratch_ / "res/bundle.zip",
            "-v", "a b"};
  }
  ScratchDir scratch_;
  ScopedEnv home_;
  FakeLoop loop_;
  FakeWindow window_;
  TransferRequest request_;
  std::vector<TransferRequest> requests_;
  bool cancelled_ = false;
  std::vector<std::string> launched_, logged_;
  double clock_ = 1000;
};

}  // namespace

TEST_F(DownloadTest, StartsTheTransferWithOrWithoutSplash) {
  for (bool splash : {false, true}) {
    if (splash) writeFile(scratch_ / "res/splash.png", "png");
    auto download = makeDownload();
    EXPECT_EQ(window_.splash, splash ? scratch_ / "res/splash.png 400x400" : "");
    EXPECT_TRUE(window_.singleLine);
    EXPECT_EQ(request_.url, downloadFrom);
    EXPECT_EQ(request_.destination, cacheDir() + ".part");  // kept there should it break off
    EXPECT_EQ(request_.idleTimeout, 2.5);
  }
}

TEST_F(DownloadTest, PercentagesFollowTheChunks) {
  const struct {
    int64_t length;
    std::vector<uint64_t> chunks;
    std::vector<std::string> statuses;
  } cases[] = {
      {200000, {50000, 50000, 50000, 50000},
       {"Downloading   0%", "Downloading  25%", "Downloading  50%", "Downloading  75%",
        "Downloading 100%"}},
      {100, {120}, {"Downloading   0%", "Downloading 120%"}},
      {3, {1}, {"Downloading   0%", "Downloading  33%"}},
  };
  for (const auto& c : cases) {
    window_ = FakeWindow();
    auto download = makeDownload();
    download->transferDidReceiveResponse(response("\"e\"", c.length));
    for (uint64_t chunk : c.chunks) download->transferDidReceiveData(chunk);
    EXPECT_EQ(window_.statuses, c.statuses);
    EXPECT_EQ(window_.max, double(c.length));
    EXPECT_FALSE(window_.indeterminate);
    EXPECT_TRUE(window_.animating);
  }
}

TEST_F(DownloadTest, UnknownLengthPulsesWithoutText) {
  auto download = makeDownload();
  download->transferDidReceiveResponse(response("\"e\"", -1));
  download->transferDidReceiveData(1000);
  download->transferDidReceiveData(24);
  EXPECT_TRUE(window_.indeterminate);
  EXPECT_TRUE(window_.animating);
  EXPECT_TRUE(window_.statuses.empty());
  EXPECT_EQ(download->bytesReceived, 1024);
}

TEST_F(DownloadTest, FinishedArchiveIsStampedUnpackedAndStarted) {
  auto download = makeDownload();
  unlink(request_.destination.c_str());
  makeZip(request_.destination, {{"install", "fresh"}});
  int64_t size = readFile(request_.destination).size();
  download->transferDidReceiveResponse(response("\"v9\"", size));
  download->transferDidReceiveData(size);
  download->transferDidFinish();
  EXPECT_EQ(window_.statuses.back(), "Initializing the installer");
  EXPECT_FALSE(window_.cancelEnabled);
  EXPECT_EQ(readFile(cacheDir() + "installagent/install"), "fresh");
  EXPECT_EQ(readFile(cacheDir() + ".validatestring"), "\"v9\"");
  EXPECT_EQ(launched_, expectedLaunch(cacheDir() + "installagent/"));
  EXPECT_TRUE(loop_.stopped);
  ASSERT_EQ(loop_.timers.size(), 1u);
  EXPECT_EQ(loop_.timers.begin()->second.first, 3.0);
  loop_.timers.begin()->second.second();
  EXPECT_EQ(window_.closed, 1);
  EXPECT_FALSE(pathExists(request_.destination));  // not kept once unpacked
  download.reset();
  // Only the lock, the stamp and the agent: no staging or retired agent.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(cacheDir()), {}), 3);
}

TEST_F(DownloadTest, RetryWaitsShowTheirReasonAndCanBeCancelled) {
  auto download = makeDownload();
  TransferResponse busy = response("", -1, 503);
  busy.retryAfter = "3";
  download->transferDidReceiveResponse(busy);
  EXPECT_TRUE(cancelled_);
  EXPECT_EQ(window_.statuses.back(), "The server is busy; retrying in 3 s");
  EXPECT_FALSE(window_.red);
  ASSERT_EQ(logged_.size(), 1u);
  EXPECT_EQ(logged_[0], "Download interrupted: The server answered with HTTP status 503. "
                        "Retrying in 3 s. " + downloadFrom);
  window_.close();
  EXPECT_TRUE(loop_.stopped);
  EXPECT_EQ(requests_.size(), 1u);

  busy.retryAfter = "61";
  window_ = FakeWindow();
  window_.closable = false;
  loop_.timers.clear();
  auto impatient = makeDownload();
  impatient->transferDidReceiveResponse(busy);
  EXPECT_TRUE(window_.red);
  EXPECT_LT(window_.figures.back().received, 0);
  ASSERT_EQ(loop_.timers.size(), 1u);  // nobody can close it: the run ends
  loop_.timers.begin()->second.second();
  EXPECT_EQ(window_.closed, 1);
  EXPECT_THAT(logged_.back(), ::testing::HasSubstr("asked to be tried again in 61 s"));
}

// A server that never answers, or a certificate that is not trusted, is
// not tried again; a connection that went idle after bytes is.
TEST_F(DownloadTest, OnlyTransientFailuresAreRetried) {
  const struct { TransferFault fault; uint64_t before; bool retried; } cases[] = {
      {TransferFault::kIdle, 0, false}, {TransferFault::kIdle, 10, true},
      {TransferFault::kRefused, 10, false}, {TransferFault::kLocalWrite, 10, false},
      {TransferFault::kNetwork, 0, true}};
  for (const auto& c : cases) {
    requests_.clear();
    window_ = FakeWindow();
    auto download = makeDownload();
    download->transferDidReceiveResponse(response("\"e\"", 100));
    if (c.before) download->transferDidReceiveData(c.before);
    download->transferDidFail({"why", downloadFrom, c.fault});
    EXPECT_EQ(window_.red, !c.retried) << int(c.fault);
  }
}
