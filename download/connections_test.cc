#include "download/connections.h"

#include <gtest/gtest.h>

namespace {

// A sample 3 s into a body on a 100 ms link: |rate| bytes a second, the
// last half second too unless |recent| says, a round trip of |rtt| seconds
// now, |ooo| of 3000 segments out of order, as many of them lately.
LinkSample sample(double rate, double rtt, uint32_t ooo, int64_t remaining = 40 << 20, double recent = 0) {
  LinkSample s;
  s.measured = true;
  s.seconds = 3, s.bytes = int64_t(rate * 3), s.remaining = remaining;
  s.rtt = rtt, s.minRtt = 0.1, s.segmentsIn = 3000, s.outOfOrder = ooo, s.mss = 1448;
  s.recentSeconds = 0.5, s.recentSegmentsIn = uint32_t((recent > 0 ? recent : rate) * 0.5 / 1448);
  s.recentOutOfOrder = uint32_t(double(ooo) * s.recentSegmentsIn / 3000);
  return s;
}

TEST(ConnectionsThatPay, MoreOnlyWhereOneFlowIsHeldBackByLoss) {
  LinkSample unmeasured = sample(1.4e6, 0.1, 300), early = unmeasured, drained = sample(12.5e6, 0.1, 300);
  unmeasured.measured = false, early.seconds = 0.3, drained.recentMaxRtt = 0.16;
  LinkSample startOnly = sample(12.5e6, 0.1, 300), fewRoundTrips = sample(1.4e6, 0.1, 300);
  startOnly.recentOutOfOrder = 0;
  fewRoundTrips.minRtt = fewRoundTrips.rtt = 1.0, fewRoundTrips.seconds = 1.5;
  // 4.8 MB/s lately, 6 MB to go: 1.25 s at the rate of now, 2.4 s if it
  // falls once more as it fell (9.3 MB/s before).
  LinkSample falling = sample(4.8e6, 0.1, 600, 6000000);
  falling.earlierSeconds = 0.5, falling.earlierSegmentsIn = uint32_t(9.3e6 * 0.5 / 1448);
  LinkSample steady = falling;
  steady.earlierSegmentsIn = steady.recentSegmentsIn;
  LinkSample burstsAtStart = sample(2.5e6, 0.1, 2100);
  burstsAtStart.recentOutOfOrder = burstsAtStart.recentSegmentsIn / 5;
  LinkSample later = sample(1.4e6, 0.1, 300);  // its rate risen since the probe before
  later.latestSeconds = 0.25, later.latestSegmentsIn = later.recentSegmentsIn * 11 / 20;
  LinkSample rising = later, fallen = later;  // the same over the body's start
  rising.seconds = fallen.seconds = 0.5, fallen.latestSegmentsIn = later.recentSegmentsIn * 3 / 10;
  struct Case {
    const char* what;
    LinkSample sample;
    int more;
  } cases[] = {
      {"cubic, 0.1% loss, 1 Gbit/s: window ~100 segments", sample(1.4e6, 0.1, 300), 5},
      {"cubic, 1% loss, 20 Mbit/s 150 ms", sample(135e3, 0.1, 400), 5},
      {"the same, 2.8 MB to go: one connection a MiB", sample(135e3, 0.1, 400, 2800000), 2},
      {"cubic, 0.1% loss, after a slow start that raced to 7 MB/s", sample(7e6, 0.1, 1000, 40 << 20, 0.9e6), 5},
      {"cubic still falling back from a burst of losses (9.3 MB/s, then 4.8)", falling, 5},
      {"the same rate held: one flow ends within seconds", steady, 0},
      {"cubic whose slow start lost in bursts, with less loss now", burstsAtStart, 5},
      {"clean link, no loss", sample(12.5e6, 0.1, 0), 0},
      {"a full clean link's few losses where its window overshoots", sample(12.5e6, 0.1, 120), 0},
      {"losses from a full queue: the round trip grew", sample(12.5e6, 0.16, 300), 0},
      {"the same, the queue drained by the losses just before", drained, 0},
      {"bbr at full rate despite loss: a large window", sample(100e6, 0.1, 2900), 0},
      {"bbr's start: its rate still rising over its losses", rising, 0},
      {"cubic's start: its rate fallen after them", fallen, 5},
      {"cubic later on: its rate rising between losses", later, 5},
      {"a download one flow ends within seconds", sample(1.4e6, 0.1, 300, 2 << 20), 0},
      {"not measured (no TCP socket)", unmeasured, 0},
      {"losses only at the start (slow start overshot)", startOnly, 0},
      {"too early", early, 0},
      {"too few round trips yet", fewRoundTrips, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(connectionsThatPay(c.sample), c.more) << c.what;
}

}  // namespace
