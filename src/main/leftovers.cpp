// Applications that an earlier kep of this boot left running when it ended
// without stopping them (killed, crashed): found in the status file it left,
// told from later processes with the same pid by their start time, and
// stopped before this kep starts anything.
#include <signal.h>

#include <list>
#include <string>

#include "ZelLog.h"
#include "kep_main.h"
#include "kep_start_app.h"
#include "kep_sys.h"
#include "process_identity.h"

namespace {

constexpr const char *kFn = "KepStopLeftovers";
constexpr unsigned long long kKepLeftoverPollUs = 100000;

// The processes of the status file at path that still run, last configured first.
std::list<KepApp> KepFindLeftovers(const char *path) {
  std::list<KepApp> left;
  std::string text, problem;
  time_t mtime = 0;
  KepStatusData data;
  if (!KepReadStatusFile(path, &text, &mtime, &problem)) return left;
  if (!KepParseStatus(text, &data, &problem)) {
    Log_Msg(LOG_MSG_WARNING, 0, kKepMainUnit, "%s(): %s cannot be used: %s.", kFn, path,
            problem.c_str());
    return left;
  }
  // Another boot's processes are gone; and a kep that still runs (one without
  // the instance lock) supervises its own.
  std::string boot = KepBootId();
  if (data.boot.empty() || data.boot != boot) return left;
  if (data.pid > 1 && data.start != 0 &&
      kep::sys::ProcStartTicks(static_cast<pid_t>(data.pid)) == data.start)
    return left;
  for (auto it = data.apps.rbegin(); it != data.apps.rend(); ++it) {
    const KepStatusApp &was = *it;
    pid_t pid = static_cast<pid_t>(was.pid);
    if (pid <= 1 || was.pstart == 0 || kep::sys::ProcStartTicks(pid) != was.pstart) continue;
    KepApp &app = left.emplace_back();
    app.name = was.name;
    app.pid = pid;
    app.run.procStart = was.pstart;
    app.run.leftover = 1;
    app.state = KEP_APP_STATE_RUNNING;
    if (!was.stopFile.empty()) app.stopFile = was.stopFile;
    Log_Msg(LOG_MSG_WARNING, 1, kKepMainUnit,
            "%s(): %s (pid %i) was left running by kep (pid %li): stopping it.", kFn,
            app.name.c_str(), static_cast<int>(pid), data.pid);
  }
  return left;
}

}  // namespace

void KepStopLeftovers() {
  if (kepStatusFilePath == nullptr) return;
  std::list<KepApp> left;
  try {
    left = KepFindLeftovers(kepStatusFilePath);
  } catch (...) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): out of memory.", kFn);
    return;
  }
  if (left.empty()) return;
  // Not told to the status file, which must keep naming them until they are
  // gone; the rest as for any stop.
  KepAppControl control = kepAppControl;
  control.changed = nullptr;
  for (KepApp &app : left) KepStopOneApp(&app, SIGTERM, control);
  uint32_t killRetries = KepGetKillRetries();
  uint32_t killDelay = KepGetKillDelay();
  for (bool stopping = true; stopping;) {
    stopping = false;
    for (KepApp &app : left) {
      if (app.state != KEP_APP_STATE_KILLED) continue;
      if (kep::sys::ProcStartTicks(app.pid) != app.run.procStart) {
        app.state = KEP_APP_STATE_REAPED;
        Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): %s (pid %i) has ended.", kFn,
                app.name.c_str(), static_cast<int>(app.pid));
        KepStopGroup(app, control);
        continue;
      }
      KepEscalateStop(app, killRetries, killDelay, control);
      stopping = stopping || app.state == KEP_APP_STATE_KILLED;
    }
    if (stopping) KepSleepFully(kKepLeftoverPollUs, control.tick);
  }
}
