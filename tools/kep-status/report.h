// kep-status: reads the status file that kep keeps (format in docs/files.md)
// and shows what runs, since when, how often it started and how it last ended.
#pragma once

#include <stdio.h>
#include <sys/time.h>

#include <string>
#include <vector>

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

// What one application shows, as the table and the key=value lines need it.
struct KepStatusView {
  const KepStatusApp *app;
  long long up = -1, exitAgo = -1, wdAge = -1, heldAgo = -1;  // -1: not known
  int wdStatus = 0;  // KepWatchdogFileTime's, when it failed
  std::string lastExit, notes;
};

// What app shows; runs: its kep runs; root: the folder its watchdog file is
// read under (a sandbox's state folder, or empty).
KepStatusView KepMakeView(const KepStatusApp &app, bool runs, const std::string &root);
// Whole seconds from at to now, on the boot clock.
long long KepSecondsSince(const struct timeval &at);
// Everything the report shows.
struct KepStatusReport {
  const KepStatusData *data = nullptr;
  std::vector<KepStatusView> views;  // of the applications picked
  bool runs = false;                 // the kep that wrote the file runs
  bool sameBoot = false;             // the file is of this boot
  long long fileAge = -1;            // seconds; -1: not known
  const char *path = nullptr;        // of the status file
  bool hwWatchdog = false;           // kep feeds the hardware watchdog hw shows
  KepHwWatchdogShown hw;
};

// The key=value lines and the table of -k and without it.
void KepPrintKeys(FILE *out, const KepStatusReport &report);
void KepPrintTable(FILE *out, const KepStatusReport &report);
