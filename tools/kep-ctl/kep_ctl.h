// kep-ctl: asks the running kep to stop (and hold), start, restart or signal
// applications, through its control socket, and waits for its answers.
#pragma once

#include <stdio.h>

// The whole tool: argv as given to main; answers go to out, refusals and
// problems to err. Exit status: 0 every command done, 1 one was refused or
// failed, 2 kep does not run or does not answer, 64 bad usage.
int KepCtlMain(int argc, char **argv, FILE *out, FILE *err);
