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
#include <set>
#include <string>
#include <vector>

#include "platform/loop.h"
#include "platform/range_fetch.h"
#include "platform/transfer.h"

// Timers run in the order they fall due, the clock jumping to each.
class FakeLoop : public Loop {
 public:
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
      auto next = std::min_element(timers_.begin(), timers_.end(), [](auto& a, auto& b) {
        return a.second.due < b.second.due;
      });
      now = std::max(now, next->second.due);
      std::function<void()> callback = std::move(next->second.callback);
      timers_.erase(next);
      callback();
    }
  }

  double now = 0;
  bool stopped = false;

 private:
  struct Timer {
    double due;
    std::function<void()> callback;
  };
  std::map<Handle, Timer> timers_;
  Handle last_ = 0;
};

// How one attempt goes: the response (status 0: the attempt ends before
// any), how many body bytes come, and how it ends.
struct Exchange : TransferResponse {
  enum End { kFinish, kNetworkFail, kIdleFail, kRefused, kDiskFull };
  Exchange() { status = 200; }
  int64_t body = -1;  // bytes sent; -1: expectedLength (0 when unknown)
  End end = kFinish;
};

// What an attempt asked for.
struct Asked {
  std::string url, ifNoneMatch, ifModifiedSince, ifRange;
  int64_t rangeStart = 0, rangeEnd = -1, suffixLength = 0;
  int64_t bodyAt = -1;  // writeBodyAt's offset; -1 when the body was not taken
};

// Hands out one scripted transfer per attempt, delivering its events from
// the loop as the real one does. It fails the test when a transfer is
// destroyed inside one of its own events.
class ScriptedServer {
 public:
  explicit ScriptedServer(FakeLoop& loop) : loop_(loop) {}

  std::vector<Exchange> script;  // one per attempt; past the end: 404
  std::vector<Asked> asked;

  std::unique_ptr<Transfer> start(const TransferRequest& request, TransferDelegate& delegate) {
    asked.push_back({request.url, request.ifNoneMatch, request.ifModifiedSince, request.ifRange,
                     request.rangeStart, request.rangeEnd, request.suffixLength});
    Exchange exchange;
    exchange.status = 404;
    if (asked.size() <= script.size()) exchange = script[asked.size() - 1];
    return std::make_unique<Scripted>(*this, asked.size() - 1, exchange, request, delegate);
  }

 private:
  class Scripted : public Transfer {
   public:
    Scripted(ScriptedServer& server, size_t index, Exchange exchange, TransferRequest request,
             TransferDelegate& delegate)
        : server_(server), index_(index), exchange_(exchange), request_(request),
          delegate_(delegate) {
      timer_ = server_.loop_.addTimer(0.01, [this] { play(); });
    }
    ~Scripted() override {
      EXPECT_FALSE(delivering_) << "a transfer was destroyed inside its own event";
      cancel();
    }
    void cancel() override {
      ended_ = true;
      server_.loop_.cancelTimer(timer_);  // handles are never reused
    }
    void writeBodyAt(int64_t offset) override { server_.asked[index_].bodyAt = offset; }

   private:
    void play() {
      TransferResponse response = exchange_;
      response.url = request_.url;
      if (exchange_.status == 0) return end();
      if (!deliver([&] { delegate_.transferDidReceiveResponse(response); })) return;
      int64_t body = exchange_.body >= 0 ? exchange_.body
                                         : std::max<int64_t>(0, exchange_.expectedLength);
      // In two chunks, as a body rarely comes in one.
      for (int64_t chunk : {body / 2, body - body / 2})
        if (chunk > 0 && !deliver([&] { delegate_.transferDidReceiveData(chunk); })) return;
      end();
    }

    // The last event: the transfer has ended before it is delivered.
    void end() {
      if (ended_) return;
      ended_ = delivering_ = true;
      const TransferFault kFaults[] = {TransferFault::kOther, TransferFault::kNetwork,
                                       TransferFault::kIdle, TransferFault::kRefused,
                                       TransferFault::kLocalWrite};
      if (exchange_.end == Exchange::kFinish)
        delegate_.transferDidFinish();
      else
        delegate_.transferDidFail({"scripted failure", request_.url, kFaults[exchange_.end]});
      delivering_ = false;
    }

    // False once the transfer has ended (cancelled by the receiver, or its
    // last event delivered).
    template <typename F>
    bool deliver(F event) {
      if (ended_) return false;
      delivering_ = true;
      event();
      delivering_ = false;
      return !ended_;
    }

    ScriptedServer& server_;
    size_t index_;
    Exchange exchange_;
    TransferRequest request_;
    TransferDelegate& delegate_;
    Loop::Handle timer_ = 0;
    bool ended_ = false, delivering_ = false;
  };

  FakeLoop& loop_;
};

// Byte ranges of |file| as a server sends them, from the loop, each written
// at its place: every request's ranges are recorded; a request whose index
// is in |cutAt| breaks after its first range.
struct RangeServer {
  explicit RangeServer(FakeLoop& loop, std::string file = "", std::string protocol = "HTTP/2")
      : loop(loop), file(std::move(file)), protocol(std::move(protocol)) {}
  struct Fetch : RangeFetch {
    Fetch(RangeServer& server, const RangeFetchRequest& r, RangeFetchDelegate& d)
        : server(server) {
      bool cut = server.cutAt.count(server.requests.size());
      server.requests.push_back(r.ranges);
      timer = server.loop.addTimer(0.05, [=, &server, &d] {
        int fd = open(r.destination.c_str(), O_WRONLY);
        for (size_t i = 0; i < r.ranges.size(); ++i) {
          if (cut && i == 1) return close(fd), d.rangesFailed({RangeFault::kNetwork, 0, "cut"});
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
    RangeServer& server;
    Loop::Handle timer = 0;
  };
  std::unique_ptr<RangeFetch> start(const RangeFetchRequest& r, RangeFetchDelegate& d) {
    return std::make_unique<Fetch>(*this, r, d);
  }

  FakeLoop& loop;
  std::string file, protocol;
  std::set<size_t> cutAt;
  std::vector<std::vector<ByteRange>> requests;
};

#endif  // SETUP_TESTS_FAKE_NET_H_
