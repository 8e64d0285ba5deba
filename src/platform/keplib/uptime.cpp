// Boot-clock time and timeval arithmetic.
#include <time.h>

#include "ZelKepLib.h"

extern "C" int KepGetUptime(struct timeval *out) {
  if (out == nullptr) return -1;
  struct timespec now = {0, 0};
  // CLOCK_BOOTTIME cannot fail on any kernel kep runs on; the zero start value
  // keeps the result defined all the same.
  clock_gettime(CLOCK_BOOTTIME, &now);
  out->tv_sec = now.tv_sec;
  out->tv_usec = static_cast<suseconds_t>(now.tv_nsec / 1000);
  return 0;
}

extern "C" int KepTvSub(const struct timeval *a, const struct timeval *b, struct timeval *out) {
  if (a == nullptr || b == nullptr || out == nullptr) return -1;
  // Through 64-bit microseconds, so operands that are not normalised still give
  // a normalised result (0 <= tv_usec < 1000000, seconds rounded down).
  long long micro = (static_cast<long long>(a->tv_sec) - b->tv_sec) * 1000000LL +
                    (static_cast<long long>(a->tv_usec) - b->tv_usec);
  long long seconds = micro / 1000000LL;
  long long rest = micro % 1000000LL;
  if (rest < 0) {
    rest += 1000000LL;
    --seconds;
  }
  out->tv_sec = static_cast<time_t>(seconds);
  out->tv_usec = static_cast<suseconds_t>(rest);
  return 0;
}
