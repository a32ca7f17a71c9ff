#include "download/retry.h"

#include <gtest/gtest.h>

TEST(RetryAfter, SecondsOrAnHttpDate) {
  const time_t now = 1700000000;  // Tue, 14 Nov 2023 22:13:20 GMT
  const struct { const char* value; double seconds; } cases[] = {
      {"0", 0}, {"7", 7}, {"Tue, 14 Nov 2023 22:14:20 GMT", 60},
      {"Tue, 14 Nov 2023 22:00:00 GMT", 0}, {"", -1}, {"soon", -1}, {"-5", -1}, {"3 s", -1}};
  for (const auto& c : cases) EXPECT_EQ(retryAfterSeconds(c.value, now), c.seconds) << c.value;
}

// Waits double with each retry that gets no further, up to the cap. Any
// progress starts the minute of waits again (retries that get no further
// stop at its end: Fetch.RestartsAndFailuresEndWithinTheBounds); twenty
// attempts end it whatever happens.
TEST(RetryPolicy, BackoffDoublesToTheCapAndAttemptsAreBounded) {
  double now = 0; RetryPolicy policy([] { return 0.999; }, [&] { return now; });
  std::vector<int> waits;
  for (int i = 0; i < 6; ++i) policy.mayRetry(0), waits.push_back(int(policy.backoffSeconds()));
  EXPECT_EQ(waits, (std::vector<int>{0, 1, 3, 7, 14, 14}));
  int attempts = 1;
  for (policy.attemptStarted(); policy.mayRetry(attempts * 10); policy.attemptStarted())
    now += 50, ++attempts;
  EXPECT_EQ(attempts, RetryPolicy::kMaxAttempts);
}
