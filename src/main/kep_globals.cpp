// The front-end variables, defined apart from main() so the tests can link the
// supervisor core without the entry point.
#include "kep_main.h"

const char *programName = "kep";
const char *configFile = nullptr;
uint32_t logLevel = 30;
const char *rebootFilePath = kKepDefaultRebootFilePath;
uint8_t runInBackground = 0;
uint8_t disableRebootArg = 0;
uint8_t disableDlog = 0;
uint8_t verbose = 0;
uint8_t logWriteOpen = 0;
