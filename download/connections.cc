#include "download/connections.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

// Six in all, as browsers open to one host: on the 1 Gbit/s 100 ms link
// with 0.1% loss the download took 3.67 s on six against 4.15 s on four
// (medians of 12 alternating rounds), for the same bytes received.
const int kMoreConnections = 5;
// And one for each MiB still to come: a connection cut where another took
// over loses what was on its way to it, tens of KB on a lossy link, which
// on a small download is a percent of it each time.
const int64_t kBytesPerConnection = 1 << 20;
// Of body before any judgement: a lossy long link shows its losses within
// a few round trips, and every probe later costs the parts' head start.
const double kMinSeconds = 0.5;
// And as many round trips (this governs above 250 ms): two of body, after
// the archive's end on the same connection, show a lossy flow as well as
// four did on the 150 ms links measured, and each one more delays the parts.
const double kMinRoundTrips = 2;
const uint32_t kMinSegments = 100;    // enough to see losses at all
// Fewer out-of-order arrivals, in all and lately: no loss worth it (a flow
// that fills a clean link loses a little where its window overshoots).
const double kMinOutOfOrder = 0.05;
// One flow ends sooner: a handshake would not pay. At 3 s the parts came
// 0.2 s later on the 20 Mbit/s 150 ms link with 1% loss, and took 10% longer
// (medians of 20 alternating rounds); no clean or bbr flow split at 2 s.
const double kMinSecondsLeft = 2.0;
// A window of W segments under loss p, with W * sqrt(p) above this, is a
// flow not held back by loss (Reno's and cubic's hold it near 1.2 to 4;
// the estimate of p below runs high while a flow falls back from slow start).
const double kMaxLossLimitedWindow = 10.0;
// A round trip this much above its least, now or lately, is a queue: the
// link is full (one flow that fills it loses where the queue overflows,
// and a probe just after sees the queue drained).
const double kQueueFactor = 1.25;
const double kQueueSlack = 0.003;

}  // namespace

int connectionsThatPay(const LinkSample& s) {
  if (!s.measured || s.seconds < kMinSeconds || s.bytes <= 0 || s.mss == 0 || s.minRtt <= 0 ||
      s.segmentsIn < kMinSegments || s.seconds < kMinRoundTrips * s.minRtt)
    return 0;
  // The flow's rate now: slow start raced ahead before the first losses,
  // so the whole body's rate says little about the time left or the window.
  double rate = s.recentSeconds > 0 ? double(s.recentSegmentsIn) * s.mss / s.recentSeconds
                                    : s.bytes / s.seconds;
  // A flow slower lately than the window before is still falling back
  // from a burst of losses (cubic halves and halves again): expect the
  // same fall once more rather than its rate of now.
  if (s.earlierSeconds > 0 && s.earlierSegmentsIn > 0) {
    double earlier = double(s.earlierSegmentsIn) * s.mss / s.earlierSeconds;
    if (rate < earlier) rate *= rate / earlier;
  }
  if (s.remaining / rate < kMinSecondsLeft) return 0;
  // Losses that go on: a flow's start overshooting the link loses too.
  double outOfOrder = double(s.outOfOrder) / s.segmentsIn;
  if (outOfOrder < kMinOutOfOrder || s.recentOutOfOrder == 0 ||
      s.recentOutOfOrder < kMinOutOfOrder * s.recentSegmentsIn)
    return 0;
  // A flow's start faster since the probe before than before it, over its
  // losses, is not held back by them: a bbr sender's start loses as much as
  // cubic's, but cubic's rate falls after (half a second in, bbr's had risen
  // 1.05 to 3.8 times on the 1 Gbit/s link, 161 runs; cubic's had fallen to
  // 0.16 to 0.86 wherever the other rules split). Later on, cubic's rate
  // rises between losses too (up to 1.26 times where they split).
  bool fromStart = s.recentSeconds >= s.seconds;  // the window reaches back to the body's start
  if (fromStart && s.latestSeconds > 0 && s.recentSeconds > s.latestSeconds) {
    double before = (double(s.recentSegmentsIn) - s.latestSegmentsIn) /
                    (s.recentSeconds - s.latestSeconds);
    if (s.latestSegmentsIn / s.latestSeconds > before) return 0;
  }
  if (std::max(s.rtt, s.recentMaxRtt) > s.minRtt * kQueueFactor + kQueueSlack) return 0;
  // Each loss puts about a window's segments out of order: p ~ f / W, so
  // W * sqrt(p) ~ sqrt(f * W), with f of lately: slow start's bursts of
  // losses say nothing of the loss the flow lives with now.
  double window = rate * s.minRtt / s.mss;
  double recentOutOfOrder = double(s.recentOutOfOrder) / s.recentSegmentsIn;
  if (std::sqrt(recentOutOfOrder * window) > kMaxLossLimitedWindow) return 0;
  return int(std::min<int64_t>(kMoreConnections, s.remaining / kBytesPerConnection));
}

std::function<int(const LinkSample&)> connectionsPolicy() {
  const char* oneFlow = getenv("ZV_INTERNAL_ONE_FLOW");
  if (oneFlow && *oneFlow) return {};
  // Tests on loopback, where no link is lossy, ask for parts outright.
  const char* parts = getenv("ZV_INTERNAL_PARTS");
  if (parts && *parts) {
    int more = atoi(parts);
    return [more](const LinkSample& sample) { return sample.bytes > 0 ? more : 0; };
  }
  return connectionsThatPay;
}
