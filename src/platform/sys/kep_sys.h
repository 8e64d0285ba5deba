// The system-call seam. kep calls the process, time and machine services that a
// test needs to control through these functions. The product links
// kep_sys_real.cpp (plain system calls); simulated-time tests link a fake that
// hands out pids, records signals and advances a fake clock instead of sleeping.
#pragma once

#include <sys/types.h>

namespace kep::sys {

pid_t Fork();
pid_t GetParentPid();
int Kill(pid_t pid, int sig);
pid_t WaitPid(pid_t pid, int *status, int options);
// Like usleep/sleep: a signal cuts them short and they are not resumed.
int USleep(unsigned int microseconds);
unsigned int Sleep(unsigned int seconds);
int System(const char *command);
int Reboot(int command);
void Sync();

}  // namespace kep::sys
