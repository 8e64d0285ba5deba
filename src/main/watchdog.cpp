// The watchdog check of running applications.
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>

#include "ZelKepLib.h"
#include "ZelLog.h"
#include "kep_main.h"
#include "kep_start_app.h"

namespace {

bool KepFileAbsent(const char *path) {
  struct stat info;
  return stat(path, &info) != 0 && errno == ENOENT;
}

// The first time value (the age) and the others that the time-out line shows.
struct KepWdReading {
  struct timeval age = {0, 0};
  struct timeval fedAt = {0, 0};
  struct timeval readAt = {0, 0};
  uint32_t count = 0;
};

// A process that has not fed yet (no file, or one that names another pid: an
// earlier process's) is timed from the later of its start and the moment the
// supervisor entered Running, the first time it is looked at: an application
// is not watched while applications are still being started, however long
// its initialisation takes, and a later start of another one does not make
// it younger.
void KepTimeUnfed(KepApp &app, KepWdReading *reading) {
  struct timeval &from = app.run.wdWatchFrom;
  if (from.tv_sec == 0 && from.tv_usec == 0) {
    from = timercmp(&app.execTime, &runningSince, >) ? app.execTime : runningSince;
  }
  KepGetUptime(&reading->readAt);
  KepTvSub(&reading->readAt, &from, &reading->age);
  reading->fedAt = from;
  reading->count = 0;
}

// The reading of the application's watchdog: 0, or the library's failure.
// Whether it has fed yet is decided from the file itself, not from how the
// library words its failure: no file, or the library's own "another pid".
int KepReadWatchdog(KepApp &app, KepWdReading *reading) {
  const char *path = app.wdFile->c_str();
  int status = KepWatchdogFileTime(path, app.pid, &reading->age, &reading->fedAt, &reading->readAt,
                                   &reading->count);
  if (status == KEP_FILE_OK) return status;
  if (status == KEP_FILE_OTHER_PID || KepFileAbsent(path)) {
    KepTimeUnfed(app, reading);
    return KEP_FILE_OK;
  }
  // Written just after the reading failed to find it: read again.
  if (status == KEP_FILE_MISSING) {
    status = KepWatchdogFileTime(path, app.pid, &reading->age, &reading->fedAt, &reading->readAt,
                                 &reading->count);
  }
  return status;
}

}  // namespace

int KepWdCheck(KepAppList *list) {
  static const char *const fn = "KepWdCheck";
  uint32_t wdTimeout = KepGetWdTimeout();
  if (wdTimeout == 0 || list == nullptr || list->empty()) return 0;

  int result = 0;
  KepWdReading reading;
  for (KepApp &app : *list) {
    if (app.disabled != 0 || app.state != KEP_APP_STATE_RUNNING || !app.wdFile) continue;

    int status = KepReadWatchdog(app, &reading);
    if (status != 0) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): KepWatchdogFileTime(%s) failed (%i).", fn,
              app.wdFile->c_str(), status);
      if (result == 0) result = status;
      continue;
    }
    // Whole seconds only: an age of exactly wdTimeout (or 60.9 s for 60) is
    // not yet a timeout. A negative age never is.
    if (static_cast<long long>(reading.age.tv_sec) <= static_cast<long long>(wdTimeout)) continue;

    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit,
            "%s(): watchdog timeout: %s, pid: %u (%u, %u, %u, %u, %u).", fn, app.name.c_str(),
            static_cast<unsigned>(app.pid), wdTimeout, static_cast<unsigned>(reading.age.tv_sec),
            static_cast<unsigned>(reading.fedAt.tv_sec),
            static_cast<unsigned>(reading.readAt.tv_sec), reading.count);
    status = KepStopOneApp(&app, SIGTERM, kepAppControl);
    if (status != 0) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): KepStopOneApp(%s) failed (%i).", fn,
              app.name.c_str(), status);
      if (result == 0) result = status;
    }
  }
  return result;
}
