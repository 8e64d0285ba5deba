// Fakes of the system-call seam and of the support library's clock and file
// readers: time moves only when the code under test sleeps through the seam.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kep::fake {

using PidInts = std::vector<std::pair<pid_t, int>>;

struct State {
  long long nowUs = 1000000000;  // uptime: 1000 s
  pid_t nextPid = 2000;
  int forkErrno = 0, killErrno = 0;  // non-zero: the call fails with it
  PidInts exits;                     // ended, not yet waited for: pid, status
  std::vector<pid_t> reaped;         // returned by waitpid
  PidInts signals;                   // every kill: pid, signal
  int misdirected = 0;               // kills of a pid (or group) that waitpid had returned
  // A child has ended and its SIGCHLD is pending: the handler runs at the first
  // kill or sleep that finds SIGCHLD unblocked, as the kernel could run it there.
  bool sigchldPending = false;
  unsigned long long signalEveryUs = 0;  // non-zero: a signal cuts every sleep after this
  std::vector<unsigned long long> sleptUs;
  std::function<void(unsigned long long)> onSleep;  // after each sleep, with its length
  int systemResult = 0, rebootResult = -1, rebootCalls = 0;
  std::map<std::string, pid_t> syncFiles;  // path -> the pid written in it
  // Live processes: pid -> start in clock ticks (forked children get one,
  // ending removes it). Process groups: live members, and how many of them
  // ignore SIGTERM (SIGKILL to the group ends them all).
  std::map<pid_t, unsigned long long> started;
  std::map<pid_t, unsigned> groups, stubborn;
  // The hardware watchdog's device: what its calls fail with, the timeout the
  // driver makes of the one asked for (0: as asked), whether it never stops;
  // what kep did with it, a word a call ("open", "timeout 30", "V", "close"),
  // and the times of the feeds.
  int deviceOpenErrno = 0, setTimeoutErrno = 0, keepaliveErrno = 0;
  int driverTimeout = 0;
  bool nowayout = false;
  std::vector<std::string> deviceCalls;
  std::vector<double> feeds;
  // path -> what KepWatchdogFileTime returns, and the age of the last feed; no
  // entry reads as 2 with errno ENOENT, a failure with errno EACCES.
  std::map<std::string, std::pair<int, long long>> watchdogs;
};

State &World();
void Reset();
double Now();                     // seconds
void End(pid_t pid, int status);  // the child ends (W_EXITCODE); its SIGCHLD is pending

}  // namespace kep::fake
