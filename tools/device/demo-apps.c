// The demo's applications for the board, one static binary called by their
// names: the shell scripts of examples/demo/ need more than the board's shell.
// Each behaves as its script does and reports through kep-notify.
#include <libgen.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static void Notify(const char *what) {
  pid_t pid = fork();
  if (pid == 0) {
    execl("/usr/bin/kep-notify", "kep-notify", what, (char *)NULL);
    _exit(127);
  }
  waitpid(pid, NULL, 0);
}

static volatile sig_atomic_t termed, hung;
static void OnTerm(int sig) {
  (void)sig;
  termed = 1;
}
static void OnUsr1(int sig) {
  (void)sig;
  hung = 1;
}
static void ExitOnTerm(int sig) {
  (void)sig;
  _exit(0);
}

int main(int argc, char **argv) {
  const char *name = basename(argv[0]);
  setvbuf(stdout, NULL, _IOLBF, 0);
  if (strcmp(name, "demo-logger") == 0) {
    signal(SIGTERM, OnTerm);
    Notify("start");
    sleep(2);
    Notify("init");
    printf("demo-logger: ready (pid %d)\n", (int)getpid());
    while (!termed) pause();
    printf("demo-logger: stopping\n");
    Notify("stop");
  } else if (strcmp(name, "demo-sensor") == 0) {
    signal(SIGTERM, OnTerm);
    signal(SIGUSR1, OnUsr1);
    Notify("start");
    Notify("init");
    printf("demo-sensor: feeding the watchdog (pid %d)\n", (int)getpid());
    for (int told = 0; !termed; sleep(2)) {
      if (hung && !told) told = printf("demo-sensor: hanging, the watchdog will notice\n");
      if (!hung) Notify("wd");
    }
    Notify("stop");
  } else if (strcmp(name, "demo-web") == 0) {
    signal(SIGTERM, ExitOnTerm);
    printf("demo-web: started with arguments:");
    for (int i = 1; i < argc; ++i) printf(" %s", argv[i]);
    printf(" ; GREETING=%s\n", getenv("GREETING") ? getenv("GREETING") : "");
    Notify("start");
    for (;;) pause();
  } else if (strcmp(name, "demo-flaky") == 0) {
    signal(SIGTERM, ExitOnTerm);
    Notify("start");
    unsigned delay = 20 + (unsigned)getpid() % 21;
    printf("demo-flaky: will crash in %u s (pid %d)\n", delay, (int)getpid());
    sleep(delay);
    printf("demo-flaky: crashing\n");
    raise(SIGSEGV);
  } else {
    fprintf(stderr, "%s: not a demo application\n", name);
    return 2;
  }
  return 0;
}
