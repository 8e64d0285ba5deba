// The handlers of the supervisor states. Each runs with SIGCHLD blocked and
// returns the next state, or None to stay.
#include "ZelKepLib.h"
#include "ZelLog.h"
#include "kep_main.h"
#include "kep_start_app.h"

namespace {

// Start levels run from 0 to 100; no record is on this one.
constexpr uint32_t kKepNoStartLevel = 101;

bool IsStopAction(uint32_t deathAction) {
  return deathAction == KEP_DEATH_ACTION_RESET || deathAction == KEP_DEATH_ACTION_REBOOT ||
         deathAction == KEP_DEATH_ACTION_HALT;
}

// The first enabled record that has died with a reset, reboot or halt action;
// null when there is none.
KepApp *FirstStoppingDeath(KepAppList &list) {
  for (KepApp &app : list) {
    if (app.disabled == 0 && app.state == KEP_APP_STATE_REAPED && IsStopAction(app.deathAction)) {
      return &app;
    }
  }
  return nullptr;
}

// The lowest level that still has an application to start or to wait for.
uint32_t CurrentStartLevel(const KepAppList &list) {
  uint32_t level = kKepNoStartLevel;
  for (const KepApp &app : list) {
    if (app.disabled != 0) continue;
    if (app.state != KEP_APP_STATE_START_PENDING && app.state != KEP_APP_STATE_INITIALIZING)
      continue;
    if (app.startLevel < level) level = app.startLevel;
  }
  return level;
}

void StartApp(KepApp *app, const char *fn) {
  app->pid = 0;
  app->signalNum = 0;
  app->exitStatus = 0;
  app->sigtermCount = 0;
  app->childExited = 0;
  app->sigkillSent = 0;
  app->sigtermTime = {0, 0};
  app->sigkillTime = {0, 0};
  app->execTime = {0, 0};
  app->run.wdWatchFrom = {0, 0};
  if (KepStartOneApp(app, kepAppControl) != 0) {
    app->state = KEP_APP_STATE_START_FAILED;
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): KepStartOneApp(%s) failed.", fn,
            app->name.c_str());
    return;
  }
  KepGetUptime(&app->execTime);
  app->state = app->initFile && KepGetInitSyncTime() != 0 ? KEP_APP_STATE_INITIALIZING
                                                          : KEP_APP_STATE_RUNNING;
}

// Stop-all step shared by StartingApps and Running.
uint32_t StopAllApps(KepAppList *list, const char *fn) {
  KepControlAbandon();
  if (KepStopAllApps(list, kepAppControl) == 0) return KEP_STATE_STOPPING_APPS;
  Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): KepStopAllApps() failed.", fn);
  return KEP_STATE_NONE;
}

uint32_t StartingAppsStopAll(KepAppList *list) {
  static const char *const fn = "KepStartingAppsState";
  Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): stopping all apps...", fn);
  return StopAllApps(list, fn);
}

bool StartingAppsComplete(const KepAppList &list) {
  for (const KepApp &app : list) {
    if (app.disabled != 0) continue;
    bool done = app.state == KEP_APP_STATE_RUNNING || app.state == KEP_APP_STATE_START_FAILED ||
                app.state == KEP_APP_STATE_HELD ||
                (app.state == KEP_APP_STATE_REAPED && app.deathAction == KEP_DEATH_ACTION_NONE);
    if (!done) return false;
  }
  return true;
}

uint32_t StartingAppsShutdown(KepAppList *list) {
  static const char *const fn = "KepStartingAppsState";
  Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): Shutdown requested during start app state.", fn);
  KepSetStopReason(KEP_STOP_REASON_HALT, nullptr, fn, __LINE__);
  return StartingAppsStopAll(list);
}

}  // namespace

uint32_t KepInitializingState() {
  KepSetAppsStartPending(&KepGetAppList());
  return KEP_STATE_STARTING_APPS;
}

uint32_t KepStartingAppsState() {
  static const char *const fn = "KepStartingAppsState";
  KepAppList &list = KepGetAppList();
  if (shutdownRequested != 0) return StartingAppsShutdown(&list);

  uint32_t level = CurrentStartLevel(list);
  for (KepApp &app : list) {
    if (app.disabled != 0) continue;
    if (app.state == KEP_APP_STATE_REAPED && IsStopAction(app.deathAction)) {
      const char *format =
          app.deathAction == KEP_DEATH_ACTION_RESET    ? "%s(): KEP_DEATH_ACTION_RESET (%s)"
          : app.deathAction == KEP_DEATH_ACTION_REBOOT ? "%s(): KEP_DEATH_ACTION_REBOOT (%s)"
                                                       : "%s(): KEP_DEATH_ACTION_HALT (%s)";
      Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, format, fn, app.name.c_str());
      KepSetStopReason(KepStopReasonForAction(app.deathAction), app.name.c_str(), fn, __LINE__);
      return StartingAppsStopAll(&list);
    }
    if (app.startLevel != level) continue;
    if (app.state == KEP_APP_STATE_START_PENDING) {
      StartApp(&app, fn);
      // A shutdown ends the start wait under way and starts nothing more.
      if (shutdownRequested != 0) return StartingAppsShutdown(&list);
    } else if (app.state == KEP_APP_STATE_INITIALIZING) {
      // No time limit: the level waits until the init file names this child or
      // the child dies.
      const char *initFile = app.initFile ? app.initFile->c_str() : nullptr;
      if (KepReadSyncFile(initFile, app.pid, nullptr) == 0) app.state = KEP_APP_STATE_RUNNING;
    }
  }

  if (KepCheckForBadApp(&list, fn, __LINE__) == 1) return StartingAppsStopAll(&list);
  if (list.empty()) return KEP_STATE_RUNNING;

  bool restarted = false;
  for (KepApp &app : list) {
    if (app.state != KEP_APP_STATE_REAPED || app.deathAction != KEP_DEATH_ACTION_RESTART) continue;
    if (app.disabled == 0) {
      app.state = KEP_APP_STATE_START_PENDING;
      restarted = true;
    }
    app.pid = 0;
    app.signalNum = 0;
    app.exitStatus = 0;
  }
  // The restarted records are started by the next passes, in level order.
  if (restarted) return KEP_STATE_NONE;
  return StartingAppsComplete(list) ? KEP_STATE_RUNNING : KEP_STATE_NONE;
}

uint32_t KepRunningState() {
  static const char *const fn = "KepRunningState";
  KepAppList &list = KepGetAppList();
  if (shutdownRequested != 0) {
    KepSetStopReason(KEP_STOP_REASON_HALT, nullptr, fn, __LINE__);
    return StopAllApps(&list, fn);
  }
  if (KepApp *dead = FirstStoppingDeath(list)) {
    KepSetStopReason(KepStopReasonForAction(dead->deathAction), dead->name.c_str(), fn, __LINE__);
    return StopAllApps(&list, fn);
  }
  if (KepCheckForBadApp(&list, fn, __LINE__) == 1) return StopAllApps(&list, fn);

  uint32_t result = KEP_STATE_NONE;
  bool anyAlive = false;
  for (KepApp &app : list) {
    if (app.disabled != 0) continue;
    if (app.state == KEP_APP_STATE_REAPED && app.deathAction == KEP_DEATH_ACTION_RESTART) {
      app.state = KEP_APP_STATE_START_PENDING;
      app.signalNum = 0;
      app.pid = 0;
      app.exitStatus = 0;
      result = KEP_STATE_STARTING_APPS;
    }
  }
  if (result == KEP_STATE_NONE) {
    for (const KepApp &app : list) {
      if (app.disabled == 0 &&
          (app.state == KEP_APP_STATE_RUNNING || app.state == KEP_APP_STATE_KILLED)) {
        anyAlive = true;
      }
    }
  }

  // A shutdown that arrived during this pass with nothing left to stop ends
  // the supervisor at once.
  if (shutdownRequested != 0 && result == KEP_STATE_NONE && !anyAlive) return KEP_STATE_EXITING;
  int status = KepWdCheck(&list);
  if (status != 0)
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): KepWdCheck() failed (%i).", fn, status);
  return result;
}

uint32_t KepStoppingAppsState() {
  KepAppList &list = KepGetAppList();
  for (const KepApp &app : list) {
    if (app.disabled != 0) continue;
    if (app.state != KEP_APP_STATE_REAPED && app.state != KEP_APP_STATE_START_PENDING &&
        app.state != KEP_APP_STATE_START_FAILED && app.state != KEP_APP_STATE_HELD) {
      return KEP_STATE_NONE;  // the stop is still under way
    }
  }
  // Every application starts the next run with an empty death history.
  for (KepApp &app : list) app.deathTimeList.clear();

  switch (stopReason) {
    case KEP_STOP_REASON_RESET:
      KepSetAppsStartPending(&list);
      return KEP_STATE_STARTING_APPS;
    case KEP_STOP_REASON_REBOOT:
      rebootRequested = 1;
      return KEP_STATE_EXITING;
    default:
      return KEP_STATE_EXITING;
  }
}
