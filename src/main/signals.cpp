// TODO: not built yet.
#include "kep_main.h"

volatile sig_atomic_t shutdownRequested = 0;
void SigTermHandler(int, siginfo_t *, void *) { shutdownRequested = 1; }
int SetSigTermHandler() { return KEP_ERR_SIGACTION; }
int SetSigChildHandler() { return KEP_ERR_SIGACTION; }
int KepControlSigChild(int) { return KEP_ERR_SIGPROCMASK; }
int KepBlockSigChild() { return KEP_ERR_SIGPROCMASK; }
int KepUnblockSigChild() { return KEP_ERR_SIGPROCMASK; }
