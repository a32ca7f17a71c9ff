#include "download/delta_update.h"

#include <sys/stat.h>
#include <gtest/gtest.h>

#include "agent/partial.h"
#include "agent/unpack_plan.h"
#include "platform/file_copy.h"
#include "tests/fake_net.h"
#include "tests/test_util.h"

namespace {

// Over HTTP/1.1 a first range alone tells the protocol and the round trip;
// the rest go many a request; a broken request is asked again for what it
// had not written; and a later run (the first killed) asks only for what
// the part's record lacks. A server that sends one range where many were
// asked gets them one a request, merged where a gap is smaller than the
// link carries in a round trip as the fetches measured it (not as the
// end's request took, its connection's set-up included). A kept archive
// that shares a third of the entries is a base as long as the delta is the
// faster way.
TEST(DeltaUpdate, MergesOnHttp1RetriesAndContinuesAKilledRun) {
  ScratchDir scratch;
  // Versions packed alike: every third entry changed; v0 shares only those.
  for (const char* version : {"v0", "v1", "v2"}) {
    std::string dir = scratch / version;
    mkdir(dir.c_str(), 0700);
    for (int i = 0; i < 24; ++i)
      writeFile(dir + "/f" + std::to_string(10 + i), std::string(30000, 'a' + i) +
                (i % 3 == 0 ? (version[1] == '0' ? "v2" : version) : version[1] == '0' ? "v0" : "same"),
                0644);
    ASSERT_EQ(0, shell("cd " + dir + " && touch -d 2020-01-01 f* && zip -q -0 -X ../" +
                       version + ".zip f*"));
  }
  FakeLoop loop;
  RangeServer server{loop, readFile(scratch / "v2.zip"), "HTTP/1.1"};
  // Its loop, no transfers, random numbers, no wall clock, its clock and log.
  FetchServices net{&loop, nullptr, [] { return 0.5; }, nullptr, [&] { return loop.now; },
                    [](const std::string&) {}};
  DeltaServices services{
      [&](auto& r, auto& d) { return std::make_unique<RangeServer::Fetch>(server, r, d); },
      copyFileRange};
  ZipDirectory fresh;
  std::string error;
  ASSERT_TRUE(readArchiveDirectory(scratch / "v2.zip", &fresh, &error)) << error;
  KeptPart part(scratch.path() + "/");
  DeltaTarget target;
  target.url = "https://host/agent", target.path = part.path(), target.etag = "\"v2\"";
  target.total = server.file.size(), target.end = target.total - 1000, target.part = &part;
  target.keptArchive = scratch / "v1.zip";
  writeFile(part.path(), std::string(target.total, '\0'));
  std::vector<DeltaUpdate::Outcome> outcomes;
  auto done = [&](DeltaUpdate::Outcome o, const FetchError&) { outcomes.push_back(o); };
  {
    // At 1 kB/s the eight changed entries and the directory's start go as a
    // probe and one request of eight ranges, which breaks after its first.
    target.bytesPerSecond = 1e3, target.roundTrip = 0.05, server.cutAt = 1;
    DeltaUpdate killed(net, services);
    ASSERT_TRUE(killed.start(target, fresh, nullptr, done));
    for (int step = 0; server.requests.size() < 3 && step < 100; ++step) loop.runUntilIdle(1);
    ASSERT_EQ(server.requests.size(), 3u);
    EXPECT_EQ(std::make_tuple(server.requests[0].size(), server.requests[1].size(),
                              server.requests[2].size(), server.requests[2].front().start,
                              server.perRequest[0], server.perRequest[1]),
              std::make_tuple(1u, 8u, 7u, server.requests[1][1].start, 1u, size_t(kRangesPerRequest)));
  }  // killed before the retry's bytes came
  std::vector<std::vector<ByteRange>> before = std::exchange(server.requests, {});
  server.perRequest.clear();
  // The end's request took 10 ms; the ranges' round trip is a second, in
  // which 100 kB/s carries any gap here: after the probe and the refused
  // request's first range, the rest go as one.
  server.cutAt = SIZE_MAX, server.oneRange = true, server.roundTrip = 1;
  target.bytesPerSecond = 1e5, target.roundTrip = 0.01;
  DeltaUpdate delta(net, services);
  ASSERT_TRUE(delta.start(target, fresh, nullptr, done));
  loop.runUntilIdle();
  EXPECT_EQ(outcomes, std::vector<DeltaUpdate::Outcome>{DeltaUpdate::Outcome::kRebuilt});
  ASSERT_EQ(server.requests.size(), 3u);
  EXPECT_EQ(std::make_tuple(server.requests[0].front().start, server.requests[1].size(),
                            server.requests[2].size(), server.perRequest[2]),
            std::make_tuple(before[2].front().start, 6u, 1u, 1u));
  EXPECT_TRUE(readFile(part.path()).substr(0, target.end) == server.file.substr(0, target.end));
  // Two thirds of the archive: taken at 100 kB/s, not where each request
  // waits three seconds.
  target.keptArchive = scratch / "v0.zip";
  EXPECT_TRUE(DeltaUpdate(net, services).start(target, fresh, nullptr, done));
  target.roundTrip = 3;
  EXPECT_FALSE(DeltaUpdate(net, services).start(target, fresh, nullptr, done));
}

}  // namespace
