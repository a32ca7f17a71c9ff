#ifndef SETUP_DOWNLOAD_RETRY_H_
#define SETUP_DOWNLOAD_RETRY_H_

#include <time.h>

#include <cstdint>
#include <functional>
#include <string>

// Paces and bounds the attempts of one download: exponential backoff with
// full jitter; retries that get no further into the file than an earlier
// attempt had go on for kStalledSeconds at most (counted from the end of
// the last attempt that got further, or of the first), so that a link
// that is down for a few seconds (a Wi-Fi roam, a VPN reconnecting) is
// ridden out while a server that is gone ends the run within a minute; and
// at most kMaxAttempts attempts in all.
class RetryPolicy {
 public:
  static constexpr int kMaxAttempts = 20;
  static constexpr double kStalledSeconds = 60.0;
  static constexpr double kBaseSeconds = 1.0;
  static constexpr double kCapSeconds = 15.0;

  // |random| returns a number in [0, 1); |clock| seconds that never jump.
  RetryPolicy(std::function<double()> random, std::function<double()> clock);

  // An attempt is being made.
  void attemptStarted();
  // An attempt ended before the file was whole, having reached byte
  // |reached| of it. Returns whether another attempt may follow after
  // |wait| seconds.
  bool mayRetry(int64_t reached, double wait = 0);
  // Seconds to wait before that attempt.
  double backoffSeconds() const;

 private:
  std::function<double()> random_;
  std::function<double()> clock_;
  double progressAt_ = -1;  // when an attempt that got further (or the first) ended
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
