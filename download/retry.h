#ifndef SETUP_DOWNLOAD_RETRY_H_
#define SETUP_DOWNLOAD_RETRY_H_

#include <time.h>

#include <cstdint>
#include <functional>
#include <string>

// Paces and bounds the attempts of one download: exponential backoff with
// full jitter, at most kMaxStalledRetries retries in a row that got no
// further into the archive than an earlier attempt had, and at most
// kMaxAttempts attempts in all.
class RetryPolicy {
 public:
  static constexpr int kMaxAttempts = 20;
  static constexpr int kMaxStalledRetries = 4;
  static constexpr double kBaseSeconds = 1.0;
  static constexpr double kCapSeconds = 15.0;

  // |random| returns a number in [0, 1).
  explicit RetryPolicy(std::function<double()> random);

  // An attempt is being made.
  void attemptStarted() { ++attempts_; }
  // An attempt ended before the archive was whole, having reached byte
  // |reached| of it. Returns whether another attempt may follow.
  bool mayRetry(int64_t reached);
  // Seconds to wait before that attempt.
  double backoffSeconds() const;

 private:
  std::function<double()> random_;
  int attempts_ = 0;
  int stalled_ = 0;  // retries in a row without getting further
  int64_t furthest_ = 0;
};

// The wait a Retry-After value asks for, in seconds after |now|: a count
// of seconds or an HTTP date. -1 when it is neither.
double retryAfterSeconds(const std::string& value, time_t now);

// Statuses that say "try again later": 408, 429, 500, 502, 503, 504.
bool isTransientStatus(long status);

#endif  // SETUP_DOWNLOAD_RETRY_H_
