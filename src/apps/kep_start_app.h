// Starting and stopping applications. Log unit "KepStartApp".
#pragma once

#include <signal.h>
#include <sys/types.h>

#include "kep_config.h"

inline constexpr const char *kKepStartAppUnit = "KepStartApp";

// The synchronisation file that a start or a stop waits for.
enum KepSyncWait : uint8_t {
  KEP_SYNC_WAIT_NONE = 0,
  KEP_SYNC_WAIT_START = 1,
  KEP_SYNC_WAIT_STOP = 2,
};

// What starting and stopping need of the supervisor, passed down by their
// callers (the state handlers, the collection of exits, the watchdog check).
struct KepAppControl {
  // Signals whose handling the supervisor has changed besides SIGTERM, SIGINT
  // and SIGCHLD: the child of a start sets each back to its default before
  // execve (an ignored one would stay ignored in the application).
  sigset_t changedSignals;
  // Once set, a start's wait for its start file ends: a shutdown is asked for.
  const volatile sig_atomic_t *cancelStart = nullptr;
  // Told when a start has booked a new child (with KEP_SYNC_WAIT_NONE) and
  // when a start or a stop begins or ends a wait for a synchronisation file.
  void (*changed)(const KepApp &app, KepSyncWait wait) = nullptr;
  // Called at least every 10 ms of every wait and pause: kep is still alive.
  void (*tick)() = nullptr;

  KepAppControl() { sigemptyset(&changedSignals); }
};

// A control that asks nothing (tests, tools).
const KepAppControl &KepNoControl();

// Finds the application on PATH, looks up its user and group when configured,
// removes its stale synchronisation files, forks and executes it as its user
// with its own argument and environment vectors, books the child in the
// record (Running, pid, startCount + 1) and waits up to startSyncTime seconds
// for its start file. 0 when the child was created, 1001 when no executable
// was found and 1062 when its user or group cannot be resolved (record
// unchanged), 1002 when fork failed (state Exited). Called by the
// StartingApps handler with SIGCHLD blocked.
int KepStartOneApp(KepApp *app, const KepAppControl &control = KepNoControl());

// Logs the report of a failed execve that came after the start returned, and
// forgets the pipe. Called when the exit of the record's child is collected,
// and before its next start.
void KepCollectExecReport(KepApp *app);

// Sleeps the whole time, however many signals arrive meanwhile (each would cut
// a plain sleep short), calling tick (when given) at least every 10 ms. Every
// wait of a start or a stop uses it; only the state machine's own sleep may
// end early.
void KepSleepFully(unsigned long long microseconds, void (*tick)() = nullptr);

// Polls KepReadSyncFile every 10 ms, timeoutSeconds * 100 times. 0 when the
// file reports pid, 1000 for a null file, 1036 on time-out, or as soon as
// *cancel (when given) is set.
int KepWaitForSyncFile(const char *file, pid_t pid, unsigned int timeoutSeconds,
                       const volatile sig_atomic_t *cancel = nullptr, void (*tick)() = nullptr);

// Sends SIGTERM or SIGKILL to the application and books it (Killed,
// sigtermCount/sigtermTime or sigkillSent/sigkillTime); after SIGTERM waits up
// to stopSyncTime for the stop file. 0 when delivered (or already gone), 1000
// for another signal, 1003 when kill failed.
int KepStopOneApp(KepApp *app, int signal, const KepAppControl &control = KepNoControl());
// Sends signal to the record's process unless it is gone (*gone tells): no
// pid, or a child that has ended already. 0, or 1003 when kill failed.
int KepSignalUnlessGone(const KepApp &app, int signal, bool *gone);

// Once the record's own process has ended: what is left of its process group
// gets SIGTERM, and SIGKILL after killDelay if anything remains (each logged
// with the count), so that a stop leaves no helper of the application
// behind. Processes that left the group (setsid) are not looked for. Waits up
// to killDelay after each signal; returns how many members are left (0).
int KepStopGroup(const KepApp &app, const KepAppControl &control = KepNoControl());

// SIGTERM to every Running or Initializing record, last configured first, with
// a 3-second pause after each. The status of the last stop made, 0 if none.
int KepStopAllApps(KepAppList *list, const KepAppControl &control = KepNoControl());

// Configured, Start_Pending, Start_Failed, Exited and Reaped records become
// Start_Pending (disabled ones too). Returns 0.
int KepSetAppsStartPending(KepAppList *list);
