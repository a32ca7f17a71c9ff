#include "download/download.h"

#include <gtest/gtest.h>

#include "agent/cache.h"
#include "platform/system.h"
#include "download/bootstrap.h"
#include "platform/loop.h"
#include "display/window.h"
#include "tests/test_util.h"
#include "util/exe_path.h"

namespace {

// Nothing runs: the tests call the delegate methods themselves.
class FakeLoop : public Loop {
 public:
  Handle addTimer(double, std::function<void()>) override { return ++last; }
  void cancelTimer(Handle) override {}
  Handle watchFd(int, int, std::function<void(int)>) override { return ++last; }
  void unwatchFd(Handle) override {}
  void run() override {}
  void stop() override {}
  Handle last = 0;
};

class FakeWindow : public DownloadWindow {
 public:
  void setCloseHandler(std::function<void()>) override {}
  void setSplash(const std::string& path, double w, double h) override {
    splash = path + " " + std::to_string(int(w)) + "x" + std::to_string(int(h));
  }
  void setStatusSingleLine(bool single) override { singleLine = single; }
  void setStatus(const std::string& text) override { statuses.push_back(text); }
  void setStatusRed(bool isRed) override { red = isRed; }
  void setFiguresWording(FiguresWording) override {}
  void setTransferFigures(const TransferFigures&) override {}
  bool canBeClosedByUser() const override { return true; }
  void logLine(const std::string&) override {}
  void setProgressIndeterminate(bool value) override { indeterminate = value; }
  void setProgressMax(double) override {}
  double progressMax() const override { return 100; }
  void setProgressValue(double) override {}
  void incrementProgress(double) override {}
  void setProgressAnimating(bool value) override { animating = value; }
  void setCancelEnabled(bool) override {}
  void displayIfNeeded() override {}
  void close() override {}

  std::string splash;
  bool singleLine = false, red = false, indeterminate = false, animating = false;
  std::vector<std::string> statuses;
};

struct FakeTransfer : Transfer {
  void cancel() override {}
  void writeBodyAt(int64_t) override {}
};

class DownloadTest : public ::testing::Test {
 protected:
  DownloadTest() : home_("HOME", (scratch_ / "home").c_str()) {
    mkpath(scratch_ / "res", 0700);
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
      return std::make_unique<FakeTransfer>();
    };
    p.useCache = true;
    p.log = [](const std::string&) {};
    p.mainBundle = [this](MainBundle* b) {
      *b = {scratch_ / "res", scratch_ / "res"};
      return true;
    };
    p.report = [](std::string, bool) {};
    p.random = [] { return 0.5; };
    p.wallClock = [] { return time_t(1700000000); };
    p.clock = [this] { return clock_ += 0.5; };
    auto download = std::make_unique<Download>(p, 2.5);
    download->init();
    download->applicationDidFinishLaunching();
    return download;
  }

  TransferResponse response(std::string etag, int64_t length) {
    TransferResponse r;
    r.status = 200;
    r.etag = etag;
    r.expectedLength = length;
    r.url = downloadFrom;
    return r;
  }

  ScratchDir scratch_;
  ScopedEnv home_;
  FakeLoop loop_;
  FakeWindow window_;
  TransferRequest request_;
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
    EXPECT_EQ(request_.destination, getInstallAgentCacheDir() + ".part");  // kept there should it break off
    EXPECT_EQ(request_.idleTimeout, 2.5);
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

// A server that never answers, or a certificate that is not trusted, is
// not tried again; a connection that went idle after bytes is.
TEST_F(DownloadTest, OnlyTransientFailuresAreRetried) {
  const struct { TransferFault fault; uint64_t before; bool retried; } cases[] = {
      {TransferFault::kIdle, 0, false}, {TransferFault::kIdle, 10, true},
      {TransferFault::kRefused, 10, false}, {TransferFault::kLocalWrite, 10, false},
      {TransferFault::kNetwork, 0, true}};
  for (const auto& c : cases) {
    window_ = FakeWindow();
    auto download = makeDownload();
    download->transferDidReceiveResponse(response("\"e\"", 100));
    if (c.before) download->transferDidReceiveData(c.before);
    download->transferDidFail({"why", downloadFrom, c.fault});
    EXPECT_EQ(window_.red, !c.retried) << int(c.fault);
    EXPECT_EQ(window_.statuses.back().rfind("Connection lost; retrying in ", 0) == 0, c.retried);
  }
}
