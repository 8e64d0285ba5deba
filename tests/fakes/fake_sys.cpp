#include <errno.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>

#include "fake.h"
#include "kep_main.h"
#include "kep_sys.h"

namespace kep::fake {

State &World() {
  static State state;
  return state;
}

void Reset() { World() = State{}; }

double NowSeconds() { return World().now.tv_sec + World().now.tv_usec / 1e6; }

void Advance(double seconds) {
  long long us = static_cast<long long>(seconds * 1e6 + 0.5);
  struct timeval step = {static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
  timeradd(&World().now, &step, &World().now);
}

void SetNow(time_t seconds, suseconds_t microseconds) { World().now = {seconds, microseconds}; }

void Exit(pid_t pid, int exitCode) { World().exits.push_back({pid, W_EXITCODE(exitCode, 0)}); }
void KillBySignal(pid_t pid, int signal) { World().exits.push_back({pid, W_EXITCODE(0, signal)}); }

void WriteSyncFile(const std::string &path, pid_t pid, double after) {
  World().syncFiles[path] = {pid, NowSeconds() + after};
}

}  // namespace kep::fake

namespace kep::sys {
using kep::fake::World;

pid_t Fork() {
  if (World().forkResult != 0) {
    errno = World().forkResult;
    return -1;
  }
  if (World().forkReturnsChild) return 0;
  pid_t pid = World().nextPid++;
  World().forked.push_back(pid);
  World().live.push_back(pid);
  return pid;
}

pid_t GetParentPid() { return World().parentPid; }

int Kill(pid_t pid, int sig) {
  sigset_t mask;
  if (World().sigchldPending && sigprocmask(SIG_BLOCK, nullptr, &mask) == 0 &&
      !sigismember(&mask, SIGCHLD)) {
    World().sigchldPending = false;
    SigChildHandler(SIGCHLD, nullptr, nullptr);
  }
  auto &reaped = World().reaped;
  if (std::find(reaped.begin(), reaped.end(), pid < 0 ? -pid : pid) != reaped.end()) {
    World().misdirected.push_back({pid, sig});
  }
  World().signals.push_back({pid, sig});
  if (World().killErrno != 0) {
    errno = World().killErrno;
    return -1;
  }
  return 0;
}

pid_t WaitPid(pid_t pid, int *status, int) {
  auto &exits = World().exits;
  auto it = std::find_if(exits.begin(), exits.end(),
                         [pid](const auto &e) { return pid == -1 || e.first == pid; });
  if (it != exits.end()) {
    pid_t reaped = it->first;
    if (status != nullptr) *status = it->second;
    exits.erase(it);
    World().reaped.push_back(reaped);
    auto &live = World().live;
    live.erase(std::remove(live.begin(), live.end(), reaped), live.end());
    return reaped;
  }
  auto &live = World().live;
  bool remains = pid == -1 ? !live.empty() : std::find(live.begin(), live.end(), pid) != live.end();
  if (remains) return 0;
  errno = ECHILD;
  return -1;
}

namespace {

// Sleeps until the next signal at most; the microseconds slept.
unsigned long long SleepUntilSignal(unsigned long long us) {
  unsigned long long every = World().signalEveryUs;
  if (every != 0 && every < us) us = every;
  World().sleptUs.push_back(us);
  kep::fake::Advance(us / 1e6);
  if (World().onSleep) World().onSleep(us);
  return us;
}

}  // namespace

int USleep(unsigned int microseconds) {
  if (SleepUntilSignal(microseconds) == microseconds) return 0;
  errno = EINTR;
  return -1;
}

int NanoSleep(const struct timespec *request, struct timespec *remaining) {
  unsigned long long us = request->tv_sec * 1000000ULL + request->tv_nsec / 1000;
  unsigned long long slept = SleepUntilSignal(us);
  if (slept == us) return 0;
  remaining->tv_sec = static_cast<time_t>((us - slept) / 1000000);
  remaining->tv_nsec = static_cast<long>((us - slept) % 1000000 * 1000);
  errno = EINTR;
  return -1;
}

int System(const char *command) {
  World().systemCalls.push_back(command != nullptr ? command : "");
  if (World().systemResult == -1 && World().systemErrno != 0) errno = World().systemErrno;
  return World().systemResult;
}

int Reboot(int) {
  ++World().rebootCalls;
  if (World().rebootResult != 0) errno = World().rebootErrno;
  return World().rebootResult;
}

void Sync() { ++World().syncCalls; }

}  // namespace kep::sys
