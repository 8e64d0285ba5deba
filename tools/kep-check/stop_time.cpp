// kep-check's worst-case time of a stop of all applications.
#include <stdint.h>

#include <algorithm>

#include "check.h"

// Plays a stop of all applications through in half seconds, the worst case
// at every step: every application is running, ignores SIGTERM, never writes
// its stop file and outlives SIGKILL, so each stop-file wait runs its full
// stopSyncTime and every application is given up in the end. kep looks at
// the times once per pass, after the pass's 0.5 s sleep; a step is due once
// more than killDelay whole seconds have passed since the signal before it,
// and, the signal having been stamped a moment after the pass began, it is
// taken one pass later than the exact killDelay + 1 s. Stop-file waits block
// kep, so they hold up everything that comes after them.
uint64_t KepCheckWorstStopHalfSeconds() {
  const KepAppList &list = KepGetAppList();
  struct Stop {
    uint64_t wait;   // stop-file wait after each SIGTERM
    uint64_t stamp;  // time of the last signal
    uint32_t sigterms;
    bool killed;
    bool gone;
  };
  std::vector<Stop> stops;
  for (const KepApp &app : list) {
    const uint64_t wait = app.stopFile.has_value() ? 2ull * KepGetStopSyncTime() : 0;
    stops.push_back({wait, 0, 0, false, false});
  }
  const uint64_t delay = 2ull * (KepGetKillDelay() + 1);
  const uint64_t pause = 6;
  uint64_t now = 0;
  // KepStopAllApps: the last configured first.
  for (auto stop = stops.rbegin(); stop != stops.rend(); ++stop) {
    stop->stamp = now;
    stop->sigterms = 1;
    now += stop->wait + pause;
  }
  size_t left = stops.size();
  while (left > 0) {
    // No step is due before the earliest stamp + delay + 1: skip the passes
    // in between.
    uint64_t nextDue = UINT64_MAX;
    for (const Stop &stop : stops) {
      if (!stop.gone) nextDue = std::min(nextDue, stop.stamp + delay + 1);
    }
    now = std::max(now + 1, nextDue);
    for (Stop &stop : stops) {
      if (stop.gone || now - stop.stamp <= delay) continue;
      if (stop.killed) {
        stop.gone = true;
        --left;
      } else if (stop.sigterms > KepGetKillRetries()) {
        stop.killed = true;
        stop.stamp = now;
      } else {
        ++stop.sigterms;
        stop.stamp = now;
        now += stop.wait;
      }
    }
  }
  return now;
}

std::string KepCheckSeconds(uint64_t halfSeconds) {
  return std::to_string(halfSeconds / 2) + (halfSeconds % 2 != 0 ? ".5" : "");
}
