#include <signal.h>
#include <stdlib.h>
#include <sys/reboot.h>
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
void Sync() { sync(); }

}  // namespace kep::sys
