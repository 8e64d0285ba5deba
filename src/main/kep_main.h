// kep's front end and supervisor core. Log unit "KepMain".
#pragma once

#include <signal.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>

#include "kep_config.h"
#include "kep_start_app.h"
#include "status_format.h"

inline constexpr const char *kKepMainUnit = "KepMain";

// ---- front-end variables (set before the run sequence starts) ----

extern const char *programName;
extern const char *configFile;      // null: no configuration is read
extern uint32_t logLevel;           // 30
extern const char *rebootFilePath;  // "/etc/kep/rebootApplicationData"
extern uint8_t runInBackground;
extern uint8_t disableRebootArg;
extern uint8_t disableDlog;
extern uint8_t verbose;
extern uint8_t logWriteOpen;

inline constexpr const char *kKepDefaultRebootFilePath = "/etc/kep/rebootApplicationData";
inline constexpr const char *kKepLockFilePath = "/run/kep/lock";
// Exit status of a kep that found another one running.
inline constexpr int kKepExitAlreadyRunning = 3;

// The whole program: start-up, run sequence, shut-down. Ends the process with
// exit(); never returns.
[[noreturn]] void KepMain(int argc, char **argv);
// The run sequence between start-up and shut-down.
void KepRunSequence();

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
// The reboot decision alone (only acts when rebootRequested is set); true
// when the reboot was asked of the system.
bool KepDecideReboot();

// What starts and stops are given by the supervisor: the signals the front end
// changed, the shutdown that ends a start wait, the status file told of each
// new child and wait.
extern KepAppControl kepAppControl;

// ---- supervisor state machine ----

enum KepState : uint32_t {
  KEP_STATE_INVALID = 0,
  KEP_STATE_NONE = 1,
  KEP_STATE_INITIALIZING = 2,
  KEP_STATE_STARTING_APPS = 3,
  KEP_STATE_RUNNING = 4,
  KEP_STATE_STOPPING_APPS = 5,
  KEP_STATE_EXITING = 9,
};
extern const KepValueName KepStateNames[];

extern uint32_t currentState;
extern uint8_t rebootRequested;
// Uptime at which the supervisor last entered Running (0.0 before).
extern struct timeval runningSince;
inline constexpr uint32_t stateMachineSleepUs = 500000;

// The supervisor loop; returns Exiting. Called once by the run sequence.
uint32_t KepStateMachine();
uint32_t KepGetState();
// Logs and dumps the application list on a real change only.
void KepSetState(uint32_t newState, const char *callerName, int callerLine);
uint32_t KepInitializingState();
uint32_t KepStartingAppsState();
uint32_t KepRunningState();
uint32_t KepStoppingAppsState();

// ---- stop reason ----

enum KepStopReason : uint32_t {
  KEP_STOP_REASON_INVALID = 0,
  KEP_STOP_REASON_NONE = 1,
  KEP_STOP_REASON_RESET = 2,
  KEP_STOP_REASON_REBOOT = 3,
  KEP_STOP_REASON_HALT = 4,
};
extern const KepValueName KepStopReasonNames[];

extern uint32_t stopReason;
extern std::string resetAppName;
extern uint32_t resetAppCount;
// The application behind the last stop reason; empty when none. Shown in the
// status file only.
extern std::string stopReasonApp;
inline constexpr uint32_t maxAppResetCount = 3;

// The stop reason that a death action names: Reset, Reboot or Halt for reset,
// reboot and halt; None for every other action.
uint32_t KepStopReasonForAction(uint32_t deathAction);
void KepSetStopReason(uint32_t reason, const char *appName, const char *callerName, int callerLine);

// ---- reboot-application file ----

extern std::string rebootAppName;
extern uint32_t rebootAppCount;
inline constexpr uint32_t maxAppRebootCount = 3;

// 1 when the file at rebootFilePath was replaced (durably), else 0.
int KepWriteAppRebootFile(const std::string &name, uint32_t count);
// 1 when a name and a non-zero count were read, else 0 (name empty, count 0).
int KepReadAppRebootFile(std::string *name, uint32_t *count);
// 1 when the file is gone afterwards, 0 when removing it failed.
int KepRemoveAppRebootFile();

// ---- child exits, watchdog, death monitor ----

void SigChildHandler(int signalNumber, siginfo_t *info, void *context);
// Called once per pass with SIGCHLD unblocked; number of exits handled. The
// group of a process that kep stopped, or whose death action acts (restart,
// reset, reboot, halt), is emptied (KepStopGroup) once its exit is collected.
uint32_t KepCheckChildAppStatus();
// One step of a stop under way (a Killed record): SIGTERM again after
// killDelay, SIGKILL once sigtermCount passes killRetries, given up (Reaped)
// killDelay after SIGKILL.
void KepEscalateStop(KepApp &app, uint32_t killRetries, uint32_t killDelay,
                     const KepAppControl &control);
// Stops the applications that a kep of this boot left running (found in the
// status file it left) as any application is stopped, and their groups, before
// anything is started. Called once by the run sequence.
void KepStopLeftovers();
// Called by the Running handler with SIGCHLD blocked; 0 or the first error.
int KepWdCheck(KepAppList *list);
// 1 when it has set a stop reason, else 0.
int KepCheckForBadApp(KepAppList *list, const char *callerName, int callerLine);
uint32_t KepDeathMonAppDeath(KepApp *app);

// ---- signals ----

extern volatile sig_atomic_t shutdownRequested;
void SigTermHandler(int signalNumber, siginfo_t *info, void *context);
int SetSigTermHandler();
int SetSigChildHandler();
// Signals beyond SIGTERM, SIGINT and SIGCHLD that would otherwise end kep
// without the ordered stop: SIGPIPE and SIGXFSZ are ignored (the failing write
// reports its error); SIGHUP and SIGQUIT stop in order as SIGTERM does; SIGUSR1,
// SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGSTKFLT, SIGXCPU, the
// real-time signals, and SIGTRAP, SIGSYS, SIGSEGV, SIGBUS, SIGFPE, SIGILL and
// SIGABRT when sent by a process rather than raised by a fault, are counted by
// SigStrayHandler and logged by KepLogStraySignals. Each changed signal is
// added to *changed. 0 or 1040 (logged; the others are still set).
int SetSigStrayHandler(sigset_t *changed);
void SigStrayHandler(int signalNumber, siginfo_t *info, void *context);
// Logs the stray signals received since the last call, one line per signal.
// Called by the state machine once per pass (nothing to do costs no call).
void KepLogStraySignals();
int KepControlSigChild(int block);
int KepBlockSigChild();
int KepUnblockSigChild();

// ---- status file (read by kep-status) ----

// Where the status file goes; null (until KepEnableStatusFile) writes none, so
// that only kep itself writes the device's file.
extern const char *kepStatusFilePath;
// Sets the path (null: no file) and the start time shown, and makes the next
// update write. KepMain calls it once the directories exist.
void KepEnableStatusFile(const char *path);
// The path of the file called name beside the status file (in kep's run-time
// folder); empty without a status file.
std::string KepBesideStatusFile(const char *name);
// Notes what a start or a stop now waits for (KepAppControl::changed), and
// updates the status file.
void KepStatusWaitChanged(const KepApp &app, KepSyncWait wait);
// Books the last exit of every record that has become Reaped, then rewrites
// the status file when force is set or when anything it shows has changed
// since the last write; otherwise no system call at all. 1 when written, else
// 0; the first failure of a run is logged. Called by the run sequence (start,
// end), after each collection of exits and before a start or stop blocks.
int KepUpdateStatusFile(int force);

// ---- the process and the one kep of the device ----

// First thing at start: opens /dev/null on each of the descriptors 0 to 2 that
// is closed, and unblocks every signal the parent may have blocked.
void KepSanitizeProcess();
// Makes /run (when missing) and kep's run-time folder /run/kep, 0755, root's.
// false, reported on standard error, when the folder cannot be used.
bool KepCreateRunDir();
// Takes the instance lock (/run/kep/lock) for the rest of kep's life and
// writes kep's pid into it: 1. -1 when another process holds it (*owner: the
// pid written there, 0 when unknown); 0 when the lock cannot be had (logged;
// kep goes on without it).
int KepTakeInstanceLock(long *owner);
// Writes kep's pid into the lock file again (after the fork of -b).
void KepUpdateLockOwner();

// ---- the hardware watchdog (hwWatchdog) ----

// Opens the configured device, sets its timeout (logging what the driver made
// of it) and feeds it; a failure is logged once and kep supervises as before.
// Called once the configuration is read. Nothing happens without hwWatchdog:
// only with a watchdog to feed are the waits of starts and stops cut into
// steps (kepAppControl.tick).
void KepHwWatchdogStart();
// Feeds it (WDIOC_KEEPALIVE): once a pass of the state machine.
void KepHwWatchdogFeed();
// Feeds it when the last feed is half a second old: from within the waits of
// starts and stops (KepAppControl::tick).
void KepHwWatchdogTick();
// At kep's end: disarms it (the magic close) unless a reboot has been asked
// for, when it stays armed so that a reboot that never comes resets the board.
void KepHwWatchdogEnd(bool rebootAsked);

// ---- the control socket (kep-ctl) ----

// Makes the control socket beside the status file (a stale one is replaced),
// open to every user so that a refusal can be answered and logged; kep is told
// of a connection by SIGIO, which cuts the pass's sleep short. A failure is
// logged and kep supervises without it. Called once the configuration is read.
void KepControlOpen();
// Once a pass, after the collection of exits: takes a new command, moves the
// one under way on, answers it when it is done. Nothing, not even a system
// call, when no command is under way and nobody has connected. true when it
// did something.
bool KepControlPass();
// The stop of all begins: the command under way is answered as failed.
void KepControlAbandon();
// At kep's end: answers the command under way, closes and removes the socket.
void KepControlClose();
// How long kep-ctl waits by default for a command of any one application: a
// stop with every retry and stop-file wait, then a start with its start and
// init waits (shown in the status file).
long long KepControlWaitSeconds();

// ---- daemonizing, directories, log hook, reboot request ----

int DaemonizeProcess();
int KepCreateDirectories();
int KepMkdirDashP(const char *path);
void ExtLogFn(int level, int notice, const char *file, const char *text);
// Syslog severity of the debug log for a Log_Msg level and notice flag: 1 error
// -> 3, 2 warning -> 4, 3 info -> 5 (notice) or 6, any other level -> 7.
int KepDlogLevel(int level, int notice);
int RequestReboot();
// The reboot request once the reboot command has been searched: found is the
// full path of the command, or null when it was not found. Runs the command (at
// most 199 characters of it) through the shell; when it is missing or cannot be
// run, restarts the machine through reboot(2). 0 when the reboot was handed to
// the system, else 1044 (not found) or 1039 (the shell failed). Called by
// RequestReboot, which keeps ownership of found.
int KepRebootWithCommand(const char *found);
