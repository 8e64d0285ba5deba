// Pieces of kep's front end that the tests reach on their own: the debug-log
// level mapping, the reboot request after its command search, and the steps of
// the run sequence. Log unit "KepMain".
#pragma once

// Syslog severity of the debug log for a Log_Msg level and notice flag: 1 error
// -> 3, 2 warning -> 4, 3 info -> 5 (notice) or 6, any other level -> 7.
int KepDlogLevel(int level, int notice);

// The reboot request once the reboot command has been searched: found is the
// full path of the command, or null when it was not found. Runs the command (at
// most 199 characters of it) through the shell; when it is missing or cannot be
// run, restarts the machine through reboot(2). 0 when the reboot was handed to
// the system, else 1044 (not found) or 1039 (the shell failed). Called by
// RequestReboot, which keeps ownership of found.
int KepRebootWithCommand(const char *found);

// Run sequence, steps before the state machine: empties the synchronisation
// files, sets Initializing, daemonizes with -b, installs the signal handlers,
// reads the configuration, applies the reboot-application rule and dumps the
// configuration. Every failure is logged and the sequence goes on.
void KepPrepareSupervisor();

// Reads the reboot-application file; logs what it names and, when the count
// has reached maxAppRebootCount, disables that application and removes the
// file. Called only after a successful configuration read.
void KepApplyRebootAppRule();

// Run sequence, steps after the state machine: releases the application list
// with SIGCHLD blocked and requests a reboot when the state machine asked for
// one and neither the configuration nor -r forbids it.
void KepFinishSupervisor();

// The reboot decision alone (only acts when rebootRequested is set).
void KepDecideReboot();
