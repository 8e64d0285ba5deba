// TODO: not built yet.
#include "kep_main.h"

int DaemonizeProcess() { return KEP_ERR_FORK; }
int KepCreateDirectories() { return 0; }
int KepMkdirDashP(const char *) { return KEP_ERR_INVALID_ARG; }
void ExtLogFn(int, int, const char *, const char *) {}
int RequestReboot() { return KEP_ERR_NO_REBOOT_CMD; }
