// The death monitor: an application that keeps dying and being restarted is
// stopped for good by a reset, reboot or halt of everything.
#include "ZelKepLib.h"
#include "ZelLog.h"
#include "kep_main.h"

namespace {

// Drops the deaths that have left the window; unsigned arithmetic, so an
// entry from the "future" (now < t) goes too.
void PruneDeathTimes(std::list<uint32_t> *deaths, uint32_t now, uint32_t period) {
  deaths->remove_if([now, period](uint32_t t) { return now < t || now > t + period; });
}

}  // namespace

int KepCheckForBadApp(KepAppList *list, const char *callerName, int callerLine) {
  if (KepGetDeathMonitorAction() == KEP_DEATH_ACTION_NOT_SET || list == nullptr) return 0;
  for (KepApp &app : *list) {
    if (app.disabled != 0 || app.state != KEP_APP_STATE_REAPED ||
        app.deathAction != KEP_DEATH_ACTION_RESTART) {
      continue;
    }
    uint32_t action = KepDeathMonAppDeath(&app);
    uint32_t reason = KepStopReasonForAction(action);
    if (reason == KEP_STOP_REASON_NONE) continue;
    Log_Msg(LOG_MSG_INFO, 0, kKepMainUnit, "%s(): stopping, app: %s, reason: %s.",
            "KepCheckForBadApp", app.name.c_str(), KepDeathActionName(action));
    KepSetStopReason(reason, app.name.c_str(), callerName, callerLine);
    return 1;
  }
  return 0;
}

uint32_t KepDeathMonAppDeath(KepApp *app) {
  static const char *const fn = "KepDeathMonAppDeath";
  if (app == nullptr || app->deathAction != KEP_DEATH_ACTION_RESTART ||
      app->state != KEP_APP_STATE_REAPED) {
    return KEP_DEATH_ACTION_NONE;
  }
  uint32_t globalAction = KepGetDeathMonitorAction();
  if (globalAction == KEP_DEATH_ACTION_NOT_SET) return KEP_DEATH_ACTION_NONE;
  uint32_t action =
      app->deathMonitorAction != KEP_DEATH_ACTION_NOT_SET ? app->deathMonitorAction : globalAction;

  struct timeval uptime = {0, 0};
  KepGetUptime(&uptime);
  uint32_t now = static_cast<uint32_t>(uptime.tv_sec);
  PruneDeathTimes(&app->deathTimeList, now, KepGetDeathMonitorPeriod());
  try {
    app->deathTimeList.push_back(now);
  } catch (...) {
    // Out of memory: this death goes uncounted; the application is restarted.
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): out of memory, app: %s.", fn, app->name.c_str());
    return KEP_DEATH_ACTION_NONE;
  }

  size_t deaths = app->deathTimeList.size();
  Log_Msg(LOG_MSG_WARNING, 0, kKepMainUnit, "%s(): app: %s new death time: %u, deathMonCount: %i.",
          fn, app->name.c_str(), now, static_cast<int>(deaths));
  if (deaths < KepGetDeathMonitorMaxDeath()) return KEP_DEATH_ACTION_NONE;
  // snmpd never stops the device: it is restarted however often it dies.
  if (app->name == "snmpd") action = KEP_DEATH_ACTION_NONE;
  Log_Msg(LOG_MSG_WARNING, 0, kKepMainUnit, "%s(): app: %s caused deathMon action: %s.", fn,
          app->name.c_str(), KepDeathActionName(action));
  return action;
}
