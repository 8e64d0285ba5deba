// Why every application is being stopped, and the reset-to-reboot escalation.
#include "ZelLog.h"
#include "kep_main.h"

const KepValueName KepStopReasonNames[] = {
    {KEP_STOP_REASON_INVALID, "Invalid"}, {KEP_STOP_REASON_NONE, "None"},
    {KEP_STOP_REASON_RESET, "Reset"},     {KEP_STOP_REASON_REBOOT, "Reboot"},
    {KEP_STOP_REASON_HALT, "Halt"},       {0, nullptr},
};

uint32_t stopReason = KEP_STOP_REASON_INVALID;
std::string resetAppName;
uint32_t resetAppCount = 0;
std::string stopReasonApp;

namespace {

constexpr const char *kFn = "KepSetStopReason";

// Follows the run of resets that one application causes in a row.
void TrackResetRun(const char *appName) {
  if (appName == nullptr) {
    resetAppName.clear();
    resetAppCount = 0;
  } else if (resetAppName != appName) {
    try {
      resetAppName = appName;
    } catch (...) {
      // Without the name the run cannot be followed; start none.
      resetAppName.clear();
      resetAppCount = 0;
      return;
    }
    resetAppCount = 1;
  } else {
    ++resetAppCount;
  }
}

}  // namespace

uint32_t KepStopReasonForAction(uint32_t deathAction) {
  switch (deathAction) {
    case KEP_DEATH_ACTION_RESET:
      return KEP_STOP_REASON_RESET;
    case KEP_DEATH_ACTION_REBOOT:
      return KEP_STOP_REASON_REBOOT;
    case KEP_DEATH_ACTION_HALT:
      return KEP_STOP_REASON_HALT;
    default:
      return KEP_STOP_REASON_NONE;
  }
}

void KepSetStopReason(uint32_t reason, const char *appName, const char *callerName,
                      int callerLine) {
  const char *shownApp = appName != nullptr ? appName : "NULL";
  const char *shownCaller = callerName != nullptr ? callerName : "fn_not_specified";

  if (reason == KEP_STOP_REASON_RESET && KepGetDisableReset() != 0) {
    Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): reset disabled via configuration.", kFn);
    reason = KEP_STOP_REASON_HALT;
  }

  if (KepGetDeathMonitorAction() != KEP_DEATH_ACTION_NOT_SET && reason == KEP_STOP_REASON_RESET) {
    TrackResetRun(appName);
    Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): %s, %s, %i.", kFn, shownApp, resetAppName.c_str(),
            static_cast<int>(resetAppCount));
    if (resetAppCount >= maxAppResetCount) {
      Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): RESET -> REBOOT, app: %s.", kFn,
              resetAppName.c_str());
      reason = KEP_STOP_REASON_REBOOT;
    }
  }

  Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): set stop reason to %i [%s], app: %s, (%s(), %i).",
          kFn, static_cast<int>(reason),
          KepValueToName(KepStopReasonNames, static_cast<int32_t>(reason), 0), shownApp,
          shownCaller, callerLine);
  stopReason = reason;
  try {
    stopReasonApp = appName != nullptr ? appName : "";
  } catch (...) {
    stopReasonApp.clear();  // only the status file shows it
  }

  // The file survives only a reboot that it records; every other stop ends the
  // run of recorded reboots.
  if (reason == KEP_STOP_REASON_REBOOT && appName != nullptr && resetAppCount != 0 &&
      !resetAppName.empty()) {
    ++rebootAppCount;
    if (KepWriteAppRebootFile(resetAppName, rebootAppCount) == 1) {
      Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): wrote reboot app (%s, %i).", kFn,
              resetAppName.c_str(), static_cast<int>(rebootAppCount));
    } else {
      Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): write reboot app (%s, %i) failed.", kFn,
              resetAppName.c_str(), static_cast<int>(rebootAppCount));
    }
  } else {
    KepRemoveAppRebootFile();
  }
}
