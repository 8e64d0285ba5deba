#include "check.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>

#include "ZelLog.h"
#include "ZelPathfind.h"
#include "kep_config.h"

namespace {

constexpr const char *kSeparators = " \t\n\r";

const char kKepCheckUsage[] = "usage: kep-check CONFIG\n";

const char kKepCheckHelp[] =
    "usage: kep-check CONFIG\n"
    "\n"
    "Reads the kep configuration file CONFIG with kep's own reader and prints the\n"
    "reader's messages, then the settings, global environment and applications it\n"
    "read. Exits 0 when the file is valid, 1 when it is not, 2 on a usage error.\n"
    "It starts nothing, needs no privileges and writes no file.\n"
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
    "    flags, so \"disableReboot false\" sets disableReboot.\n"
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

std::string BaseName(const std::string &name) {
  size_t slash = name.rfind('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

// "application NAME (line N)", without the line when it is not known.
std::string Label(const KepApp &app, size_t position, const std::vector<KepCheckAppLines> &lines,
                  uint32_t line = 0) {
  if (line == 0 && position < lines.size()) line = lines[position].application;
  std::string label = "application " + app.name;
  if (line != 0) label += " (line " + std::to_string(line) + ")";
  return label;
}

// The shortest time between two counted deaths of a restarting application,
// in whole seconds: two passes of 0.5 s, and the full start wait for an
// application that never writes its start file.
uint64_t RestartSeconds(bool withStartWait) {
  return 1 + (withStartWait ? KepGetStartSyncTime() : 0);
}

void CheckDeathMonitor(const KepApp &app, const std::string &label, std::vector<std::string> &out) {
  if (KepGetDeathMonitorAction() == KEP_DEATH_ACTION_NOT_SET) return;
  if (app.deathAction != KEP_DEATH_ACTION_RESTART) return;
  const uint64_t deaths = KepGetDeathMonitorMaxDeath();
  const uint64_t period = KepGetDeathMonitorPeriod();
  const std::string limit = "deathMonitorMaxDeath " + std::to_string(deaths) +
                            " cannot be reached within deathMonitorPeriod " +
                            std::to_string(period) + " s";
  if ((deaths - 1) * RestartSeconds(false) > period) {
    out.push_back(label + ": " + limit + ": " + std::to_string(deaths) + " deaths take at least " +
                  std::to_string((deaths - 1) * RestartSeconds(false)) + " s (1 s per restart)");
  } else if (app.startFile.has_value() && (deaths - 1) * RestartSeconds(true) > period) {
    out.push_back(label + ": " + limit + " if it dies before writing its start file: " +
                  std::to_string(deaths) + " deaths then take at least " +
                  std::to_string((deaths - 1) * RestartSeconds(true)) + " s (1 s + startSyncTime " +
                  std::to_string(KepGetStartSyncTime()) + " s per restart)");
  }
}

void CheckExecutable(const KepApp &app, const std::string &label, const char *searchPath,
                     std::vector<std::string> &out) {
  char *found = ZelPathfind(searchPath, app.name.c_str(), "rx");
  if (found != nullptr) {
    free(found);
    return;
  }
  out.push_back(label + ": executable not found on PATH \"" +
                (searchPath != nullptr ? searchPath : "(unset)") + "\"");
}

// A file name that is not absolute is resolved from kep's working folder by
// kep and from the application's own by the application; a note written
// behind a keyword without a path becomes the path.
void CheckPaths(const KepApp &app, const std::string &label, std::vector<std::string> &out) {
  const struct {
    const char *keyword;
    const std::optional<std::string> &file;
  } files[] = {{"startSync", app.startFile},
               {"initSync", app.initFile},
               {"stopSync", app.stopFile},
               {"wdEnable", app.wdFile}};
  for (const auto &entry : files) {
    if (!entry.file.has_value() || entry.file->compare(0, 1, "/") == 0) continue;
    out.push_back(
        label + ": " + entry.keyword + " file \"" + *entry.file + "\" is not an absolute path" +
        (entry.file->compare(0, 1, "#") == 0 ? " (a note behind the keyword is read as the path)"
                                             : ""));
  }
}

// Names and base names that make two applications share or remove each
// other's synchronisation files.
void CheckNames(const KepAppList &list, const std::vector<KepCheckAppLines> &lines,
                std::vector<std::string> &out) {
  size_t i = 0;
  for (auto first = list.begin(); first != list.end(); ++first, ++i) {
    size_t j = i + 1;
    for (auto second = std::next(first); second != list.end(); ++second, ++j) {
      const std::string a = BaseName(first->name), b = BaseName(second->name);
      const std::string labelA = Label(*first, i, lines), labelB = Label(*second, j, lines);
      if (first->name == second->name) {
        out.push_back(labelB + ": same name as " + labelA +
                      ": they share their synchronisation files and each start removes the "
                      "other's");
      } else if (a == b) {
        out.push_back(labelB + ": same synchronisation-file base name \"" + b + "\" as " + labelA +
                      ": they share their synchronisation files and each start removes the "
                      "other's");
      } else if (b.compare(0, a.size() + 1, a + "-") == 0) {
        out.push_back(labelA + ": its start removes the synchronisation files of " + labelB +
                      ", whose base name \"" + b + "\" begins with \"" + a + "-\"");
      } else if (a.compare(0, b.size() + 1, b + "-") == 0) {
        out.push_back(labelB + ": its start removes the synchronisation files of " + labelA +
                      ", whose base name \"" + a + "\" begins with \"" + b + "-\"");
      }
    }
  }
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

int CheckFile(const char *path, FILE *out) {
  int status;
  {
    QuietStderr quiet;
    status = KepReadConfig(path);
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
  std::vector<std::string> warnings = KepCheckWarnings(KepCheckScanFile(path), getenv("PATH"));
  for (const std::string &warning : warnings) fprintf(out, "warning: %s\n", warning.c_str());
  fprintf(out, "worst-case stop time: %s s\n",
          KepCheckSeconds(KepCheckWorstStopHalfSeconds()).c_str());
  fprintf(out, "%s: valid configuration, %zu warning(s)\n", path, warnings.size());
  return 0;
}

}  // namespace

KepCheckScan KepCheckScanFile(const char *path) {
  KepCheckScan scan;
  FILE *file = path != nullptr ? fopen(path, "r") : nullptr;
  if (file == nullptr) return scan;
  char line[400];
  uint32_t number = 0;
  bool inApplication = false;
  KepCheckAppLines current;
  while (fgets(line, sizeof line, file) != nullptr) {
    ++number;
    char *save = nullptr;
    const char *word = strtok_r(line, kSeparators, &save);
    if (word == nullptr || word[0] == '#') continue;
    const char *flag = inApplication ? "doNotDeathMonitor" : nullptr;
    if (!inApplication) {
      if (strcasecmp(word, "application") == 0) {
        current = KepCheckAppLines{number, 0};
        inApplication = true;
      } else if (strcasecmp(word, "disableReboot") == 0) {
        flag = "disableReboot";
      } else if (strcasecmp(word, "disableReset") == 0) {
        flag = "disableReset";
      }
    } else if (strcmp(word, "}") == 0) {
      scan.apps.push_back(current);
      inApplication = false;
    } else if (strcasecmp(word, "deathMonitorAction") == 0) {
      current.deathMonitorAction = number;
    }
    if (flag != nullptr && strcasecmp(word, flag) == 0) {
      const char *next = strtok_r(nullptr, kSeparators, &save);
      if (next != nullptr && next[0] != '#') {
        int app = inApplication ? static_cast<int>(scan.apps.size()) : -1;
        scan.ignoredWords.push_back({app, number, word, next});
      }
    }
  }
  fclose(file);
  return scan;
}

std::vector<std::string> KepCheckWarnings(const KepCheckScan &scan, const char *searchPath) {
  std::vector<std::string> out;
  const KepAppList &list = KepGetAppList();
  for (const KepCheckIgnoredWord &ignored : scan.ignoredWords) {
    std::string where = "line " + std::to_string(ignored.line);
    if (ignored.app >= 0 && static_cast<size_t>(ignored.app) < list.size()) {
      where = Label(*std::next(list.begin(), ignored.app), 0, {}, ignored.line);
    }
    out.push_back(where + ": " + ignored.keyword + " is a flag and takes no value: \"" +
                  ignored.word + "\" is ignored and the flag is set");
  }
  const std::vector<KepCheckAppLines> &lines = scan.apps;
  size_t position = 0;
  for (const KepApp &app : list) {
    const std::string label = Label(app, position, lines);
    if (app.deathAction == KEP_DEATH_ACTION_INVALID) {
      out.push_back(label +
                    ": no deathAction: it is never restarted, and if it exits while kep starts the "
                    "applications, kep never leaves that state");
    }
    if (app.deathMonitorAction != KEP_DEATH_ACTION_NOT_SET &&
        KepGetDeathMonitorAction() == KEP_DEATH_ACTION_NOT_SET) {
      uint32_t line = position < lines.size() ? lines[position].deathMonitorAction : 0;
      out.push_back(Label(app, position, lines, line) + ": deathMonitorAction " +
                    KepDeathActionName(app.deathMonitorAction) +
                    " never applies: death monitoring is off while the global deathMonitorAction "
                    "is not set");
    }
    CheckDeathMonitor(app, label, out);
    CheckExecutable(app, label, searchPath, out);
    CheckPaths(app, label, out);
    ++position;
  }
  CheckNames(list, lines, out);
  return out;
}

// Plays a stop of all applications through in half seconds, the worst case
// at every step: every application is running, ignores SIGTERM, never writes
// its stop file and outlives SIGKILL, so each stop-file wait runs its full
// stopSyncTime and every application is given up in the end. kep looks at
// the times once per pass, after the pass's 0.5 s sleep; a step is due once
// more than killDelay whole seconds have passed since the signal before it,
// and, the signal having been stamped a moment after the pass began, it is
// taken one pass later than the exact killDelay + 1 s. Stop-file waits block
// kep, so they hold up everything that comes after them.
uint64_t KepCheckWorstStopHalfSeconds() {
  const KepAppList &list = KepGetAppList();
  struct Stop {
    uint64_t wait;   // stop-file wait after each SIGTERM
    uint64_t stamp;  // time of the last signal
    uint32_t sigterms;
    bool killed;
    bool gone;
  };
  std::vector<Stop> stops;
  for (const KepApp &app : list) {
    const uint64_t wait = app.stopFile.has_value() ? 2ull * KepGetStopSyncTime() : 0;
    stops.push_back({wait, 0, 0, false, false});
  }
  const uint64_t delay = 2ull * (KepGetKillDelay() + 1);
  const uint64_t pause = 6;
  uint64_t now = 0;
  // KepStopAllApps: the last configured first.
  for (auto stop = stops.rbegin(); stop != stops.rend(); ++stop) {
    stop->stamp = now;
    stop->sigterms = 1;
    now += stop->wait + pause;
  }
  size_t left = stops.size();
  while (left > 0) {
    // No step is due before the earliest stamp + delay + 1: skip the passes
    // in between.
    uint64_t nextDue = UINT64_MAX;
    for (const Stop &stop : stops) {
      if (!stop.gone) nextDue = std::min(nextDue, stop.stamp + delay + 1);
    }
    now = std::max(now + 1, nextDue);
    for (Stop &stop : stops) {
      if (stop.gone || now - stop.stamp <= delay) continue;
      if (stop.killed) {
        stop.gone = true;
        --left;
      } else if (stop.sigterms > KepGetKillRetries()) {
        stop.killed = true;
        stop.stamp = now;
      } else {
        ++stop.sigterms;
        stop.stamp = now;
        now += stop.wait;
      }
    }
  }
  return now;
}

std::string KepCheckSeconds(uint64_t halfSeconds) {
  return std::to_string(halfSeconds / 2) + (halfSeconds % 2 != 0 ? ".5" : "");
}

int KepCheckMain(int argc, char **argv, FILE *out, FILE *err) {
  if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
    fputs(kKepCheckHelp, out);
    return 0;
  }
  if (argc != 2 || (argv[1][0] == '-' && argv[1][1] != '\0')) {
    fputs(kKepCheckUsage, err);
    return 2;
  }
  KepDeallocateAppList();
  KepResetSettings();
  reportOut = out;
  Log_SetExtLogFn(PrintMessage);
  int status = CheckFile(argv[1], out);
  Log_SetExtLogFn(nullptr);
  reportOut = nullptr;
  KepDeallocateAppList();
  KepResetSettings();
  return status;
}
