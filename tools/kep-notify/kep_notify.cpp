// kep-notify: the synchronisation and watchdog calls for applications written
// as shell scripts. It writes for its parent process (the script that runs it)
// unless --pid names another.
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ZelKepLib.h"

namespace {

constexpr int kKepNotifyOk = 0;
constexpr int kKepNotifyUnset = 1;
constexpr int kKepNotifyError = 2;

struct Command {
  const char *word;
  const char *variable;
  int (*write)(const char *, pid_t);
};

const Command kCommands[] = {
    {"start", "KEP_START_FILE", KepWriteSyncFile},
    {"init", "KEP_INIT_FILE", KepWriteSyncFile},
    {"stop", "KEP_STOP_FILE", KepWriteSyncFile},
    {"wd", "KEP_WD_FILE", KepFeedWatchdogFile},
};

void PrintUsage(FILE *out) {
  fputs(
      "Usage: kep-notify [--pid PID] start|init|stop|wd\n"
      "\n"
      "Tells kep that the application has reached a point, by writing the file that\n"
      "kep named in the application's environment:\n"
      "  start   KEP_START_FILE: the application has started\n"
      "  init    KEP_INIT_FILE:  the application has initialised\n"
      "  stop    KEP_STOP_FILE:  the application has stopped after SIGTERM\n"
      "  wd      KEP_WD_FILE:    feeds the application's watchdog\n"
      "\n"
      "The file is written for the parent process of kep-notify, which is the\n"
      "script that runs it as a command (do not use exec, a pipeline or $(...));\n"
      "--pid PID writes for PID instead, e.g. --pid $$.\n"
      "\n"
      "Exit status: 0 written, 1 the variable is not set (kep does not expect this\n"
      "point), 2 usage error or the file could not be written.\n",
      out);
}

bool ParsePid(const char *text, pid_t *pid) {
  if (text == nullptr || *text < '1' || *text > '9') return false;
  char *end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value <= 0 || value > INT_MAX) return false;
  *pid = static_cast<pid_t>(value);
  return true;
}

int Usage(const char *problem) {
  fprintf(stderr, "kep-notify: %s\n", problem);
  PrintUsage(stderr);
  return kKepNotifyError;
}

// The command and --pid from the arguments: -1 to go on, else the exit
// status (help, usage).
int ParseArguments(int argc, char **argv, const Command **command, pid_t *pid) {
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
      PrintUsage(stdout);
      return kKepNotifyOk;
    }
    if (strcmp(arg, "--pid") == 0 || strncmp(arg, "--pid=", 6) == 0) {
      const char *value = arg[5] == '=' ? arg + 6 : (i + 1 < argc ? argv[++i] : nullptr);
      if (!ParsePid(value, pid)) return Usage("--pid needs a process id greater than 0");
      continue;
    }
    const Command *found = nullptr;
    for (const Command &candidate : kCommands) {
      if (strcmp(arg, candidate.word) == 0) found = &candidate;
    }
    if (found == nullptr) {
      fprintf(stderr, "kep-notify: unknown argument '%s'\n", arg);
      PrintUsage(stderr);
      return kKepNotifyError;
    }
    if (*command != nullptr) return Usage("give one of start, init, stop or wd, once");
    *command = found;
  }
  if (*command == nullptr) return Usage("give one of start, init, stop or wd");
  return -1;
}

}  // namespace

int main(int argc, char **argv) {
  const Command *command = nullptr;
  pid_t pid = 0;
  int status = ParseArguments(argc, argv, &command, &pid);
  if (status >= 0) return status;
  const char *path = getenv(command->variable);
  if (path == nullptr || *path == '\0') {
    fprintf(stderr, "kep-notify: %s is not set; kep does not wait for '%s' from this application\n",
            command->variable, command->word);
    return kKepNotifyUnset;
  }
  if (pid == 0) {
    pid = getppid();
    // Parent 1: the script that ran us has ended already (kep-notify ran in the
    // background); writing for pid 1 would never satisfy kep.
    if (pid == 1) {
      fprintf(stderr, "kep-notify: the parent process has ended; give the application's --pid\n");
      return kKepNotifyError;
    }
  }
  if (command->write(path, pid) != 0) {
    fprintf(stderr, "kep-notify: cannot write %s (%s) for pid %ld: %s\n", path, command->variable,
            static_cast<long>(pid), strerror(errno));
    return kKepNotifyError;
  }
  return kKepNotifyOk;
}
