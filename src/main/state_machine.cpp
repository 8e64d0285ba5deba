// TODO: not built yet.
#include "kep_main.h"

const KepValueName KepStateNames[] = {{0, nullptr}};
uint32_t currentState = KEP_STATE_INVALID;
uint8_t rebootRequested = 0;
uint32_t KepStateMachine() { return KEP_STATE_EXITING; }
uint32_t KepGetState() { return currentState; }
void KepSetState(uint32_t newState, const char *, int) { currentState = newState; }
uint32_t KepInitializingState() { return KEP_STATE_NONE; }
uint32_t KepStartingAppsState() { return KEP_STATE_NONE; }
uint32_t KepRunningState() { return KEP_STATE_NONE; }
uint32_t KepStoppingAppsState() { return KEP_STATE_NONE; }
