// The system-call seam. kep calls the process, time and machine services that a
// test needs to control through these functions. The product links
// kep_sys_real.cpp (plain system calls); simulated-time tests link a fake that
// hands out pids, records signals and advances a fake clock instead of sleeping.
#pragma once

#include <sys/types.h>
#include <time.h>

namespace kep::sys {

pid_t Fork();
pid_t GetParentPid();
int Kill(pid_t pid, int sig);
pid_t WaitPid(pid_t pid, int *status, int options);
// Like usleep: a signal cuts it short and it is not resumed (the pass's sleep).
int USleep(unsigned int microseconds);
// Like nanosleep: -1 with errno EINTR and the time left in *remaining when a
// signal cuts it short.
int NanoSleep(const struct timespec *request, struct timespec *remaining);
int System(const char *command);
// When process pid started, in clock ticks after boot; 0 when it does not run
// (or is a zombie).
unsigned long long ProcStartTicks(pid_t pid);
// How many live processes are in process group pgid.
unsigned GroupMembers(pid_t pgid);
int Reboot(int command);
void Sync();

// The hardware watchdog's device: open(2), ioctl(2) with an int argument (null
// for none), write(2) and close(2).
int DeviceOpen(const char *path, int flags);
int DeviceIoctl(int fd, unsigned long request, int *argument);
ssize_t DeviceWrite(int fd, const char *data, size_t size);
int DeviceClose(int fd);
// Whether the watchdog driver behind fd never stops once started (nowayout),
// as its sysfs folder tells; false when that cannot be read.
bool DeviceNowayout(int fd);

}  // namespace kep::sys
