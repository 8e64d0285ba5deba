// Fakes of the system-call seam and of the support library's clock and file
// readers, for simulated-time tests. Time only moves when a test advances it or
// the code under test sleeps through the seam.
#pragma once

#include <sys/time.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kep::fake {

struct SentSignal {
  pid_t pid;
  int signal;
  bool operator==(const SentSignal &other) const {
    return pid == other.pid && signal == other.signal;
  }
};

struct WatchdogReading {
  int status = 0;  // what KepWatchdogFileTime returns
  struct timeval age = {0, 0};
  struct timeval fedAt = {0, 0};
  struct timeval now = {0, 0};
  uint32_t count = 0;
};

struct State {
  struct timeval now = {1000, 0};  // uptime; starts at 1000 s
  pid_t nextPid = 2000;
  int forkResult = 0;             // 0: hand out nextPid; otherwise fork fails with this errno
  pid_t parentPid = 4000;         // what getppid() answers
  bool forkReturnsChild = false;  // fork returns 0, as it does in the new process
  std::vector<pid_t> forked;      // pids handed out, in order
  std::vector<pid_t> live;        // forked and not yet reaped
  std::vector<pid_t> reaped;      // returned by waitpid, in order
  std::vector<std::pair<pid_t, int>> exits;  // queued for waitpid: pid, status
  std::vector<SentSignal> signals;           // every kill, in order
  // Sent to a pid that waitpid had returned already: another process may have it.
  std::vector<SentSignal> misdirected;
  // An exit is queued and its SIGCHLD pending: the handler runs at the next kill
  // that finds SIGCHLD unblocked in the process mask, as the kernel could run it.
  bool sigchldPending = false;
  int killErrno = 0;                        // non-zero: kill fails with this errno
  std::vector<unsigned long long> sleptUs;  // every sleep through the seam
  // Non-zero: signals keep arriving, so a sleep ends after at most this many
  // microseconds with EINTR (NanoSleep gives the time left).
  unsigned long long signalEveryUs = 0;
  // Called after every sleep through the seam, once the clock has moved, with the
  // microseconds slept: what happens meanwhile (a child ends, a signal arrives).
  std::function<void(unsigned long long)> onSleep;
  std::vector<std::string> systemCalls;
  int systemResult = 0;
  int systemErrno = 0;  // errno left by a system() that returns -1
  int rebootCalls = 0;
  int rebootResult = -1;
  int rebootErrno = 1;
  int syncCalls = 0;
  // Synchronisation files: path -> pid written, and the uptime from which it shows.
  std::map<std::string, std::pair<pid_t, double>> syncFiles;
  std::map<std::string, WatchdogReading> watchdogs;  // missing: status 2
};

// The one fake world; Reset() before each test.
State &World();
void Reset();

double NowSeconds();
void Advance(double seconds);
void SetNow(time_t seconds, suseconds_t microseconds = 0);
// The child PID ends with the waitpid status STATUS (use W_EXITCODE / a signal
// number); the next SigChildHandler run reaps it.
void Exit(pid_t pid, int exitCode);
void KillBySignal(pid_t pid, int signal);
// PATH shows for PID from uptime NowSeconds() + after.
void WriteSyncFile(const std::string &path, pid_t pid, double after = 0);

}  // namespace kep::fake
