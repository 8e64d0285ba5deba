// The support library's clock and file readers, answered from the fake world.
#include <errno.h>

#include "ZelKepLib.h"
#include "fake.h"

using kep::fake::World;

static struct timeval Tv(long long us) { return {time_t(us / 1000000), suseconds_t(us % 1000000)}; }

extern "C" int KepGetUptime(struct timeval *out) { return *out = Tv(World().nowUs), 0; }

extern "C" int KepTvSub(const struct timeval *a, const struct timeval *b, struct timeval *out) {
  timersub(a, b, out);
  return 0;
}

extern "C" int KepReadSyncFile(const char *path, pid_t pid, void *) {
  auto it = World().syncFiles.find(path);
  return it == World().syncFiles.end() ? 2 : it->second == pid ? 0 : 4;
}

extern "C" int KepWatchdogFileTime(const char *path, pid_t, struct timeval *age,
                                   struct timeval *fedAt, struct timeval *now, uint32_t *count) {
  auto it = World().watchdogs.find(path);
  errno = it == World().watchdogs.end() ? ENOENT : EACCES;
  if (errno == ENOENT || it->second.first != 0) return errno == ENOENT ? 2 : it->second.first;
  *age = Tv(it->second.second);
  *now = Tv(World().nowUs);
  *fedAt = Tv(World().nowUs - it->second.second);
  return *count = 3, 0;
}
