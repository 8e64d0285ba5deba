// The application's own calls: the paths come from the environment that kep
// gives every application it starts.
#include <stdlib.h>
#include <unistd.h>

#include "ZelKepLib.h"

namespace {

int WriteFor(const char *variable, int (*writer)(const char *, pid_t)) {
  const char *path = getenv(variable);
  if (path == nullptr || *path == '\0') return 1;
  return writer(path, getpid()) == 0 ? 0 : -1;
}

}  // namespace

extern "C" int KepNotifyStarted(void) { return WriteFor("KEP_START_FILE", KepWriteSyncFile); }
extern "C" int KepNotifyInitialized(void) { return WriteFor("KEP_INIT_FILE", KepWriteSyncFile); }
extern "C" int KepNotifyStopped(void) { return WriteFor("KEP_STOP_FILE", KepWriteSyncFile); }
extern "C" int KepFeedWatchdog(void) { return WriteFor("KEP_WD_FILE", KepFeedWatchdogFile); }
