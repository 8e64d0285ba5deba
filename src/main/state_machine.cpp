// The supervisor loop and the supervisor state.
#include "ZelKepLib.h"
#include "ZelLog.h"
#include "kep_main.h"
#include "kep_sys.h"

const KepValueName KepStateNames[] = {
    {KEP_STATE_INVALID, "Invalid"},           {KEP_STATE_NONE, "None"},
    {KEP_STATE_INITIALIZING, "Initializing"}, {KEP_STATE_STARTING_APPS, "StartingApps"},
    {KEP_STATE_RUNNING, "Running"},           {KEP_STATE_STOPPING_APPS, "StoppingApps"},
    {KEP_STATE_EXITING, "Exiting"},           {0, nullptr},
};

uint32_t currentState = KEP_STATE_INVALID;
uint8_t rebootRequested = 0;
struct timeval runningSince = {0, 0};

namespace {

const char *StateName(uint32_t state) {
  return KepValueToName(KepStateNames, static_cast<int32_t>(state), 0);
}

uint32_t RunHandler(uint32_t state) {
  switch (state) {
    case KEP_STATE_INITIALIZING:
      return KepInitializingState();
    case KEP_STATE_STARTING_APPS:
      return KepStartingAppsState();
    case KEP_STATE_RUNNING:
      return KepRunningState();
    case KEP_STATE_STOPPING_APPS:
      return KepStoppingAppsState();
    default:
      return KEP_STATE_NONE;
  }
}

}  // namespace

uint32_t KepStateMachine() {
  static const char *const fn = "KepStateMachine";
  if (KepGetState() == KEP_STATE_EXITING) return KEP_STATE_EXITING;

  do {
    // The handlers walk and change the list: the SIGCHLD handler must not run
    // under them.
    bool blocked = KepBlockSigChild() == 0;
    if (!blocked) Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): KepBlockSigChild() failed.", fn);
    uint32_t state = KepGetState();
    uint32_t result = RunHandler(state);
    if (blocked && KepUnblockSigChild() != 0) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): KepUnblockSigChild() failed.", fn);
    }
    if (result != KEP_STATE_NONE && result != state) KepSetState(result, fn, __LINE__);
    // A kep that completes its passes is alive: the board's watchdog is fed.
    KepHwWatchdogFeed();

    // A signal (a child's exit above all) cuts the sleep short, so exits are
    // collected without waiting out the pass.
    kep::sys::USleep(stateMachineSleepUs);
    KepLogStraySignals();
    uint32_t exited = KepCheckChildAppStatus();
    if (exited != 0) {
      Log_Msg(LOG_MSG_INFO, 0, kKepMainUnit, "%s(): processes exited: %u", fn, exited);
    }
    KepUpdateStatusFile(0);
    // After the collection, and after the status file has booked the exits: a
    // stop that has ended shows before the next pass could act on the exit,
    // and a restart's start does not hide its stop's exit.
    if (KepControlPass()) KepUpdateStatusFile(0);
  } while (KepGetState() != KEP_STATE_EXITING);
  return KEP_STATE_EXITING;
}

uint32_t KepGetState() { return currentState; }

void KepSetState(uint32_t newState, const char *callerName, int callerLine) {
  if (newState == currentState) return;
  Log_Msg(LOG_MSG_INFO, 0, kKepMainUnit, "%s(): %s:%i => %s:%i (%s(), %i).", "KepSetState",
          StateName(currentState), static_cast<int>(currentState), StateName(newState),
          static_cast<int>(newState), callerName != nullptr ? callerName : "unknown_fn",
          callerLine);
  currentState = newState;
  if (newState == KEP_STATE_RUNNING) KepGetUptime(&runningSince);
  KepLogAppData(0, verbose != 0 ? 1 : 0);
}
