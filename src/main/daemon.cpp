// Moving kep into the background for -b.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ZelLog.h"
#include "kep_main.h"
#include "kep_sys.h"

int DaemonizeProcess() {
  if (kep::sys::GetParentPid() == 1) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "Process is already daemon.");
    return KEP_ERR_ALREADY_DAEMON;
  }
  if (logWriteOpen) {
    if (Log_WriteClose() == 0) {
      logWriteOpen = 0;
    } else {
      fprintf(stderr, "%s(): Log_WriteClose() failed.\n", __func__);
    }
  }
  // Unwritten buffers would otherwise be written twice, once by each process.
  fflush(nullptr);

  pid_t pid = kep::sys::Fork();
  if (pid < 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): fork() failed, errno = %i.", __func__, errno);
    return KEP_ERR_FORK;
  }
  if (pid > 0) {
    if (getpgrp() != getpid() && setsid() < 0) {
      fprintf(stderr, "%s(): setsid() failed, errno = %i.\n", __func__, errno);
    }
    exit(0);
  }

  if (!logWriteOpen && programName != nullptr) {
    if (Log_WriteOpen(programName, 0, 100, 200) == 0) {
      logWriteOpen = 1;
      Log_Msg(LOG_MSG_INFO, 0, kKepMainUnit, "%s(): %s now running in background.", __func__,
              programName);
    } else {
      fprintf(stderr, "%s(): Log_WriteOpen(%s) failed.\n", __func__, programName);
    }
  }
  umask(022);
  if (setsid() < 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): setsid() failed, errno = %i.", __func__, errno);
    return KEP_ERR_SETSID;
  }
  return 0;
}
