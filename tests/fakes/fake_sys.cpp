// The system-call seam, answered from the fake world.
#include <errno.h>
#include <linux/watchdog.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "fake.h"
#include "kep_main.h"
#include "kep_sys.h"

namespace kep::fake {

State &World() {
  static State state;
  return state;
}
void Reset() { World() = State{}; }
double Now() { return World().nowUs / 1e6; }
void End(pid_t pid, int status) {
  World().started.erase(pid);
  World().exits.push_back({pid, status});
  World().sigchldPending = true;
}

static void DeliverPendingSigchld() {
  sigset_t mask;
  sigprocmask(SIG_BLOCK, nullptr, &mask);
  if (!World().sigchldPending || sigismember(&mask, SIGCHLD)) return;
  World().sigchldPending = false;
  SigChildHandler(SIGCHLD, nullptr, nullptr);
}

// Sleeps until the next signal at most; the microseconds slept.
static unsigned long long Sleep(unsigned long long us) {
  DeliverPendingSigchld();
  if (World().signalEveryUs != 0) us = std::min(us, World().signalEveryUs);
  World().sleptUs.push_back(us);
  World().nowUs += us;
  if (World().onSleep) World().onSleep(us);
  return us;
}

}  // namespace kep::fake

namespace kep::sys {
using fake::World;

pid_t Fork() {
  errno = World().forkErrno;
  if (errno != 0) return -1;
  World().started[World().nextPid] = static_cast<unsigned long long>(World().nowUs / 10000);
  return World().nextPid++;
}

unsigned long long ProcStartTicks(pid_t pid) {
  auto it = World().started.find(pid);
  return it != World().started.end() ? it->second : 0;
}

unsigned GroupMembers(pid_t pgid) { return World().groups[pgid]; }

pid_t GetParentPid() { return 4000; }

int Kill(pid_t pid, int sig) {
  fake::DeliverPendingSigchld();
  World().misdirected += std::count(World().reaped.begin(), World().reaped.end(), abs(pid));
  World().signals.push_back({pid, sig});
  errno = World().killErrno;
  if (errno != 0) return -1;
  if (pid < 0 && World().groups.count(-pid) != 0)
    World().groups[-pid] = sig == SIGKILL ? 0 : World().stubborn[-pid];
  return 0;
}

// No ended child left is ECHILD, as for a pid that has been reaped already.
pid_t WaitPid(pid_t pid, int *status, int) {
  auto &exits = World().exits;
  auto it = std::find_if(exits.begin(), exits.end(),
                         [pid](const auto &e) { return pid == -1 || e.first == pid; });
  if (it == exits.end()) return errno = ECHILD, -1;
  World().reaped.push_back(it->first);
  *status = it->second;
  exits.erase(it);
  return World().reaped.back();
}

int USleep(unsigned int us) { return errno = EINTR, fake::Sleep(us) == us ? 0 : -1; }

int NanoSleep(const struct timespec *request, struct timespec *remaining) {
  unsigned long long us = request->tv_sec * 1000000ULL + request->tv_nsec / 1000;
  unsigned long long left = us - fake::Sleep(us);
  *remaining = {time_t(left / 1000000), long(left % 1000000 * 1000)};
  return errno = EINTR, left == 0 ? 0 : -1;
}

int System(const char *) { return errno = ECHILD, World().systemResult; }

int DeviceOpen(const char *, int) {
  errno = World().deviceOpenErrno;
  if (errno != 0) return -1;
  World().deviceCalls.push_back("open");
  return 900;
}

int DeviceIoctl(int, unsigned long request, int *argument) {
  if (request == WDIOC_KEEPALIVE) {
    errno = World().keepaliveErrno;
    if (errno == 0) World().feeds.push_back(fake::Now());
    return errno != 0 ? -1 : 0;
  }
  if (request == WDIOC_SETTIMEOUT) {
    errno = World().setTimeoutErrno;
    if (errno != 0) return -1;
    World().deviceCalls.push_back("timeout " + std::to_string(*argument));
    if (World().driverTimeout != 0) *argument = World().driverTimeout;
    return 0;
  }
  if (request == WDIOC_GETTIMEOUT) *argument = World().driverTimeout;
  return 0;
}

ssize_t DeviceWrite(int, const char *data, size_t size) {
  World().deviceCalls.push_back(std::string(data, size));
  return static_cast<ssize_t>(size);
}

int DeviceClose(int) {
  World().deviceCalls.push_back("close");
  return 0;
}

bool DeviceNowayout(int) { return World().nowayout; }

int Reboot(int) { return ++World().rebootCalls, errno = EPERM, World().rebootResult; }

void Sync() {}

}  // namespace kep::sys
