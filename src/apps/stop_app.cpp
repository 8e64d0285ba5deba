// Stopping applications and marking them for a new start.
#include <errno.h>
#include <signal.h>
#include <stdio.h>

#include "ZelKepLib.h"
#include "ZelLog.h"
#include "kep_start_app.h"
#include "kep_sys.h"

namespace {

constexpr unsigned long long kKepStopAllPauseUs = 3000000;

const char *KepStopSignalName(int signal) {
  static char other[24];
  if (signal == SIGTERM) return "SIGTERM";
  if (signal == SIGKILL) return "SIGKILL";
  snprintf(other, sizeof other, "signal %i", signal);  // one an operator sent
  return other;
}

constexpr unsigned long long kKepGroupPollUs = 100000;

// A process that an earlier kep started is signalled only while its pid still
// names it: the pid alone may have been handed to another process since.
bool KepStillThere(const KepApp &app) {
  return app.run.leftover == 0 || kep::sys::ProcStartTicks(app.pid) == app.run.procStart;
}

// SIGTERM goes to the application itself, so that it can stop in order.
// SIGKILL goes to its process group (it leads one since its setsid), so that
// nothing it started outlives it; a group that is gone already (or was never
// formed) falls back to the pid. 0 when delivered or the process is gone.
int KepDeliver(const KepApp &app, int signal) {
  if (!KepStillThere(app)) return 0;
  pid_t target = signal == SIGKILL ? -app.pid : app.pid;
  int result = kep::sys::Kill(target, signal);
  if (result != 0 && errno == ESRCH && target != app.pid) {
    target = app.pid;
    result = kep::sys::Kill(target, signal);
  }
  if (result == 0 || errno == ESRCH) return 0;
  Log_Msg(LOG_MSG_ERROR, 0, kKepStartAppUnit, "%s(): kill(%i, %s) for %s failed, errno = %i.",
          "KepStopOneApp", static_cast<int>(app.pid), KepStopSignalName(signal), app.name.c_str(),
          errno);
  return KEP_ERR_KILL;
}

// Waits up to seconds for the group to empty; the members left.
unsigned KepWaitForGroup(pid_t group, uint32_t seconds, void (*tick)()) {
  unsigned members = kep::sys::GroupMembers(group);
  for (unsigned long long waited = 0; members != 0 && waited < seconds * 1000000ULL;
       waited += kKepGroupPollUs) {
    KepSleepFully(kKepGroupPollUs, tick);
    members = kep::sys::GroupMembers(group);
  }
  return members;
}

}  // namespace

namespace {

// Logs the signal about to be sent; false for a signal kep does not stop with.
bool KepAnnounce(const KepApp &app, int signal) {
  static const char *const kFn = "KepStopOneApp";
  if (signal == SIGTERM) {
    Log_Msg(LOG_MSG_INFO, 1, kKepStartAppUnit, "%s(): kill(%i, %s) for %s, retry: %u/%u.", kFn,
            static_cast<int>(app.pid), "SIGTERM", app.name.c_str(), app.sigtermCount,
            KepGetKillRetries());
  } else if (signal == SIGKILL) {
    Log_Msg(LOG_MSG_INFO, 1, kKepStartAppUnit, "%s(): kill(%i, %s) for %s.", kFn,
            static_cast<int>(app.pid), "SIGKILL", app.name.c_str());
  } else {
    Log_Msg(LOG_MSG_ERROR, 0, kKepStartAppUnit, "%s(): invalid signal (%i) for PID %i (%s).", kFn,
            signal, static_cast<int>(app.pid), app.name.c_str());
    return false;
  }
  return true;
}

// After SIGTERM: up to stopSyncTime for the stop file, a warning when it does
// not come.
void KepAwaitStopFile(KepApp *app, const KepAppControl &control) {
  uint32_t stopSyncTime = KepGetStopSyncTime();
  if (stopSyncTime == 0 || !app->stopFile) return;
  if (control.changed != nullptr) control.changed(*app, KEP_SYNC_WAIT_STOP);
  int status =
      KepWaitForSyncFile(app->stopFile->c_str(), app->pid, stopSyncTime, nullptr, control.tick);
  if (control.changed != nullptr) control.changed(*app, KEP_SYNC_WAIT_NONE);
  if (status != 0) {
    Log_Msg(LOG_MSG_WARNING, 0, kKepStartAppUnit,
            "%s(): KepWaitForSyncFile(%s, %i, %u) for %s failed (%i).", "KepStopOneApp",
            app->stopFile->c_str(), static_cast<int>(app->pid), stopSyncTime, app->name.c_str(),
            status);
  }
}

}  // namespace

// kill(0, ...) would reach the supervisor's own group and kill(-1, ...) every
// process of the device: a record without a real pid has nothing left to stop
// and is booked as gone, so that the stop still completes. A child that the
// SIGCHLD handler has reaped already is gone as well, and its pid may belong
// to another process by now. Where the caller has not blocked SIGCHLD (the
// escalation of a stop), the handler could reap the child between the test and
// the kill: blocked from the one to the other, an ended child stays a zombie,
// whose pid cannot be reused. The caller's mask comes back afterwards.
int KepSignalUnlessGone(const KepApp &app, int signal, bool *gone) {
  *gone = app.pid <= 1;
  if (*gone) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepStartAppUnit, "%s(): refusing to signal pid %i for %s.",
            "KepStopOneApp", static_cast<int>(app.pid), app.name.c_str());
    return KEP_OK;
  }
  sigset_t sigchld;
  sigset_t previous;
  sigemptyset(&sigchld);
  sigaddset(&sigchld, SIGCHLD);
  bool masked = sigprocmask(SIG_BLOCK, &sigchld, &previous) == 0;
  *gone = app.childExited != 0 || app.run.childReaped != 0 || !KepStillThere(app);
  int status = *gone ? KEP_OK : KepDeliver(app, signal);
  if (masked) sigprocmask(SIG_SETMASK, &previous, nullptr);
  return status;
}

int KepStopOneApp(KepApp *app, int signal, const KepAppControl &control) {
  if (app == nullptr) return KEP_ERR_INVALID_ARG;
  if (!KepAnnounce(*app, signal)) return KEP_ERR_INVALID_ARG;
  bool gone = false;
  int status = KepSignalUnlessGone(*app, signal, &gone);
  if (status != KEP_OK) return status;
  app->state = KEP_APP_STATE_KILLED;
  if (signal == SIGKILL) {
    app->sigkillSent = 1;
    KepGetUptime(&app->sigkillTime);
    return KEP_OK;
  }
  app->sigtermCount += 1;
  KepGetUptime(&app->sigtermTime);
  // Nobody is left to write the stop file.
  if (!gone) KepAwaitStopFile(app, control);
  return KEP_OK;
}

int KepStopAllApps(KepAppList *list, const KepAppControl &control) {
  if (list == nullptr) return KEP_ERR_INVALID_ARG;
  int result = KEP_OK;
  for (auto it = list->rbegin(); it != list->rend(); ++it) {
    KepApp &app = *it;
    if (app.state != KEP_APP_STATE_RUNNING && app.state != KEP_APP_STATE_INITIALIZING) continue;
    result = KepStopOneApp(&app, SIGTERM, control);
    // Also when no stop file was waited for: the status file shows the SIGTERM
    // during the pause, not only after it.
    if (control.changed != nullptr) control.changed(app, KEP_SYNC_WAIT_NONE);
    KepSleepFully(kKepStopAllPauseUs, control.tick);
    if (result != 0) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepStartAppUnit, "%s(): KepStopOneApp(%s) failed (%u).",
              "KepStopAllApps", app.name.c_str(), static_cast<unsigned>(result));
    }
  }
  return result;
}

int KepSetAppsStartPending(KepAppList *list) {
  if (list == nullptr) return KEP_OK;
  for (KepApp &app : *list) {
    switch (app.state) {
      case KEP_APP_STATE_CONFIGURED:
      case KEP_APP_STATE_START_PENDING:
      case KEP_APP_STATE_START_FAILED:
      case KEP_APP_STATE_EXITED:
      case KEP_APP_STATE_REAPED:
        app.state = KEP_APP_STATE_START_PENDING;
        break;
      default:
        break;
    }
  }
  return KEP_OK;
}

int KepStopGroup(const KepApp &app, const KepAppControl &control) {
  static const char *const kFn = "KepStopGroup";
  pid_t group = app.pid;
  if (group <= 1) return 0;
  unsigned members = kep::sys::GroupMembers(group);
  if (members == 0) return 0;
  uint32_t killDelay = KepGetKillDelay();
  Log_Msg(LOG_MSG_INFO, 1, kKepStartAppUnit, "%s(): %u process(es) left in the group %i of %s: %s.",
          kFn, members, static_cast<int>(group), app.name.c_str(), "SIGTERM");
  kep::sys::Kill(-group, SIGTERM);
  members = KepWaitForGroup(group, killDelay, control.tick);
  if (members == 0) return 0;
  Log_Msg(LOG_MSG_INFO, 1, kKepStartAppUnit, "%s(): %u process(es) left in the group %i of %s: %s.",
          kFn, members, static_cast<int>(group), app.name.c_str(), "SIGKILL");
  kep::sys::Kill(-group, SIGKILL);
  members = KepWaitForGroup(group, killDelay, control.tick);
  if (members != 0) {
    Log_Msg(LOG_MSG_WARNING, 0, kKepStartAppUnit,
            "%s(): %u process(es) left in the group %i of %s: given up.", kFn, members,
            static_cast<int>(group), app.name.c_str());
  }
  return static_cast<int>(members);
}
