// What kep keeps of a record's current process beyond the fields the record
// describes it with. The reader leaves it as it is; only the supervisor
// writes it.
#pragma once

#include <stdint.h>
#include <sys/time.h>

struct KepAppRun {
  // Set by the SIGCHLD handler: the process behind pid has been waited for, so
  // pid may name another process by now. Cleared when a new child is booked.
  volatile uint8_t childReaped = 0;
  // The process's start in clock ticks after boot: it tells the process from
  // a later one with the same pid.
  unsigned long long procStart = 0;
  // The record stands for a process that an earlier kep left running, which
  // kep stops at start-up; it is no child of this kep.
  uint8_t leftover = 0;
  // The read end of the pipe that reports a failed execve, while the report
  // may still come (-1: none).
  int execReportFd = -1;
  // Since when kep times a watchdog that has not been fed yet (0.0: not yet).
  struct timeval wdWatchFrom = {0, 0};
  // The operator has asked for the process to be stopped and held: its end
  // leaves the record Held instead of Reaped.
  uint8_t holdAsked = 0;
  // Since when the record is Held (boot clock).
  struct timeval heldSince = {0, 0};
};
