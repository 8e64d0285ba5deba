// TODO: not built yet.
#include "kep_start_app.h"

int KepStartOneApp(KepApp *) { return KEP_ERR_NOT_FOUND; }
int KepWaitForSyncFile(const char *, pid_t, unsigned int) { return KEP_ERR_SYNC_TIMEOUT; }
