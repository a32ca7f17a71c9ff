// The libcurl transfer against the fault server on 127.0.0.1.
#include <gmock/gmock.h>

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
// every byte up to the end of the connection is delivered. A stall fails
// after the idle limit and removes the file; a slow but steady body never
// fails, unless slower than asked: it then fails as idle though bytes keep
// coming (the caller's retry bounds then end it). A full disk is a local
// write failure that says so.
TEST(Transfer, DeliversWhatCameAndFailsOnlyWhenIdleOrUnwritable) {
  const struct {
    std::string options; double idle; int64_t minBytes; std::string destination, events;
    int bytes; TransferFault fault; std::string said;  // -1 bytes: fewer than the 10 served
  } cases[] = {
      {"length=5", 5, 0, "", ";response;data+finished;", 10, TransferFault::kOther, ""},
      {"stall=1500", 0.5, 0, "", ";response;data+failed;", 1, TransferFault::kIdle,
       "The request timed out\\."},
      // 1.5 s, never 0.5 s without a byte, but fewer than 100 bytes in it.
      {"trickle=150", 0.5, 0, "", ";response;data+finished;", 10, TransferFault::kOther, ""},
      {"trickle=150", 0.5, 100, "", ";response;data+failed;", -1, TransferFault::kIdle,
       "The transfer stalled: fewer than 100 bytes in .*"},
      // /dev/full is kept: a failure must not remove it.
      {"", 5, 0, "/dev/full", ";response;failed;", 0, TransferFault::kLocalWrite,
       "Cannot write /dev/full: No space left on device"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options + " " + std::to_string(c.minBytes));
    fs::remove(servers().dir / "archive");
    TransferRequest request;
    request.minBytesPerIdle = c.minBytes;
    request.destination = c.destination;
    request.keepPartial = !c.destination.empty();
    Recorder r = transfer("transfer-" + c.options, c.options, c.idle, request);
    EXPECT_EQ(r.events, c.events);
    EXPECT_TRUE(c.bytes < 0 ? r.bytes < 10 : r.bytes == uint64_t(c.bytes)) << r.bytes;
    EXPECT_EQ(r.error.fault, c.fault);
    EXPECT_THAT(r.error.description, ::testing::MatchesRegex(c.said));
    EXPECT_EQ(pathExists(servers().dir / "archive"), c.destination.empty() && c.bytes == 10);
  }
}
