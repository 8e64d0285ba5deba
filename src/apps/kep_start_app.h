// Starting and stopping applications. Log unit "KepStartApp".
#pragma once

#include <signal.h>
#include <sys/types.h>

#include "kep_config.h"

inline constexpr const char *kKepStartAppUnit = "KepStartApp";

// Finds the application on PATH, removes its stale synchronisation files, forks
// and executes it with its own argument and environment vectors, books the
// child in the record (Running, pid, startCount + 1) and waits up to
// startSyncTime seconds for its start file. 0 when the child was created, 1001
// when no executable was found (record unchanged), 1002 when fork failed
// (state Exited). Called by the StartingApps handler with SIGCHLD blocked.
int KepStartOneApp(KepApp *app);

// Signals whose handling kep has changed besides SIGTERM, SIGINT and SIGCHLD
// (filled by the front end's installers). The child of a start sets each back to
// its default before execve: an ignored one would stay ignored in the
// application.
extern sigset_t kepChangedSignals;

// Sleeps the whole time, however many signals arrive meanwhile (each would cut
// a plain sleep short). Every wait of a start or a stop uses it; only the
// state machine's own sleep may end early.
void KepPause(unsigned long long microseconds);

// Polls KepReadSyncFile every 10 ms, timeoutSeconds * 100 times. 0 when the
// file reports pid, 1000 for a null file, 1036 on time-out.
int KepWaitForSyncFile(const char *file, pid_t pid, unsigned int timeoutSeconds);

// Sends SIGTERM or SIGKILL to the application and books it (Killed,
// sigtermCount/sigtermTime or sigkillSent/sigkillTime); after SIGTERM waits up
// to stopSyncTime for the stop file. 0 when delivered (or already gone), 1000
// for another signal, 1003 when kill failed.
int KepStopOneApp(KepApp *app, int signal);

// SIGTERM to every Running or Initializing record, last configured first, with
// a 3-second pause after each. The status of the last stop made, 0 if none.
int KepStopAllApps(KepAppList *list);

// Configured, Start_Pending, Start_Failed, Exited and Reaped records become
// Start_Pending (disabled ones too). Returns 0.
int KepSetAppsStartPending(KepAppList *list);

// What a start or a stop is blocked on, for kep's status file: KepStartOneApp
// and KepStopOneApp set the record's syncWait before they wait for a
// synchronisation file and clear it afterwards, and KepStopAllApps clears it
// before each pause; every call runs kepSyncWaitHook when it is set.
extern void (*kepSyncWaitHook)();
void KepSetSyncWait(KepApp *app, uint8_t wait);
