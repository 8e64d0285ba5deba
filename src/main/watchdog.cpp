// The watchdog check of running applications.
#include <errno.h>
#include <signal.h>

#include "ZelKepLib.h"
#include "ZelLog.h"
#include "kep_main.h"
#include "kep_start_app.h"

namespace {

// Statuses of KepWatchdogFileTime: missing or unreadable (errno ENOENT when the
// file does not exist), and fed by another pid.
constexpr int kKepWdUnreadable = 2;
constexpr int kKepWdOtherPid = 4;

}  // namespace

int KepWdCheck(KepAppList *list) {
  static const char *const fn = "KepWdCheck";
  uint32_t wdTimeout = KepGetWdTimeout();
  if (wdTimeout == 0 || list == nullptr || list->empty()) return 0;

  int result = 0;
  struct timeval wdAge = {0, 0};
  struct timeval fedAt = {0, 0};
  struct timeval readAt = {0, 0};
  uint32_t feedCount = 0;
  for (KepApp &app : *list) {
    if (app.disabled != 0 || app.state != KEP_APP_STATE_RUNNING || !app.wdFile) continue;

    errno = 0;
    int status =
        KepWatchdogFileTime(app.wdFile->c_str(), app.pid, &wdAge, &fedAt, &readAt, &feedCount);
    if (status == kKepWdOtherPid || (status == kKepWdUnreadable && errno == ENOENT)) {
      // Not fed yet by this process (no file, or one left by an earlier one):
      // the age counts from its start, so an application that hangs before
      // its first feed times out like one that stopped feeding.
      KepGetUptime(&readAt);
      KepTvSub(&readAt, &app.execTime, &wdAge);
      fedAt = app.execTime;
      feedCount = 0;
    } else if (status != 0) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): KepWatchdogFileTime(%s) failed (%i).", fn,
              app.wdFile->c_str(), status);
      if (result == 0) result = status;
      continue;
    }
    // Whole seconds only: an age of exactly wdTimeout (or 60.9 s for 60) is
    // not yet a timeout. A negative age never is.
    if (static_cast<long long>(wdAge.tv_sec) <= static_cast<long long>(wdTimeout)) continue;

    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit,
            "%s(): watchdog timeout: %s, pid: %u (%u, %u, %u, %u, %u).", fn, app.name.c_str(),
            static_cast<unsigned>(app.pid), wdTimeout, static_cast<unsigned>(wdAge.tv_sec),
            static_cast<unsigned>(fedAt.tv_sec), static_cast<unsigned>(readAt.tv_sec), feedCount);
    status = KepStopOneApp(&app, SIGTERM);
    if (status != 0) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): KepStopOneApp(%s) failed (%i).", fn,
              app.name.c_str(), status);
      if (result == 0) result = status;
    }
  }
  return result;
}
