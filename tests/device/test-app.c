// Applications of the device tests, one static binary called by their names:
//   crasher [MS]       exits with status 3 after MS milliseconds (default 0);
//   sleeper [MS]       sleeps until a signal ends it, or SIGKILL after MS milliseconds;
//   feeder N           tells its user, group, nice value and hard rtprio limit, feeds its
//                      watchdog N times a second apart, then no more.
#include <libgen.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

static void Pause(void) {
  for (;;) pause();
}

int main(int argc, char **argv) {
  const char *name = basename(argv[0]);
  setvbuf(stdout, NULL, _IOLBF, 0);
  if (strcmp(name, "crasher") == 0) {
    usleep(argc > 1 ? 1000u * (unsigned)atoi(argv[1]) : 0);
    return 3;
  }
  if (strcmp(name, "sleeper") == 0) {
    if (argc > 1) usleep(1000u * (unsigned)atoi(argv[1])), raise(SIGKILL);
    Pause();
  }
  if (strcmp(name, "feeder") == 0 && argc > 1) {
    struct rlimit rtprio = {0, 0};
    getrlimit(RLIMIT_RTPRIO, &rtprio);
    printf("feeder: uid %d, gid %d, nice %d, rtprio %lu (pid %d)\n", (int)getuid(), (int)getgid(),
           getpriority(PRIO_PROCESS, 0), (unsigned long)rtprio.rlim_max, (int)getpid());
    for (int n = atoi(argv[1]); n > 0; --n, sleep(1)) {
      pid_t pid = fork();
      if (pid == 0) {
        execl("/usr/bin/kep-notify", "kep-notify", "wd", (char *)NULL);
        _exit(127);
      }
      waitpid(pid, NULL, 0);
    }
    printf("feeder: no more feeding (pid %d)\n", (int)getpid());
    Pause();
  }
  fprintf(stderr, "%s: not a test application\n", name);
  return 2;
}
