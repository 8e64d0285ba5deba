// Placeholder until the support library lands.
#include <time.h>

#include "ZelKepLib.h"

extern "C" int KepGetUptime(struct timeval *out) {
  if (out == nullptr) return -1;
  struct timespec now;
  clock_gettime(CLOCK_BOOTTIME, &now);
  out->tv_sec = now.tv_sec;
  out->tv_usec = now.tv_nsec / 1000;
  return 0;
}

extern "C" int KepTvSub(const struct timeval *a, const struct timeval *b, struct timeval *out) {
  if (a == nullptr || b == nullptr || out == nullptr) return -1;
  timersub(a, b, out);
  return 0;
}

extern "C" int KepReadSyncFile(const char *, pid_t, void *) { return 1; }
extern "C" int KepWatchdogFileTime(const char *, pid_t, struct timeval *, struct timeval *,
                                   struct timeval *, uint32_t *) {
  return 2;
}
extern "C" int KepWriteSyncFile(const char *, pid_t) { return -1; }
extern "C" int KepFeedWatchdogFile(const char *, pid_t) { return -1; }
extern "C" int KepNotifyStarted(void) { return 1; }
extern "C" int KepNotifyInitialized(void) { return 1; }
extern "C" int KepNotifyStopped(void) { return 1; }
extern "C" int KepFeedWatchdog(void) { return 1; }
