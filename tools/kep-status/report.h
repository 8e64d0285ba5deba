// kep-status: reads the status file that kep keeps (format in docs/files.md)
// and shows what runs, since when, how often it started and how it last ended.
#pragma once

#include <stdio.h>

#include "status_format.h"

// The pid, as this process sees it, of the kep that wrote the file; 0 when
// that kep no longer runs. It is that kep when the boot and the start time
// match, so a reused pid does not count; kep in another pid namespace (a
// sandbox) is found by its innermost pid.
long KepStatusKepPid(const KepStatusData &data);

// The whole tool: argv as given to main; the report goes to out, problems to
// err. Exit status: 0 kep runs and every application is Running, 1 kep runs
// and one is not, 2 kep does not run or the file cannot be read, 64 bad usage.
int KepStatusMain(int argc, char **argv, FILE *out, FILE *err);
