// Signal handlers and the SIGCHLD mask around the state handlers.
#include <errno.h>
#include <signal.h>
#include <string.h>

#include "ZelLog.h"
#include "kep_main.h"

volatile sig_atomic_t shutdownRequested = 0;

void SigTermHandler(int, siginfo_t *, void *) { shutdownRequested = 1; }

namespace {

// No SA_RESTART: a signal must cut the state machine's sleep short.
struct sigaction KepHandlerAction(void (*handler)(int, siginfo_t *, void *), int flags) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_sigaction = handler;
  action.sa_flags = flags;
  return action;
}

}  // namespace

int SetSigTermHandler() {
  static const char *const kFn = "SetSigTermHandler";
  struct sigaction action = KepHandlerAction(SigTermHandler, SA_SIGINFO);
  int result = KEP_OK;
  if (sigaction(SIGTERM, &action, nullptr) != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): sigaction(SIGTERM) failed, errno = %i.", kFn,
            errno);
    result = KEP_ERR_SIGACTION;
  }
  if (sigaction(SIGINT, &action, nullptr) != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): sigaction(SIGINT) failed, errno = %i.", kFn,
            errno);
    result = KEP_ERR_SIGACTION;
  }
  return result;
}

int SetSigChildHandler() {
  struct sigaction action = KepHandlerAction(SigChildHandler, SA_SIGINFO | SA_NOCLDSTOP);
  if (sigaction(SIGCHLD, &action, nullptr) != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): sigaction() failed, errno = %i.",
            "SetSigChildHandler", errno);
    return KEP_ERR_SIGACTION;
  }
  return KEP_OK;
}

int KepControlSigChild(int block) {
  static const char *const kFn = "KepControlSigChild";
  int how = block != 0 ? SIG_BLOCK : SIG_UNBLOCK;
  sigset_t set;
  if (sigemptyset(&set) != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): sigemptyset() failed, errno = %i.", kFn, errno);
    return KEP_ERR_SIGEMPTYSET;
  }
  if (sigaddset(&set, SIGCHLD) != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): sigaddset() failed, errno = %i.", kFn, errno);
    return KEP_ERR_SIGADDSET;
  }
  if (sigprocmask(how, &set, nullptr) != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): sigprocmask() failed, errno = %i.", kFn, errno);
    return KEP_ERR_SIGPROCMASK;
  }
  return KEP_OK;
}

int KepBlockSigChild() {
  int status = KepControlSigChild(1);
  if (status != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): KepControlSigChild() failed (%i).",
            "KepBlockSigChild", status);
  }
  return status;
}

int KepUnblockSigChild() {
  int status = KepControlSigChild(0);
  if (status != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): KepControlSigChild() failed (%i).",
            "KepUnblockSigChild", status);
  }
  return status;
}
