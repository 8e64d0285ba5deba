// TODO: not built yet.
#include "kep_main.h"

int KepWdCheck(KepAppList *) { return 0; }
