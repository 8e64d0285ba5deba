// The support library's clock and file readers, answered from the fake world.
#include <errno.h>

#include "ZelKepLib.h"
#include "fake.h"

using kep::fake::World;

extern "C" int KepGetUptime(struct timeval *out) {
  if (out == nullptr) return -1;
  *out = World().now;
  return 0;
}

extern "C" int KepTvSub(const struct timeval *a, const struct timeval *b, struct timeval *out) {
  if (a == nullptr || b == nullptr || out == nullptr) return -1;
  timersub(a, b, out);
  return 0;
}

extern "C" int KepReadSyncFile(const char *path, pid_t pid, void *) {
  if (path == nullptr) return 1;
  auto it = World().syncFiles.find(path);
  if (it == World().syncFiles.end()) return 2;
  if (it->second.first != pid) return 4;
  return kep::fake::NowSeconds() >= it->second.second ? 0 : 2;
}

extern "C" int KepWatchdogFileTime(const char *path, pid_t, struct timeval *age,
                                   struct timeval *fedAt, struct timeval *now, uint32_t *count) {
  if (path == nullptr) return 1;
  auto it = World().watchdogs.find(path);
  errno = ENOENT;
  if (it == World().watchdogs.end()) return 2;
  const kep::fake::WatchdogReading &r = it->second;
  errno = EACCES;
  if (r.status != 0) return r.status;
  if (age) *age = r.age;
  if (fedAt) *fedAt = r.fedAt;
  if (now) *now = r.now;
  if (count) *count = r.count;
  return 0;
}

extern "C" int KepWriteSyncFile(const char *path, pid_t pid) {
  if (path == nullptr) return -1;
  kep::fake::WriteSyncFile(path, pid);
  return 0;
}
extern "C" int KepFeedWatchdogFile(const char *, pid_t) { return 0; }
extern "C" int KepNotifyStarted(void) { return 1; }
extern "C" int KepNotifyInitialized(void) { return 1; }
extern "C" int KepNotifyStopped(void) { return 1; }
extern "C" int KepFeedWatchdog(void) { return 1; }
