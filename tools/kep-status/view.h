// kep-status: reads the status file that kep keeps (format in docs/files.md)
// and shows what runs, since when, how often it started and how it last ended.
#pragma once

#include <stdio.h>
#include <sys/time.h>
#include <time.h>

#include <string>
#include <vector>

struct KepStatusApp {
  std::string name;
  std::string state;  // kep's application-state name
  long pid = 0;
  bool disabled = false;
  unsigned long level = 0;
  struct timeval exec = {0, 0};  // boot-clock time of the current process's start
  unsigned long starts = 0;
  std::string exit;  // "none", "status:N", "signal:N" or "unknown"
  struct timeval exitAt = {0, 0};
  unsigned long deaths = 0;
  std::string wait;  // "none", "start", "init" or "stop"
  std::string wd;    // watchdog file; empty when none
};

struct KepStatusData {
  long pid = 0;
  unsigned long long start = 0;  // kep's start time in clock ticks since boot; 0: unknown
  std::string boot;              // boot id; empty: unknown
  struct timeval started = {0, 0}, written = {0, 0};
  std::string state, stop, stopApp, config;
  std::vector<KepStatusApp> apps;
};

// Reads the file at path, which must be a regular file of at most 4 MiB; it is
// opened without blocking, so a FIFO or a device cannot hang the tool. false,
// with *problem telling why, when it cannot be read.
bool KepReadStatusFile(const char *path, std::string *text, time_t *mtime, std::string *problem);

// Parses a whole status file. false, with *error telling what is wrong and on
// which line, when the text is not one complete status file.
bool KepParseStatus(const std::string &text, KepStatusData *data, std::string *error);

// The pid, as this process sees it, of the kep that wrote the file; 0 when
// that kep no longer runs. It is that kep when the boot and the start time
// match, so a reused pid does not count; kep in another pid namespace (a
// sandbox) is found by its innermost pid.
long KepStatusKepPid(const KepStatusData &data);

// The whole tool: argv as given to main; the report goes to out, problems to
// err. Exit status: 0 kep runs and every application is Running, 1 kep runs
// and one is not, 2 kep does not run or the file cannot be read, 64 bad usage.
int KepStatusMain(int argc, char **argv, FILE *out, FILE *err);
