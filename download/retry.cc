#include "download/retry.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

RetryPolicy::RetryPolicy(std::function<double()> random, std::function<double()> clock)
    : random_(std::move(random)), clock_(std::move(clock)) {}

void RetryPolicy::attemptStarted() { ++attempts_; }

// The minute of waits runs from the end of an attempt, not its start: the
// first attempt's own time would otherwise eat into it, and a server's
// Retry-After of a whole minute could never be honoured.
bool RetryPolicy::mayRetry(int64_t reached, double wait) {
  double now = clock_();
  if (reached > furthest_) {
    furthest_ = reached;
    stalled_ = 0;
    progressAt_ = now;
  } else {
    ++stalled_;
    if (progressAt_ < 0) progressAt_ = now;
  }
  return attempts_ < kMaxAttempts && now + wait - progressAt_ <= kStalledSeconds;
}

double RetryPolicy::backoffSeconds() const {
  double ceiling = std::min(kCapSeconds, kBaseSeconds * std::pow(2.0, std::max(0, stalled_ - 1)));
  return ceiling * random_();
}

double retryAfterSeconds(const std::string& value, time_t now) {
  if (value.empty()) return -1;
  if (value.find_first_not_of("0123456789") == std::string::npos)
    return value.size() > 9 ? 1e9 : atof(value.c_str());
  struct tm date = {};
  const char* end = strptime(value.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &date);
  if (end == nullptr || *end != '\0') return -1;
  return std::max(0.0, difftime(timegm(&date), now));
}

bool isTransientStatus(long status) {
  for (long transient : {408, 429, 500, 502, 503, 504})
    if (status == transient) return true;
  return false;
}
