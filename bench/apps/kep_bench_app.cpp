// The application of the benchmarks (linked statically, with the support
// library's application side built in). It records when it started, feeds its
// watchdog (when kep gave it one) and otherwise sleeps until a signal ends it.
//
//   kep-bench-app [FEED_SECONDS]     feed every FEED_SECONDS (default 10)
//
// With KEP_BENCH_STAMPS set it writes "PID SECONDS.MICROS\n" (wall clock at
// the start of main) to $KEP_BENCH_STAMPS/NAME, NAME being the last component
// of argument 0, replacing the file atomically: the bench driver learns the
// pids and the restart times from these files.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include "ZelKepLib.h"

namespace {

void WriteStamp(const char *name, const struct timeval &started) {
  const char *dir = getenv("KEP_BENCH_STAMPS");
  if (dir == nullptr || *dir == '\0') return;
  const char *slash = strrchr(name, '/');
  const char *base = slash != nullptr ? slash + 1 : name;
  char path[PATH_MAX];
  char temp[PATH_MAX];
  if (snprintf(path, sizeof path, "%s/%s", dir, base) >= static_cast<int>(sizeof path) ||
      snprintf(temp, sizeof temp, "%s/.%s.tmp", dir, base) >= static_cast<int>(sizeof temp)) {
    return;
  }
  FILE *file = fopen(temp, "w");
  if (file == nullptr) return;
  fprintf(file, "%ld %lld.%06ld\n", static_cast<long>(getpid()),
          static_cast<long long>(started.tv_sec), static_cast<long>(started.tv_usec));
  if (fclose(file) == 0) rename(temp, path);
}

}  // namespace

int main(int argc, char **argv) {
  struct timeval started;
  gettimeofday(&started, nullptr);
  WriteStamp(argc > 0 ? argv[0] : "kep-bench-app", started);

  unsigned feedSeconds = argc > 1 ? static_cast<unsigned>(strtoul(argv[1], nullptr, 10)) : 10;
  if (feedSeconds == 0) feedSeconds = 10;
  // Fed at once, so that kep never reads a missing or foreign watchdog file.
  if (KepFeedWatchdog() != 0) {
    for (;;) pause();
  }
  for (;;) {
    sleep(feedSeconds);
    KepFeedWatchdog();
  }
}
