// Applications of the device tests, one static binary called by their names:
//   crasher [MS]       exits with status 3 after MS milliseconds (default 0);
//   sleeper            sleeps until a signal ends it;
//   feeder N           feeds its watchdog N times a second apart, then no more;
//   killer NAME MS     after MS milliseconds sends SIGKILL to the process NAME once.
#include <dirent.h>
#include <libgen.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static void Pause(void) {
  for (;;) pause();
}

static pid_t FindByName(const char *name) {
  DIR *proc = opendir("/proc");
  struct dirent *entry;
  pid_t found = 0;
  while (proc != NULL && found == 0 && (entry = readdir(proc)) != NULL) {
    char path[64], comm[64] = "";
    snprintf(path, sizeof path, "/proc/%.20s/comm", entry->d_name);
    FILE *file = fopen(path, "r");
    if (file == NULL) continue;
    if (fgets(comm, sizeof comm, file) != NULL && strcspn(comm, "\n") == strlen(name) &&
        strncmp(comm, name, strlen(name)) == 0)
      found = atoi(entry->d_name);
    fclose(file);
  }
  if (proc != NULL) closedir(proc);
  return found;
}

int main(int argc, char **argv) {
  const char *name = basename(argv[0]);
  setvbuf(stdout, NULL, _IOLBF, 0);
  if (strcmp(name, "crasher") == 0) {
    usleep(argc > 1 ? 1000u * (unsigned)atoi(argv[1]) : 0);
    return 3;
  }
  if (strcmp(name, "sleeper") == 0) Pause();
  if (strcmp(name, "feeder") == 0 && argc > 1) {
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
  if (strcmp(name, "killer") == 0 && argc > 2) {
    usleep(1000u * (unsigned)atoi(argv[2]));
    pid_t victim = FindByName(argv[1]);
    if (victim > 1 && kill(victim, SIGKILL) == 0)
      printf("killer: killed %s, pid %d\n", argv[1], (int)victim);
    Pause();
  }
  fprintf(stderr, "%s: not a test application\n", name);
  return 2;
}
