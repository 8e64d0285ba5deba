// kep-test-app: an application for kep's process tests, whose options make it
// behave well or badly. Words that are not options are accepted and ignored, so
// a test can pass arbitrary arguments and read them back from --dump.
//
//   --start=MS          write KEP_START_FILE after MS ms (default 0)
//   --no-start          never write the start file
//   --init=MS           write KEP_INIT_FILE after MS ms (default 0)
//   --no-init           never write the init file
//   --ignore-term       ignore SIGTERM
//   --exit=N            exit with code N, after the files due at once
//   --die=N             die by signal N, likewise
//   --feed=N            feed KEP_WD_FILE N times, every 100 ms, the first at once
//   --dump=FILE         write argv, environment, blocked and ignored signals and
//                       open descriptors to FILE (atomically), one item a line:
//                       "arg TEXT", "env TEXT", "sigblk HEX", "sigign HEX", "fd N",
//                       "sid N", "pgid N", "umask OCTAL"
//   --grandchild=FILE   fork a child that sleeps forever; write its pid to FILE
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

struct Options {
  long startMs = 0;
  long initMs = 0;
  bool ignoreTerm = false;
  long exitCode = -1;
  long dieSignal = 0;
  long feedCount = 0;
  std::string dumpFile;
  std::string grandchildFile;
};

// The text after "name=", or null when arg is not that option.
const char *ValueOf(const char *arg, const char *name) {
  size_t length = strlen(name);
  return strncmp(arg, name, length) == 0 && arg[length] == '=' ? arg + length + 1 : nullptr;
}

Options Parse(int argc, char **argv) {
  Options o;
  struct {
    const char *name;
    long *value;
  } numbers[] = {{"--start", &o.startMs},
                 {"--init", &o.initMs},
                 {"--exit", &o.exitCode},
                 {"--die", &o.dieSignal},
                 {"--feed", &o.feedCount}};
  for (int i = 1; i < argc; ++i) {
    const char *a = argv[i];
    if (strcmp(a, "--no-start") == 0) o.startMs = -1;
    if (strcmp(a, "--no-init") == 0) o.initMs = -1;
    if (strcmp(a, "--ignore-term") == 0) o.ignoreTerm = true;
    for (auto &number : numbers) {
      if (const char *value = ValueOf(a, number.name)) *number.value = strtol(value, nullptr, 10);
    }
    if (const char *value = ValueOf(a, "--dump")) o.dumpFile = value;
    if (const char *value = ValueOf(a, "--grandchild")) o.grandchildFile = value;
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
  std::ofstream(temporary, std::ios::binary) << text;
  rename(temporary.c_str(), path.c_str());
}

void WriteSync(const char *variable) {
  const char *path = getenv(variable);
  if (path != nullptr && KepWriteSyncFile(path, getpid()) != 0) {
    fprintf(stderr, "kep-test-app: writing %s (%s) failed: %s\n", variable, path, strerror(errno));
  }
}

// A signal mask of /proc/self/status, such as "SigBlk:".
std::string SignalMask(const std::string &field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return line.substr(line.find_first_not_of(" \t", field.size()));
  }
  return "unknown";
}

void Dump(const std::string &file, char **argv) {
  std::ostringstream text;
  // Descriptors first, before this function opens any of its own.
  if (DIR *dir = opendir("/proc/self/fd")) {
    while (struct dirent *entry = readdir(dir)) {
      int fd = atoi(entry->d_name);
      if (entry->d_name[0] != '.' && fd != dirfd(dir)) text << "fd " << fd << "\n";
    }
    closedir(dir);
  }
  text << "sigblk " << SignalMask("SigBlk:") << "\nsigign " << SignalMask("SigIgn:") << "\n";
  for (char **arg = argv; *arg != nullptr; ++arg) text << "arg " << *arg << "\n";
  for (char **env = environ; *env != nullptr; ++env) text << "env " << *env << "\n";
  mode_t mask = umask(0);
  umask(mask);
  text << "sid " << getsid(0) << "\npgid " << getpgrp() << "\numask " << std::oct << mask << "\n";
  WriteAtomically(file, text.str());
}

}  // namespace

int main(int argc, char **argv) {
  Options o = Parse(argc, argv);
  if (o.ignoreTerm) signal(SIGTERM, SIG_IGN);
  // After the handler: a test that has seen the dump may signal at once.
  if (!o.dumpFile.empty()) Dump(o.dumpFile, argv);
  if (!o.grandchildFile.empty()) {
    pid_t pid = fork();
    if (pid == 0) {
      for (;;) pause();
    }
    if (pid > 0) WriteAtomically(o.grandchildFile, std::to_string(pid) + "\n");
  }

  long begin = NowMs();
  long nextFeed = 0;
  for (long fed = 0;; usleep(10000)) {  // until a signal ends it
    long now = NowMs() - begin;
    if (o.startMs >= 0 && now >= o.startMs) {
      WriteSync("KEP_START_FILE");
      o.startMs = -1;
    }
    if (o.initMs >= 0 && now >= o.initMs) {
      WriteSync("KEP_INIT_FILE");
      o.initMs = -1;
    }
    if (fed < o.feedCount && now >= nextFeed) {
      if (const char *wd = getenv("KEP_WD_FILE")) KepFeedWatchdogFile(wd, getpid());
      ++fed;
      nextFeed = now + 100;
    }
    if (o.exitCode >= 0) return static_cast<int>(o.exitCode);
    if (o.dieSignal > 0) {
      signal(static_cast<int>(o.dieSignal), SIG_DFL);
      raise(static_cast<int>(o.dieSignal));
    }
  }
}
