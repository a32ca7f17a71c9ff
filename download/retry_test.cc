#include "download/retry.h"

#include <gtest/gtest.h>

TEST(RetryAfter, SecondsOrAnHttpDate) {
  const time_t now = 1700000000;  // Tue, 14 Nov 2023 22:13:20 GMT
  const struct { const char* value; double seconds; } cases[] = {
      {"0", 0}, {"7", 7}, {"Tue, 14 Nov 2023 22:14:20 GMT", 60},
      {"Tue, 14 Nov 2023 22:00:00 GMT", 0}, {"", -1}, {"soon", -1}, {"-5", -1}, {"3 s", -1}};
  for (const auto& c : cases) EXPECT_EQ(retryAfterSeconds(c.value, now), c.seconds) << c.value;
}

// An attempt that got somewhere earns a retry; four more in a row that get
// no further end it. Twenty attempts end it whatever happens.
TEST(RetryPolicy, BoundsRetriesWithoutProgressAndAttemptsInAll) {
  RetryPolicy same([] { return 0.999; });
  int retries = 0;
  for (same.attemptStarted(); same.mayRetry(500); same.attemptStarted()) ++retries;
  EXPECT_EQ(retries, 1 + RetryPolicy::kMaxStalledRetries);

  RetryPolicy growing([] { return 0.0; });
  int attempts = 1;
  for (growing.attemptStarted(); growing.mayRetry(attempts * 10); growing.attemptStarted())
    ++attempts;
  EXPECT_EQ(attempts, RetryPolicy::kMaxAttempts);
  EXPECT_EQ(growing.backoffSeconds(), 0.0);
}

TEST(RetryPolicy, BackoffDoublesUpToTheCap) {
  RetryPolicy policy([] { return 0.999; });
  std::vector<int> waits;
  for (int i = 0; i < 6; ++i) policy.mayRetry(0), waits.push_back(int(policy.backoffSeconds()));
  EXPECT_EQ(waits, (std::vector<int>{0, 1, 3, 7, 14, 14}));
}
