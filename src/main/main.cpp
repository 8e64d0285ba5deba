// TODO: not built yet.
#include <stdlib.h>

#include "kep_main.h"

void KepMain(int, char **) { exit(0); }
void KepRunSequence() {}
