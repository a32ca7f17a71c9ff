// The libcurl transfer against a scripted HTTP server on 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "platform/loop.h"
#include "platform/transfer.h"
#include "tests/test_util.h"

namespace {

using Script = std::function<void(int client, const std::string& request)>;

// Serves each connection, up to |connections|, with |script| on a thread.
class ScriptedServer {
 public:
  ScriptedServer(Script script, int connections = 1) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(listener_, 4);
    thread_ = std::thread([this, script, connections] { serve(script, connections); });
  }
  ~ScriptedServer() {
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  void serve(const Script& script, int connections) {
    for (int i = 0; i < connections; ++i) {
      int client = accept(listener_, nullptr, nullptr);
      if (client < 0) return;
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = read(client, buffer, sizeof(buffer));
        if (n <= 0) break;
        request.append(buffer, n);
      }
      script(client, request);
      close(client);
    }
  }

  int listener_;
  int port_;
  std::thread thread_;
};

void send(int client, const std::string& bytes) {
  if (write(client, bytes.data(), bytes.size()) < 0) {
  }
}

// Records the delegate calls of one transfer and stops the loop at its end.
struct Recorder : TransferDelegate {
  explicit Recorder(Loop& loop) : loop(&loop) {}
  void transferDidReceiveResponse(const TransferResponse& r) override {
    events += "response;";
    response = r;
    if (bodyAt >= 0) transfer->writeBodyAt(bodyAt);
  }
  void transferDidReceiveData(uint64_t length) override {
    if (events.empty() || events.back() != '+') events += "data+";
    bytes += length;
  }
  void transferDidFinish() override {
    events += "finished;";
    loop->stop();
  }
  void transferDidFail(const TransferError& e) override {
    events += "failed;";
    error = e;
    loop->stop();
  }

  Loop* loop;
  Transfer* transfer = nullptr;
  int64_t bodyAt = -1;  // where the body goes, when not over the file
  std::string events;
  TransferResponse response;
  TransferError error;
  uint64_t bytes = 0;
};

class TransferTest : public ::testing::Test {
 protected:
  void run(const std::string& url, double idleTimeout = 5, TransferRequest request = {}) {
    request.url = url;
    if (request.destination.empty()) request.destination = scratch_ / "archive";
    request.idleTimeout = idleTimeout;
    auto start = std::chrono::steady_clock::now();
    auto transfer = startTransfer(*loop_, request, recorder_);
    recorder_.transfer = transfer.get();
    loop_->addTimer(20, [this] { loop_->stop(); });
    loop_->run();
    seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

  ScratchDir scratch_;
  std::unique_ptr<Loop> loop_ = newPollLoop();
  Recorder recorder_{*loop_};
  double seconds_ = 0;
};

const char kHeaders[] = "HTTP/1.1 200 OK\r\nETag: \"abc-1\"\r\nContent-Length: ";

}  // namespace

// The caller, not the transport, decides what a wrong length means, so
// every byte up to the end of the connection is delivered.
TEST_F(TransferTest, BodyLongerOrShorterThanAnnouncedIsDeliveredAsIs) {
  for (std::string body : {"0123456789", "01"}) {
    recorder_ = Recorder(*loop_);
    ScriptedServer server([body](int client, const std::string&) {
      send(client, std::string(kHeaders) + "5\r\nConnection: close\r\n\r\n" + body);
    });
    run(server.url("/"));
    EXPECT_EQ(recorder_.bytes, body.size());
    EXPECT_EQ(recorder_.response.expectedLength, 5);
  }
}

TEST_F(TransferTest, StallFailsAfterTheIdleTimeoutAndDeletesTheFile) {
  ScriptedServer server([](int client, const std::string&) {
    send(client, std::string(kHeaders) + "100\r\n\r\npart");
    usleep(1500 * 1000);
  });
  run(server.url("/"), 0.5);
  EXPECT_EQ(recorder_.events, "response;data+failed;");
  EXPECT_GE(seconds_, 0.5);
  EXPECT_NE(recorder_.error.description.find("timed out"), std::string::npos);
  EXPECT_FALSE(pathExists(scratch_ / "archive"));
}

TEST_F(TransferTest, SlowButSteadyTransferNeverTimesOut) {
  ScriptedServer server([](int client, const std::string&) {
    send(client, std::string(kHeaders) + "8\r\n\r\n");
    for (int i = 0; i < 8; ++i) {
      usleep(200 * 1000);
      send(client, "x");
    }
  });
  run(server.url("/"), 0.5);  // 1.6 s in all, never 0.5 s without a byte
  EXPECT_EQ(recorder_.events, "response;data+finished;");
  EXPECT_EQ(recorder_.bytes, 8u);
}

// What the request carries, what the response says, and where the body
// lands: after the kept bytes when asked, else over them.
TEST_F(TransferTest, ConditionsRangesAndHeaderValuesGoBothWays) {
  std::string seen;
  ScriptedServer server([&seen](int client, const std::string& request) {
    seen = request;
    send(client, "HTTP/1.1 206 Partial\r\nETag:  \r\nContent-Range: bytes 4-9/10\r\n"
                 "Retry-After:  7 \r\nContent-Length: 6\r\n\r\n456789");
  });
  writeFile(scratch_ / "archive", "0123kept-and-more");
  TransferRequest request;
  request.ifNoneMatch = "W/\"a\"";
  request.rangeStart = 4;
  request.ifRange = "\"b\"";
  recorder_.bodyAt = 4;
  run(server.url("/"), 5, request);
  for (const char* header : {"If-None-Match: W/\"a\"\r\n", "Range: bytes=4-\r\n", "If-Range: \"b\"\r\n"})
    EXPECT_NE(seen.find(header), std::string::npos) << header;
  EXPECT_EQ(seen.find("Accept-Encoding"), std::string::npos);
  EXPECT_EQ(seen.find("If-Modified-Since"), std::string::npos);
  EXPECT_EQ(recorder_.response.etag, "");  // empty, not a line end
  EXPECT_EQ(recorder_.response.rangeStart, 4);
  EXPECT_EQ(recorder_.response.rangeTotal, 10);
  EXPECT_EQ(recorder_.response.retryAfter, "7");
  EXPECT_EQ(readFile(scratch_ / "archive"), "0123456789");
}

TEST_F(TransferTest, FullDiskIsALocalWriteFailureThatSaysSo) {
  ScriptedServer server([](int client, const std::string&) {
    send(client, std::string(kHeaders) + "4\r\n\r\nbody");
  });
  TransferRequest request;
  request.destination = "/dev/full";
  request.keepPartial = true;  // a failure must not remove it
  run(server.url("/"), 5, request);
  EXPECT_EQ(recorder_.events, "response;failed;");
  EXPECT_EQ(recorder_.error.fault, TransferFault::kLocalWrite);
  EXPECT_EQ(recorder_.error.description, "Cannot write /dev/full: No space left on device");
}
