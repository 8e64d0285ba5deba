#include "check.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ZelLog.h"
#include "kep_config.h"

namespace {

const char kKepCheckUsage[] = "usage: kep-check [--root DIR] CONFIG\n";

const char kKepCheckHelp[] =
    "usage: kep-check [--root DIR] CONFIG\n"
    "\n"
    "Reads the kep configuration file CONFIG with kep's own reader and prints the\n"
    "reader's messages, then the settings, global environment and applications it\n"
    "read. Exits 0 when the file is valid, 1 when it is not, 2 on a usage error.\n"
    "It starts nothing, needs no privileges and writes no file.\n"
    "\n"
    "The users and groups that applications run as (user, group) must be known:\n"
    "an unknown name is an error, as is a user given as an id that has no entry\n"
    "when no group is given. They are looked up in this system's user and group\n"
    "databases, or with --root DIR in DIR/etc/passwd and DIR/etc/group, the files\n"
    "of a device's root file system built on this host.\n"
    "\n"
    "Warnings, for a valid file (they do not change the exit status):\n"
    "  - an application without deathAction: it is never restarted, and if it\n"
    "    exits while kep starts the applications, kep never leaves that state;\n"
    "  - an application's deathMonitorAction while the global deathMonitorAction\n"
    "    is not set: death monitoring is off, so it never applies;\n"
    "  - a deathMonitorMaxDeath that a restarting application cannot reach within\n"
    "    deathMonitorPeriod. Between two counted deaths kep needs at least two\n"
    "    passes of its loop, each sleeping 0.5 s (one starts the application again,\n"
    "    the next counts its death): 1 s per restart. With startSync, an application\n"
    "    that dies before writing its start file adds startSyncTime to each restart.\n"
    "    N deaths fall within the period only if\n"
    "      (N - 1) x (1 s [+ startSyncTime]) <= deathMonitorPeriod;\n"
    "  - an executable that is not found on the PATH of kep-check's environment;\n"
    "  - two applications with the same name or the same synchronisation-file base\n"
    "    name (the last part of the name), or where one base name followed by \"-\"\n"
    "    begins the other's: every start removes the files that begin with its\n"
    "    base name and \"-\";\n"
    "  - a synchronisation or watchdog file that is not an absolute path (a note\n"
    "    written behind startSync and the like is read as the path);\n"
    "  - a word behind disableReboot, disableReset or doNotDeathMonitor: they are\n"
    "    flags, so \"disableReboot false\" sets disableReboot;\n"
    "  - hwWatchdogTimeout without hwWatchdog (no effect), and a hwWatchdog device\n"
    "    that is not an absolute path.\n"
    "\n"
    "Worst-case stop time: the longest a stop of all applications can take, when\n"
    "every application ignores SIGTERM, never writes its stop file and outlives\n"
    "SIGKILL:\n"
    "  - one application after another, the last configured first: its first\n"
    "    SIGTERM, the wait for its stop file (stopSyncTime, with stopSync) and a\n"
    "    pause of 3 s;\n"
    "  - then each application gets killRetries further SIGTERMs, SIGKILL and is\n"
    "    given up, each step once more than killDelay whole seconds have passed\n"
    "    since the one before (killDelay + 1 s), plus up to one pass (0.5 s) since\n"
    "    kep looks once per pass. A further SIGTERM waits for the stop file again\n"
    "    and holds up every other application meanwhile.\n"
    "  Without stop files this comes to\n"
    "    3 s x (applications - 1) + (killRetries + 2) x (killDelay + 1.5) s.\n";

// The hook's destination: kep-check prints every message of the reader and
// of the dump.
FILE *reportOut = nullptr;

void PrintMessage(int level, int, const char *, const char *text) {
  if (reportOut == nullptr || text == nullptr) return;
  const char *prefix = level == LOG_MSG_ERROR     ? "error: "
                       : level == LOG_MSG_WARNING ? "warning: "
                                                  : "";
  fprintf(reportOut, "%s%s\n", prefix, text);
}

// Keeps standard error quiet while the reader runs: the logging library
// echoes messages to a terminal, and the reader prints its failing line
// there too, while kep-check prints every message once through its hook.
class QuietStderr {
 public:
  QuietStderr() : saved_(dup(STDERR_FILENO)) {
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    fflush(stderr);
    if (saved_ >= 0 && null >= 0) dup2(null, STDERR_FILENO);
    if (null >= 0) close(null);
  }
  ~QuietStderr() {
    fflush(stderr);
    if (saved_ >= 0) {
      dup2(saved_, STDERR_FILENO);
      close(saved_);
    }
  }
  QuietStderr(const QuietStderr &) = delete;
  QuietStderr &operator=(const QuietStderr &) = delete;

 private:
  int saved_;
};

int CheckFile(const char *path, const std::string &root, FILE *out) {
  int status;
  KepReadNotes notes;
  {
    QuietStderr quiet;
    status = KepReadConfig(path, &notes);
    if (status == KEP_OK) {
      KepLogSettings();
      KepLogGlobalEnv();
      KepLogAppData(1, 0);
    }
  }
  if (status != KEP_OK) {
    fprintf(out, "%s: not a valid configuration (status %i: %s)\n", path, status,
            KepErrorCodeMeaning(status));
    return 1;
  }
  std::vector<std::string> errors = KepCheckAccounts(notes, root);
  for (const std::string &error : errors) fprintf(out, "error: %s\n", error.c_str());
  std::vector<std::string> warnings = KepCheckWarnings(notes, getenv("PATH"));
  for (const std::string &warning : warnings) fprintf(out, "warning: %s\n", warning.c_str());
  fprintf(out, "worst-case stop time: %s s\n",
          KepCheckSeconds(KepCheckWorstStopHalfSeconds()).c_str());
  if (!errors.empty()) {
    fprintf(out, "%s: not valid on %s: %zu error(s), %zu warning(s)\n", path,
            root.empty() ? "this system" : ("the root file system " + root).c_str(), errors.size(),
            warnings.size());
    return 1;
  }
  fprintf(out, "%s: valid configuration, %zu warning(s)\n", path, warnings.size());
  return 0;
}

}  // namespace

int KepCheckMain(int argc, char **argv, FILE *out, FILE *err) {
  if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
    fputs(kKepCheckHelp, out);
    return 0;
  }
  const bool rooted = argc > 2 && strcmp(argv[1], "--root") == 0;
  const char *root = rooted ? argv[2] : "";
  const int first = rooted ? 3 : 1;
  if (argc != first + 1 || (argv[first][0] == '-' && argv[first][1] != '\0') ||
      (rooted && root[0] == '\0')) {
    fputs(kKepCheckUsage, err);
    return 2;
  }
  KepDeallocateAppList();
  KepResetSettings();
  reportOut = out;
  Log_SetExtLogFn(PrintMessage);
  int status = CheckFile(argv[first], root, out);
  Log_SetExtLogFn(nullptr);
  reportOut = nullptr;
  KepDeallocateAppList();
  KepResetSettings();
  return status;
}
