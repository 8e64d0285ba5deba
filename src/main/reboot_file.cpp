// TODO: not built yet.
#include "kep_main.h"

std::string rebootAppName;
uint32_t rebootAppCount = 0;
int KepWriteAppRebootFile(const std::string &, uint32_t) { return 0; }
int KepReadAppRebootFile(std::string *, uint32_t *) { return 0; }
int KepRemoveAppRebootFile() { return 0; }
