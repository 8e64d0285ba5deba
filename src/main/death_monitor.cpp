// TODO: not built yet.
#include "kep_main.h"

int KepCheckForBadApp(KepAppList *, const char *, int) { return 0; }
uint32_t KepDeathMonAppDeath(KepApp *) { return KEP_DEATH_ACTION_NONE; }
