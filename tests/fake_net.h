#ifndef SETUP_TESTS_FAKE_NET_H_
#define SETUP_TESTS_FAKE_NET_H_

// Fakes for in-process tests of the download front end: a loop on a virtual
// clock, transfers that play scripted exchanges, as a server would answer
// them, and record what they were asked, and a server of byte ranges.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/loop.h"
#include "platform/proxy.h"
#include "platform/range_fetch.h"
#include "platform/transfer.h"

// Timers run in the order they fall due, the clock jumping to each.
struct FakeLoop : Loop {
  Handle addTimer(double seconds, std::function<void()> callback) override {
    timers_[++last_] = {now + seconds, std::move(callback)};
    return last_;
  }
  void cancelTimer(Handle timer) override { timers_.erase(timer); }
  Handle watchFd(int, int, std::function<void(int)>) override { return ++last_; }
  void unwatchFd(Handle) override {}
  void run() override { runUntilIdle(); }
  void stop() override { stopped = true; }

  // Runs due timers until none is left (or |limit| have run).
  void runUntilIdle(int limit = 10000) {
    while (!timers_.empty() && limit-- > 0) {
      auto byDue = [](auto& a, auto& b) { return a.second.due < b.second.due; };
      auto next = std::min_element(timers_.begin(), timers_.end(), byDue);
      now = std::max(now, next->second.due);
      std::function<void()> callback = std::move(next->second.callback);
      timers_.erase(next);
      callback();
    }
  }

  double now = 0;
  bool stopped = false;

 private:
  struct Timer { double due; std::function<void()> callback; };
  std::map<Handle, Timer> timers_;
  Handle last_ = 0;
};

// Something that ends from the loop unless it is destroyed first: a
// transfer, or a lookup of the desktop's proxies.
struct Pending : Transfer, DesktopProxyLookup {
  Pending(FakeLoop& loop, std::function<void()> end) : loop(loop), timer(loop.addTimer(1, end)) {}
  ~Pending() override { loop.cancelTimer(timer); }
  void cancel() override { loop.cancelTimer(timer); }
  void writeBodyAt(int64_t) override {}
  FakeLoop& loop; Loop::Handle timer;
};

// How one attempt goes: the response (status 0: the attempt ends before
// any), how many body bytes come, and how it ends.
struct Exchange : TransferResponse {
  using End = std::optional<TransferFault>;
  Exchange() { status = 200; }
  int64_t body = -1;  // bytes sent; -1: expectedLength (0 when unknown)
  End end;  // how the attempt fails; none: it finishes
};

// Answers: a body of |length| bytes (|body| of them sent) with |etag|; a
// status without one; the bytes of a |total|-byte file from |start| on.
inline Exchange ok(std::string etag, int64_t length, int64_t body = -1, Exchange::End end = {}) {
  Exchange e;
  e.etag = etag, e.expectedLength = length, e.body = body, e.end = end;
  return e;
}
inline Exchange status(long code, std::string retryAfter = "", std::string etag = "") {
  Exchange e = ok(etag, 0);
  e.status = code, e.retryAfter = retryAfter;
  return e;
}
inline Exchange partial(int64_t start, int64_t total, int64_t body = -1, Exchange::End end = {},
                        std::string etag = "\"k\"") {
  Exchange e = ok(etag, total - start, body, end);
  e.status = 206, e.rangeStart = start, e.rangeTotal = total;
  return e;
}

// What an attempt asked for, and where its body went.
struct Asked : TransferRequest {
  int64_t bodyAt = -1;  // writeBodyAt's offset; -1 when the body was not taken
};

// Hands out one scripted transfer per attempt, delivering its events from
// the loop as the real one does. It fails the test when a transfer is
// destroyed inside one of its own events.
struct ScriptedServer {
  FakeLoop& loop;
  std::vector<Exchange> script = {};  // one per attempt; past the end: 404
  std::vector<Asked> asked = {};

  std::unique_ptr<Transfer> start(const TransferRequest& request, TransferDelegate& delegate) {
    asked.push_back({request});
    Exchange exchange = asked.size() <= script.size() ? script[asked.size() - 1] : status(404);
    return std::make_unique<Scripted>(*this, asked.size() - 1, exchange, delegate);
  }

 private:
  class Scripted : public Transfer {
   public:
    Scripted(ScriptedServer& server, size_t index, Exchange exchange, TransferDelegate& delegate)
        : server_(server), index_(index), exchange_(exchange), delegate_(delegate) {}
    ~Scripted() override {
      EXPECT_FALSE(delivering_) << "a transfer was destroyed inside its own event";
      cancel();
    }
    void cancel() override {
      ended_ = true;
      server_.loop.cancelTimer(timer_);  // handles are never reused
    }
    void writeBodyAt(int64_t offset) override { server_.asked[index_].bodyAt = offset; }

   private:
    void play() {
      TransferResponse response = exchange_;
      response.url = server_.asked[index_].url;
      // Status 0: the attempt ends before any response.
      if (exchange_.status && !deliver([&] { delegate_.transferDidReceiveResponse(response); }))
        return;
      int64_t body = exchange_.body >= 0 ? exchange_.body
                                         : std::max<int64_t>(0, exchange_.expectedLength);
      // In two chunks, as a body rarely comes in one.
      for (int64_t chunk : {body / 2, body - body / 2})
        if (chunk > 0 && !deliver([&] { delegate_.transferDidReceiveData(chunk); })) return;
      deliver([&] {  // the last event: the transfer has ended before it is delivered
        exchange_.end ? delegate_.transferDidFail({"scripted", response.url, *exchange_.end})
                      : delegate_.transferDidFinish();
      }, true);
    }

    // False once the transfer has ended (cancelled by the receiver, or its
    // |last| event delivered).
    template <typename F> bool deliver(F event, bool last = false) {
      if (ended_) return false;
      ended_ = last, delivering_ = true;
      event();
      delivering_ = false;
      return !ended_;
    }

    ScriptedServer& server_;
    size_t index_;
    Exchange exchange_;
    TransferDelegate& delegate_;
    Loop::Handle timer_ = server_.loop.addTimer(0.01, [this] { play(); });
    bool ended_ = false, delivering_ = false;
  };
};

// Byte ranges of |file| as a server sends them, from the loop, each written
// at its place: every request's ranges are recorded (and how many it may
// put in one HTTP request); the request whose index is |cutAt| breaks after
// its first range; with |oneRange|, a request for many ranges a request
// gets its first and kManyRanges. Each fetch tells |roundTrip| as measured.
// Each request is a RangeServer::Fetch made on it.
struct RangeServer {
  struct Fetch : RangeFetch {
    Fetch(RangeServer& server, const RangeFetchRequest& r, RangeFetchDelegate& d) : server(server) {
      bool cut = server.cutAt == server.requests.size();
      bool many = server.oneRange && r.rangesPerRequest > 1;
      server.requests.push_back(r.ranges);
      server.perRequest.push_back(r.rangesPerRequest);
      timer = server.loop.addTimer(0.05, [=, &server, &d] {
        int fd = open(r.destination.c_str(), O_WRONLY);
        for (size_t i = 0; i < r.ranges.size(); ++i) {
          if (cut && i == 1) return close(fd), d.rangesFailed({RangeFault::kNetwork, 0, "cut"});
          if (many && i == 1) return close(fd), d.rangesFailed({RangeFault::kManyRanges, 206, "one"});
          const ByteRange& range = r.ranges[i];
          EXPECT_EQ(pwrite(fd, &server.file[range.start], range.length, range.start), range.length);
          d.rangeBytes(range.length);
          d.rangeWritten(i);
        }
        close(fd);
        d.rangesFinished();
      });
    }
    ~Fetch() override { cancel(); }
    void cancel() override { server.loop.cancelTimer(timer); }  // handles are never reused
    std::string protocol() const override { return server.protocol; }
    double roundTrip() const override { return server.roundTrip; }
    RangeServer& server;
    Loop::Handle timer = 0;
  };

  FakeLoop& loop;
  std::string file, protocol;
  size_t cutAt = SIZE_MAX;
  bool oneRange = false;
  double roundTrip = 0;
  std::vector<std::vector<ByteRange>> requests = {};
  std::vector<size_t> perRequest = {};
};

#endif  // SETUP_TESTS_FAKE_NET_H_
