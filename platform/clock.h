#ifndef SETUP_PLATFORM_CLOCK_H_
#define SETUP_PLATFORM_CLOCK_H_

#include <time.h>

// Seconds on a clock that never jumps (wall-clock changes do not move it).
inline double monotonicSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

#endif  // SETUP_PLATFORM_CLOCK_H_
