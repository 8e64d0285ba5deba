// TODO: not built yet.
#include "kep_start_app.h"

int KepStopOneApp(KepApp *, int) { return KEP_ERR_KILL; }
int KepStopAllApps(KepAppList *) { return KEP_OK; }
int KepSetAppsStartPending(KepAppList *) { return KEP_OK; }
