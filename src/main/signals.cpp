// Signal handlers and the SIGCHLD mask around the state handlers.
#include <errno.h>
#include <signal.h>
#include <string.h>

#include "ZelLog.h"
#include "kep_main.h"
#include "kep_start_app.h"

volatile sig_atomic_t shutdownRequested = 0;

void SigTermHandler(int, siginfo_t *, void *) { shutdownRequested = 1; }

namespace {

// Stray signals received (written by the handler only) and how many of each
// the main flow has logged.
volatile sig_atomic_t strayReceived[NSIG];
volatile sig_atomic_t straySender[NSIG];
volatile sig_atomic_t strayAny = 0;
sig_atomic_t strayLogged[NSIG];

// Raised by the kernel for a fault of kep's own code: the process cannot go on.
bool KepIsFaultSignal(int signalNumber) {
  return signalNumber == SIGSEGV || signalNumber == SIGBUS || signalNumber == SIGFPE ||
         signalNumber == SIGILL || signalNumber == SIGTRAP || signalNumber == SIGSYS;
}

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

void SigStrayHandler(int signalNumber, siginfo_t *info, void *) {
  // A real fault comes from the kernel (si_code > 0): it must still end kep,
  // with a core, so that kep is restarted. The same signal sent with kill,
  // sigqueue or tgkill (si_code <= 0) is only counted. The signal is blocked
  // while this runs, so the one raised here is delivered, with its default
  // action, on return.
  if (info != nullptr && info->si_code > 0 && KepIsFaultSignal(signalNumber)) {
    struct sigaction fallback;
    memset(&fallback, 0, sizeof fallback);
    fallback.sa_handler = SIG_DFL;
    sigaction(signalNumber, &fallback, nullptr);
    raise(signalNumber);
    return;
  }
  if (signalNumber <= 0 || signalNumber >= NSIG) return;
  strayReceived[signalNumber] = strayReceived[signalNumber] + 1;
  straySender[signalNumber] = info != nullptr ? info->si_pid : 0;
  strayAny = 1;
}

int SetSigStrayHandler(sigset_t *changed) {
  static const char *const kFn = "SetSigStrayHandler";
  struct sigaction ignore;
  memset(&ignore, 0, sizeof ignore);
  sigemptyset(&ignore.sa_mask);
  ignore.sa_handler = SIG_IGN;
  struct sigaction stop = KepHandlerAction(SigTermHandler, SA_SIGINFO);
  struct sigaction stray = KepHandlerAction(SigStrayHandler, SA_SIGINFO);
  struct {
    int signalNumber;
    const struct sigaction *action;
  } table[] = {
      // The failing write reports EPIPE or EFBIG instead.
      {SIGPIPE, &ignore}, {SIGXFSZ, &ignore}, {SIGHUP, &stop},   {SIGQUIT, &stop},
      {SIGUSR1, &stray},  {SIGUSR2, &stray},  {SIGALRM, &stray}, {SIGVTALRM, &stray},
      {SIGPROF, &stray},  {SIGIO, &stray},    {SIGPWR, &stray},  {SIGSTKFLT, &stray},
      {SIGXCPU, &stray},  {SIGTRAP, &stray},  {SIGSYS, &stray},  {SIGSEGV, &stray},
      {SIGBUS, &stray},   {SIGFPE, &stray},   {SIGILL, &stray},  {SIGABRT, &stray},
  };
  int result = KEP_OK;
  auto install = [&](int signalNumber, const struct sigaction *action) {
    if (sigaction(signalNumber, action, nullptr) != 0) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): sigaction(%i) failed, errno = %i.", kFn,
              signalNumber, errno);
      result = KEP_ERR_SIGACTION;
      return;
    }
    sigaddset(changed, signalNumber);
  };
  for (const auto &entry : table) install(entry.signalNumber, entry.action);
  for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) {
    install(signalNumber, &stray);
  }
  return result;
}

void KepLogStraySignals() {
  if (strayAny == 0) return;
  strayAny = 0;
  for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
    sig_atomic_t received = strayReceived[signalNumber];
    if (received == strayLogged[signalNumber]) continue;
    Log_Msg(LOG_MSG_WARNING, 0, kKepMainUnit,
            "%s(): signal %i (%s) ignored, received %i time(s), the last from pid %i.",
            "KepLogStraySignals", signalNumber, strsignal(signalNumber),
            static_cast<int>(received - strayLogged[signalNumber]),
            static_cast<int>(straySender[signalNumber]));
    strayLogged[signalNumber] = received;
  }
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
