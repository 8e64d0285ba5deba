// The run sequence between start-up and shut-down: the supervisor prepared,
// the state machine, the list released and the reboot decision.
#include "ZelLog.h"
#include "kep_main.h"
#include "sync_cleanup.h"

KepAppControl kepAppControl = [] {
  KepAppControl control;
  control.cancelStart = &shutdownRequested;
  control.changed = KepStatusWaitChanged;
  return control;
}();

namespace {

void DumpConfiguration() {
  KepLogSettings();
  KepLogGlobalEnv();
  KepLogAppData(1, verbose ? 1 : 0);
}

}  // namespace

void KepRunSequence() {
  KepPrepareSupervisor();
  KepStopLeftovers();
  KepUpdateStatusFile(1);

  Log_Msg(LOG_MSG_INFO, 0, kKepMainUnit, "%s(): starting state machine.", "main");
  KepStateMachine();
  Log_Msg(LOG_MSG_INFO, 0, kKepMainUnit, "%s(): returned from state machine.", "main");
  KepUpdateStatusFile(1);

  KepFinishSupervisor();
}

void KepPrepareSupervisor() {
  if (KepRmAllFilesInDir(kepSyncFilesDir) != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): KepRmAllFilesInDir(%s) failed.", "main",
            kepSyncFilesDir);
  }
  KepSetState(KEP_STATE_INITIALIZING, "main", __LINE__);

  if (runInBackground) {
    if (DaemonizeProcess() != 0) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): could not background %s.", "main",
              programName);
      return;
    }
    KepUpdateLockOwner();
  }
  if (SetSigChildHandler() != 0) return;
  if (SetSigTermHandler() != 0) return;
  // Its failures are logged; the signals it could not set keep their effect.
  SetSigStrayHandler(&kepAppControl.changedSignals);
  if (configFile == nullptr) return;

  if (KepReadConfig(configFile) != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): error parsing config file %s.", "main",
            configFile);
    KepSetState(KEP_STATE_EXITING, "main", __LINE__);
    return;
  }
  KepHwWatchdogStart();
  KepApplyRebootAppRule();
  DumpConfiguration();
  KepControlOpen();
}

void KepApplyRebootAppRule() {
  if (KepReadAppRebootFile(&rebootAppName, &rebootAppCount) == 0) return;
  Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): read reboot app (%s, %i).", "main",
          rebootAppName.c_str(), static_cast<int>(rebootAppCount));
  if (rebootAppCount < maxAppRebootCount) return;

  Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): disabling app (%s, %i).", "main",
          rebootAppName.c_str(), static_cast<int>(rebootAppCount));
  if (KepDisableApp(rebootAppName.c_str()) != 0) {
    Log_Msg(LOG_MSG_WARNING, 0, kKepMainUnit, "%s(): could not disable app %s.", "main",
            rebootAppName.c_str());
  }
  KepRemoveAppRebootFile();
}

void KepFinishSupervisor() {
  KepControlClose();
  // The SIGCHLD handler walks the list; it must not run while it is released.
  bool blocked = KepBlockSigChild() == 0;
  if (KepDeallocateAppList() != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): KepDeallocateAppList() failed.", "main");
  }
  if (blocked) KepUnblockSigChild();

  KepHwWatchdogEnd(KepDecideReboot());
}

bool KepDecideReboot() {
  if (!rebootRequested) return false;
  if (KepGetDisableReboot()) {
    Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): reboot disabled via configuration.", "main");
  } else if (disableRebootArg) {
    Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): reboot disabled via argument.", "main");
  } else {
    Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): reboot being requested.", "main");
    KepHwWatchdogFeed();
    if (RequestReboot() != 0) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): RequestReboot() failed.", "main");
    }
    return true;
  }
  return false;
}
