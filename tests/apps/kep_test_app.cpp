// kep-test-app: an application for kep's process tests, whose options make it
// behave well or badly. Words that are not options are accepted and ignored, so
// a test can pass arbitrary arguments and read them back from --dump.
//
//   --start=MS          write KEP_START_FILE after MS ms (default 0)
//   --no-start          never write the start file
//   --init=MS           write KEP_INIT_FILE after MS ms (default 0)
//   --no-init           never write the init file
//   --stop-file         on SIGTERM write KEP_STOP_FILE, then exit 0
//   --ignore-term       ignore SIGTERM
//   --exit=N            exit with code N ...
//   --exit-after=MS     ... after MS ms (default 0)
//   --die=N             die by signal N ...
//   --die-after=MS      ... after MS ms (default 0)
//   --feed=N            feed KEP_WD_FILE N times ...
//   --feed-every=MS     ... every MS ms (default 100), the first at once
//   --dump=FILE         write argv, environment, blocked signals and open
//                       descriptors to FILE (atomically), one item a line:
//                       "arg TEXT", "env TEXT", "sigblk HEX", "fd N",
//                       "pid N", "sid N", "pgid N", "umask OCTAL"
//   --grandchild=FILE   fork a child that sleeps forever; write its pid to FILE
// Run under a name whose last component begins with "kep-dump-self", it dumps
// to that name + ".out" without any option (for a start without arguments).
// Otherwise it sleeps until a signal ends it.
#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ZelKepLib.h"

extern char **environ;

namespace {

volatile sig_atomic_t termReceived = 0;

void OnTerm(int) { termReceived = 1; }

struct Options {
  long startMs = 0;
  long initMs = 0;
  bool stopFile = false;
  bool ignoreTerm = false;
  long exitCode = -1;
  long exitMs = 0;
  long dieSignal = 0;
  long dieMs = 0;
  long feedCount = 0;
  long feedEveryMs = 100;
  std::string dumpFile;
  std::string grandchildFile;
};

bool Value(const char *arg, const char *name, long *out) {
  size_t length = strlen(name);
  if (strncmp(arg, name, length) != 0 || arg[length] != '=') return false;
  *out = strtol(arg + length + 1, nullptr, 10);
  return true;
}

bool Text(const char *arg, const char *name, std::string *out) {
  size_t length = strlen(name);
  if (strncmp(arg, name, length) != 0 || arg[length] != '=') return false;
  *out = arg + length + 1;
  return true;
}

Options Parse(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const char *a = argv[i];
    if (strcmp(a, "--no-start") == 0) {
      o.startMs = -1;
    } else if (strcmp(a, "--no-init") == 0) {
      o.initMs = -1;
    } else if (strcmp(a, "--stop-file") == 0) {
      o.stopFile = true;
    } else if (strcmp(a, "--ignore-term") == 0) {
      o.ignoreTerm = true;
    } else if (Value(a, "--start", &o.startMs) || Value(a, "--init", &o.initMs) ||
               Value(a, "--exit", &o.exitCode) || Value(a, "--exit-after", &o.exitMs) ||
               Value(a, "--die", &o.dieSignal) || Value(a, "--die-after", &o.dieMs) ||
               Value(a, "--feed", &o.feedCount) || Value(a, "--feed-every", &o.feedEveryMs) ||
               Text(a, "--dump", &o.dumpFile) || Text(a, "--grandchild", &o.grandchildFile)) {
    }
  }
  return o;
}

long NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

void WriteAtomically(const std::string &path, const std::string &text) {
  std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary);
    out << text;
  }
  rename(temporary.c_str(), path.c_str());
}

void WriteSync(const char *variable) {
  const char *path = getenv(variable);
  if (path != nullptr && KepWriteSyncFile(path, getpid()) != 0) {
    fprintf(stderr, "kep-test-app: writing %s (%s) failed: %s\n", variable, path, strerror(errno));
  }
}

std::string BlockedSignals() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigBlk:", 0) == 0) {
      size_t start = line.find_first_not_of(" \t", 7);
      return start == std::string::npos ? "" : line.substr(start);
    }
  }
  return "unknown";
}

std::vector<int> OpenDescriptors() {
  std::vector<int> fds;
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return fds;
  int own = dirfd(dir);
  while (struct dirent *entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    int fd = atoi(entry->d_name);
    if (fd != own) fds.push_back(fd);
  }
  closedir(dir);
  return fds;
}

void Dump(const std::string &file, const std::vector<std::string> &args) {
  // Descriptors first, before this function opens any of its own.
  std::vector<int> fds = OpenDescriptors();
  std::string blocked = BlockedSignals();
  std::ostringstream text;
  for (const std::string &arg : args) text << "arg " << arg << "\n";
  for (char **env = environ; *env != nullptr; ++env) text << "env " << *env << "\n";
  text << "sigblk " << blocked << "\n";
  for (int fd : fds) text << "fd " << fd << "\n";
  mode_t mask = umask(0);
  umask(mask);
  text << "pid " << getpid() << "\nsid " << getsid(0) << "\npgid " << getpgrp() << "\numask "
       << std::oct << mask << std::dec << "\n";
  WriteAtomically(file, text.str());
}

void StartGrandchild(const std::string &file) {
  pid_t pid = fork();
  if (pid == 0) {
    for (;;) pause();
  }
  if (pid > 0) WriteAtomically(file, std::to_string(pid) + "\n");
}

void SleepMs(long ms) {
  if (ms <= 0) return;
  struct timespec wait = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&wait, nullptr);  // a signal cuts it short; the loop looks again
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> args(argv, argv + argc);
  Options o = Parse(argc, argv);
  const char *base = strrchr(argv[0], '/');
  base = base != nullptr ? base + 1 : argv[0];
  if (strncmp(base, "kep-dump-self", 13) == 0) o.dumpFile = std::string(argv[0]) + ".out";
  if (o.ignoreTerm) {
    signal(SIGTERM, SIG_IGN);
  } else if (o.stopFile) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnTerm;
    sigaction(SIGTERM, &action, nullptr);
  }
  // After the handlers: a test that has seen the dump may signal at once.
  if (!o.dumpFile.empty()) Dump(o.dumpFile, args);
  if (!o.grandchildFile.empty()) StartGrandchild(o.grandchildFile);

  long begin = NowMs();
  long nextFeed = 0;
  long fed = 0;
  bool started = o.startMs < 0;
  bool initialised = o.initMs < 0;
  for (;;) {
    long now = NowMs() - begin;
    if (termReceived) {
      WriteSync("KEP_STOP_FILE");
      return 0;
    }
    if (!started && now >= o.startMs) {
      WriteSync("KEP_START_FILE");
      started = true;
    }
    if (!initialised && now >= o.initMs) {
      WriteSync("KEP_INIT_FILE");
      initialised = true;
    }
    if (fed < o.feedCount && now >= nextFeed) {
      const char *wd = getenv("KEP_WD_FILE");
      if (wd != nullptr) KepFeedWatchdogFile(wd, getpid());
      ++fed;
      nextFeed = now + o.feedEveryMs;
    }
    if (o.exitCode >= 0 && now >= o.exitMs) return static_cast<int>(o.exitCode);
    if (o.dieSignal > 0 && now >= o.dieMs) {
      signal(static_cast<int>(o.dieSignal), SIG_DFL);
      raise(static_cast<int>(o.dieSignal));
    }
    // Sleep until the next thing to do, at most a second.
    long next = now + 1000;
    if (!started && o.startMs < next) next = o.startMs;
    if (!initialised && o.initMs < next) next = o.initMs;
    if (fed < o.feedCount && nextFeed < next) next = nextFeed;
    if (o.exitCode >= 0 && o.exitMs < next) next = o.exitMs;
    if (o.dieSignal > 0 && o.dieMs < next) next = o.dieMs;
    SleepMs(next - now);
  }
}
