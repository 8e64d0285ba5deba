#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "kep_sys.h"
#include "process_identity.h"

namespace kep::sys {

pid_t Fork() { return fork(); }
pid_t GetParentPid() { return getppid(); }
int Kill(pid_t pid, int sig) { return kill(pid, sig); }
pid_t WaitPid(pid_t pid, int *status, int options) { return waitpid(pid, status, options); }
int USleep(unsigned int microseconds) { return usleep(microseconds); }
int NanoSleep(const struct timespec *request, struct timespec *remaining) {
  return nanosleep(request, remaining);
}
int System(const char *command) { return system(command); }
unsigned long long ProcStartTicks(pid_t pid) { return KepProcStartTicks(std::to_string(pid)); }
unsigned GroupMembers(pid_t pgid) { return KepProcGroupMembers(pgid); }
int Reboot(int command) { return reboot(command); }

int DeviceOpen(const char *path, int flags) { return open(path, flags); }
int DeviceIoctl(int fd, unsigned long request, int *argument) {
  return ioctl(fd, request, argument);
}
ssize_t DeviceWrite(int fd, const char *data, size_t size) { return write(fd, data, size); }
int DeviceClose(int fd) { return close(fd); }

bool DeviceNowayout(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
  char path[64];
  snprintf(path, sizeof path, "/sys/dev/char/%u:%u/nowayout", major(info.st_rdev),
           minor(info.st_rdev));
  char text[8];
  // /dev/watchdog itself is the misc device of the first watchdog.
  if (!KepReadProcFile(path, text, sizeof text) &&
      !KepReadProcFile("/sys/class/watchdog/watchdog0/nowayout", text, sizeof text))
    return false;
  return text[0] == '1';
}
void Sync() { sync(); }

}  // namespace kep::sys
