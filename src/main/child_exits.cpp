// TODO: not built yet.
#include "kep_main.h"

void SigChildHandler(int, siginfo_t *, void *) {}
uint32_t KepCheckChildAppStatus() { return 0; }
