// TODO: not built yet.
#include "kep_util.h"

int KepRmFilesWithPrefix(const char *) { return -1; }
int KepRmAllFilesInDir(const char *) { return -1; }
