// Collection of child exits: the SIGCHLD handler records, the per-pass check
// books the exit and drives the escalation of a stop under way.
#include <errno.h>
#include <signal.h>
#include <sys/wait.h>

#include "ZelKepLib.h"
#include "ZelLog.h"
#include "kep_main.h"
#include "kep_start_app.h"
#include "kep_sys.h"

namespace {

pid_t KepWaitNoHang(pid_t pid, int *status) {
  pid_t result;
  do {
    result = kep::sys::WaitPid(pid, status, WNOHANG);
  } while (result < 0 && errno == EINTR);
  return result;
}

// Runs inside the handler: no allocation, no logging; writes only the fields
// that the main flow reads after testing childExited, and childReaped.
void KepRecordStatus(KepApp &app, pid_t pid, int status) {
  app.run.childReaped = 1;
  if (WIFEXITED(status)) {
    app.exitStatus = WEXITSTATUS(status);
    app.childExited = 1;
  } else if (WIFSIGNALED(status)) {
    app.signalNum = WTERMSIG(status);
    int again = 0;
    if (KepWaitNoHang(pid, &again) < 0 && errno == ECHILD) {
      app.exitStatus = -1;
      app.childExited = 1;
    }
  } else {
    app.signalNum = 0;
    app.exitStatus = -1;
    app.childExited = 1;
  }
}

// Only a record whose child has not been reaped yet can own a pid that the
// wait returns: a record left Reaped (death action none) keeps the pid of its
// reaped child, which the kernel may have handed to a new one. A record given
// up after SIGKILL still owns its unreaped child, and gets its late exit.
bool KepHasLiveChild(const KepApp &app) { return app.run.childReaped == 0; }

bool KepIsActingDeath(uint32_t deathAction) {
  return deathAction == KEP_DEATH_ACTION_RESTART || deathAction == KEP_DEATH_ACTION_RESET ||
         deathAction == KEP_DEATH_ACTION_REBOOT || deathAction == KEP_DEATH_ACTION_HALT;
}

// Elapsed whole seconds since since, compared signed with the delay.
bool KepDelayPassed(const struct timeval &now, const struct timeval &since, uint32_t delay) {
  struct timeval elapsed = {0, 0};
  KepTvSub(&now, &since, &elapsed);
  return static_cast<long long>(elapsed.tv_sec) > static_cast<long long>(delay);
}

// An ended process leaves its record Reaped, or Held when the operator asked
// for it to be stopped and held (a late exit after a give-up changes nothing).
void KepBookEnd(KepApp &app) {
  if (app.run.holdAsked == 0) {
    app.state = KEP_APP_STATE_REAPED;
    return;
  }
  if (app.state != KEP_APP_STATE_HELD) KepGetUptime(&app.run.heldSince);
  app.state = KEP_APP_STATE_HELD;
}

}  // namespace

void SigChildHandler(int, siginfo_t *, void *) {
  int savedErrno = errno;
  for (;;) {
    int status = 0;
    pid_t pid = KepWaitNoHang(-1, &status);
    if (pid <= 0) break;
    for (KepApp &app : KepGetAppList()) {
      if (app.pid == pid && KepHasLiveChild(app)) {
        KepRecordStatus(app, pid, status);
        break;
      }
    }
  }
  errno = savedErrno;
}

void KepEscalateStop(KepApp &app, uint32_t killRetries, uint32_t killDelay,
                     const KepAppControl &control) {
  if (app.state != KEP_APP_STATE_KILLED) return;
  struct timeval now = {0, 0};
  KepGetUptime(&now);
  if (app.sigkillSent) {
    // Given up: whatever the child does now, the stop completes.
    if (KepDelayPassed(now, app.sigkillTime, killDelay)) {
      KepBookEnd(app);
      app.childExited = 0;
    }
  } else if (app.sigtermCount != 0 && KepDelayPassed(now, app.sigtermTime, killDelay)) {
    KepStopOneApp(&app, app.sigtermCount > killRetries ? SIGKILL : SIGTERM, control);
  }
}

uint32_t KepCheckChildAppStatus() {
  uint32_t killRetries = KepGetKillRetries();
  uint32_t killDelay = KepGetKillDelay();
  KepAppList &list = KepGetAppList();
  uint32_t count = 0;
  for (KepApp &app : list) {
    if (app.childExited) {
      KepCollectExecReport(&app);
      Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit,
              "%s(): %s (pid %i) *** EXITED *** exitStatus: %i, signalNum: %i, deathAction: %s "
              "(%u).",
              "KepCheckChildAppStatus", app.name.c_str(), static_cast<int>(app.pid),
              static_cast<int>(app.exitStatus), static_cast<int>(app.signalNum),
              KepDeathActionName(app.deathAction), app.deathAction);
      bool stopped = app.state == KEP_APP_STATE_KILLED;
      KepBookEnd(app);
      ++count;
      app.childExited = 0;
      // What kep stops, restarts or answers with a stop of all leaves nothing
      // behind; an application that ends by itself with nothing to follow
      // keeps what it started (a start script's background programs).
      if (stopped || KepIsActingDeath(app.deathAction)) KepStopGroup(app, kepAppControl);
      continue;
    }
    KepEscalateStop(app, killRetries, killDelay, kepAppControl);
  }
  return count;
}
