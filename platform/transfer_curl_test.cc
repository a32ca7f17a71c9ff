// The libcurl transfer against the fault server on 127.0.0.1.
#include <gtest/gtest.h>

#include "platform/loop.h"
#include "platform/transfer.h"
#include "tests/integration/harness.h"

namespace {

// Records the delegate calls of one transfer and stops the loop at its end.
struct Recorder : TransferDelegate {
  void transferDidReceiveResponse(const TransferResponse&) override { events += "response;"; }
  void transferDidReceiveData(uint64_t length) override {
    if (events.back() != '+') events += "data+";
    bytes += length;
  }
  void transferDidFinish() override { events += "finished;", loop->stop(); }
  void transferDidFail(const TransferError& e) override { events += "failed;", error = e, loop->stop(); }

  Loop* loop = nullptr;
  std::string events = ";";
  TransferError error;
  uint64_t bytes = 0;
};

// One transfer of /serve/|name|?|options| from the fault server, with
// the certificate trusted; the file served holds |body|.
Recorder transfer(const std::string& name, const std::string& options, double idle = 5,
                  TransferRequest request = {}) {
  ScopedEnv ca("CURL_CA_BUNDLE", servers().cert.c_str());
  writeFile(servers().www + "/" + name, "0123456789");
  request.url = servers().faultUrl + "serve/" + name + "?" + options;
  if (request.destination.empty()) request.destination = servers().dir / "archive";
  request.idleTimeout = idle;
  std::unique_ptr<Loop> loop = newPollLoop();
  Recorder recorder;
  recorder.loop = loop.get();
  auto running = startTransfer(*loop, request, recorder);
  loop->addTimer(20, [&] { loop->stop(); });
  loop->run();
  return recorder;
}

}  // namespace

// The caller, not the transport, decides what a wrong length means, so
// every byte up to the end of the connection is delivered; a stall fails
// after the idle limit and removes the file; a slow but steady body never
// fails.
TEST(Transfer, DeliversWhatCameAndTimesOutOnlyWhenIdle) {
  const struct { std::string options; double idle; std::string events; uint64_t bytes; } cases[] = {
      {"length=5", 5, ";response;data+finished;", 10},
      {"stall=1500", 0.5, ";response;data+failed;", 1},
      {"trickle=150", 0.5, ";response;data+finished;", 10},  // 1.5 s, never 0.5 s without a byte
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    Recorder r = transfer("transfer-" + c.options, c.options, c.idle);
    EXPECT_EQ(r.events, c.events);
    EXPECT_EQ(r.bytes, c.bytes);
    EXPECT_EQ(r.error.fault == TransferFault::kIdle, c.bytes == 1);
    EXPECT_EQ(pathExists(servers().dir / "archive"), c.bytes != 1);  // a failure removes it
  }
}

TEST(Transfer, FullDiskIsALocalWriteFailureThatSaysSo) {
  TransferRequest request;
  request.destination = "/dev/full";
  request.keepPartial = true;  // a failure must not remove it
  Recorder r = transfer("full", "", 5, request);
  EXPECT_EQ(r.events, ";response;failed;");
  EXPECT_EQ(r.error.fault, TransferFault::kLocalWrite);
  EXPECT_EQ(r.error.description, "Cannot write /dev/full: No space left on device");
}

// A body that trickles in slower than asked fails as idle, though bytes
// keep coming: the caller's retry bounds then end it.
TEST(Transfer, TrickleSlowerThanAskedStalls) {
  TransferRequest request;
  request.minBytesPerIdle = 100;
  Recorder r = transfer("trickle", "trickle=150", 0.5, request);
  EXPECT_EQ(r.events, ";response;data+failed;");
  EXPECT_EQ(r.error.fault, TransferFault::kIdle);
  EXPECT_NE(r.error.description.find("stalled"), std::string::npos) << r.error.description;
  EXPECT_LT(r.bytes, 10u);
}
