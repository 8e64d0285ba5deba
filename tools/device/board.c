// The board's own programs, one static binary called by four names:
//   init    mounts the file systems and the disk at /etc/kep, starts kep -b on
//           /etc/kep/kep.conf, reaps orphans, stops kep when the kernel command
//           line asks (kep.stop=SECONDS) and prints "kep-board: " markers;
//   sh      "sh -c WORDS" only: the words split at blanks and executed along
//           PATH, which is all kep's system() calls need;
//   passwd  records its call on the console;
//   reboot  syncs and restarts the board (qemu -no-reboot then exits).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

static void Say(const char *format, ...) {
  va_list args;
  va_start(args, format);
  fputs("kep-board: ", stdout);
  vprintf(format, args);
  fputs("\n", stdout);
  fflush(stdout);
  va_end(args);
}

static volatile sig_atomic_t stopDue;
static void OnAlarm(int sig) {
  (void)sig;
  stopDue = 1;
}

// The kep that -b put in the background: named kep and adopted by init.
static pid_t FindKep(void) {
  DIR *proc = opendir("/proc");
  struct dirent *entry;
  pid_t found = 0;
  while (proc != NULL && found == 0 && (entry = readdir(proc)) != NULL) {
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/%.20s/stat", entry->d_name);
    FILE *file = fopen(path, "r");
    if (file == NULL) continue;
    char *close = fgets(line, sizeof line, file) ? strrchr(line, ')') : NULL;
    int pid = 0, ppid = 0;
    if (close != NULL && sscanf(line, "%d", &pid) == 1 && sscanf(close + 2, "%*c %d", &ppid) == 1 &&
        strncmp(strchr(line, '(') + 1, "kep)", 4) == 0 && ppid == 1)
      found = pid;
    fclose(file);
  }
  if (proc != NULL) closedir(proc);
  return found;
}

// kep -b takes a parent of pid 1 for "already a daemon": a runner starts it and
// waits for the foreground process, whose background child init then adopts.
static pid_t StartKep(void) {
  pid_t runner = fork();
  if (runner == 0) {
    pid_t front = fork();
    if (front == 0) {
      execl("/usr/sbin/kep", "kep", "-b", "-c", "/etc/kep/kep.conf", "-l", "40", (char *)NULL);
      _exit(127);
    }
    int status = 1;
    waitpid(front, &status, 0);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
  }
  int status = 1;
  waitpid(runner, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Say("kep -b failed (%d)", status);
  return FindKep();
}

static long long CommandLineNumber(const char *key) {
  char line[1024] = "";
  FILE *file = fopen("/proc/cmdline", "r");
  if (file != NULL) {
    if (fgets(line, sizeof line, file) == NULL) line[0] = '\0';
    fclose(file);
  }
  const char *at = strstr(line, key);
  return at != NULL ? strtoll(at + strlen(key), NULL, 10) : 0;
}

static void PrintLastLine(const char *path) {
  char line[512], last[512] = "";
  FILE *file = fopen(path, "r");
  while (file != NULL && fgets(line, sizeof line, file) != NULL) strcpy(last, line);
  if (file != NULL) fclose(file);
  Say("%s: %.*s", path, (int)strcspn(last, "\n"), last);
}

// proc, sys, dev, the console on 0 to 2, a RAM /var and the disk at /etc/kep.
static void MountFileSystems(void) {
  mount("proc", "/proc", "proc", 0, NULL);
  // The board has no clock of its own: the host gives the time (kep.time=SECONDS), or the
  // kernel's recovery at mount would free inodes with a deletion time of 0, which reads as
  // "never deleted".
  struct timeval now = {(time_t)CommandLineNumber("kep.time="), 0};
  if (now.tv_sec != 0) settimeofday(&now, NULL);
  mount("sysfs", "/sys", "sysfs", 0, NULL);
  mount("devtmpfs", "/dev", "devtmpfs", 0, NULL);
  int console = open("/dev/console", O_RDWR);
  for (int fd = 0; fd < 3 && console >= 0; ++fd) dup2(console, fd);
  if (console > 2) close(console);
  // The device's /var/local and /var/log live in memory; only /etc/kep persists.
  mount("tmpfs", "/var", "tmpfs", 0, "mode=0755");
  mkdir("/var/local", 0755);
  mkdir("/var/log", 0755);
  // Without the delayed-allocation flush on rename and truncate, ext4 keeps
  // no more than the fsyncs ask for, as a flash file system would.
  if (mount("/dev/vda", "/etc/kep", "ext4", MS_NOATIME, "noauto_da_alloc,commit=1") != 0)
    Say("mount /dev/vda on /etc/kep failed (%s)", strerror(errno));
}

// kep-check on the configuration, when the kernel command line asks (kep.check=1).
static void CheckConfiguration(void) {
  if (CommandLineNumber("kep.check=") == 0) return;
  pid_t check = fork();
  if (check == 0) {
    execl("/usr/bin/kep-check", "kep-check", "/etc/kep/kep.conf", (char *)NULL);
    _exit(127);
  }
  waitpid(check, NULL, 0);
}

// Reaps orphans until kep ends; SIGTERM to kep once kep.stop=SECONDS have passed.
static void WatchKep(pid_t kep) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnAlarm;  // no SA_RESTART: the alarm must cut wait() short
  sigaction(SIGALRM, &action, NULL);
  alarm((unsigned)CommandLineNumber("kep.stop="));
  while (kep > 0) {
    int status;
    pid_t pid = wait(&status);
    if (pid == kep) {
      Say("kep ended, status %d", status);
      break;
    }
    if (pid < 0 && errno == ECHILD) break;
    if (stopDue) {
      stopDue = 0;
      Say("stopping kep (SIGTERM)");
      kill(kep, SIGTERM);
    }
  }
}

static int Init(void) {
  MountFileSystems();
  setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);
  chdir("/");
  Say("up");
  CheckConfiguration();
  pid_t kep = StartKep();
  if (kep > 0) {
    Say("kep supervising, pid %d", (int)kep);
  } else {
    Say("kep is not running");
  }
  WatchKep(kep);
  PrintLastLine("/var/log/dlog.log");
  sync();
  umount("/etc/kep");
  Say("halted");
  reboot(RB_HALT_SYSTEM);
  for (;;) pause();
  return 0;  // not reached; some compilers ask for it all the same
}

static int Shell(int argc, char **argv) {
  if (argc != 3 || strcmp(argv[1], "-c") != 0) {
    fputs("sh: this shell only runs sh -c \"WORDS\"\n", stderr);
    return 2;
  }
  char *words[64];
  int n = 0;
  for (char *word = strtok(argv[2], " \t"); word != NULL && n < 63; word = strtok(NULL, " \t"))
    words[n++] = word;
  words[n] = NULL;
  if (n == 0) return 0;
  execvp(words[0], words);
  fprintf(stderr, "sh: %s: %s\n", words[0], strerror(errno));
  return 127;
}

int main(int argc, char **argv) {
  const char *name = basename(argv[0]);
  if (getpid() == 1) return Init();
  if (strcmp(name, "sh") == 0) return Shell(argc, argv);
  if (strcmp(name, "passwd") == 0) {
    printf("kep-board: passwd");
    for (int i = 1; i < argc; ++i) printf(" %s", argv[i]);
    printf("\n");
    return 0;
  }
  if (strcmp(name, "reboot") == 0) {
    Say("reboot");
    sync();
    reboot(RB_AUTOBOOT);
    perror("reboot");
    return 1;
  }
  fprintf(stderr, "%s: not a program of this board\n", name);
  return 2;
}
