/* An application written in C, built against the installed tree with pkg-config: it calls
 * each platform library once and reads back what it wrote.
 *   link_test FOLDER   (the log libraries write under FOLDER through ZEL_LOG_ROOT) */
#include <ZelKepLib.h>
#include <ZelLog.h>
#include <ZelPathfind.h>
#include <dlog.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static int failures = 0;

static void check(int ok, const char *what) {
  if (!ok) {
    printf("FAIL: %s\n", what);
    failures++;
  }
}

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  char wd[512], start[512];
  snprintf(wd, sizeof wd, "%s/app-wd", argv[1]);
  snprintf(start, sizeof start, "%s/app-start", argv[1]);

  uint32_t count = 0;
  struct timeval age;
  check(KepFeedWatchdogFile(wd, getpid()) == 0, "KepFeedWatchdogFile");
  check(KepWatchdogFileTime(wd, getpid(), &age, NULL, NULL, &count) == 0 && count == 1,
        "KepWatchdogFileTime reads one feed");
  check(setenv("KEP_START_FILE", start, 1) == 0 && KepNotifyStarted() == 0, "KepNotifyStarted");
  check(KepReadSyncFile(start, getpid(), NULL) == 0, "KepReadSyncFile");

  char *sh = ZelPathfind("/nowhere:/bin:/usr/bin", "sh", "x");
  check(sh != NULL, "ZelPathfind finds sh");
  free(sh);

  check(Log_WriteOpen("link_test", 0, 0, 0) == 0, "Log_WriteOpen");
  Log_Msg(LOG_MSG_ERROR, 0, "link_test", "logged from C, %d", 42);
  check(Log_WriteClose() == 0, "Log_WriteClose");
  __dlog_printf(5, "link_test", "%s", "debug log from C");

  if (failures == 0) printf("C program: every platform library answered\n");
  return failures == 0 ? 0 : 1;
}
