// kep-status: whether the kep that wrote the status file still runs, and
// what it runs; the options and the exit status.
#include <limits.h>
#include <string.h>
#include <time.h>

#include "process_identity.h"
#include "report.h"
#include "status_format.h"

namespace {

constexpr int kExitAllRunning = 0;
constexpr int kExitNotAllRunning = 1;
constexpr int kExitNoKep = 2;
constexpr int kExitUsage = 64;

void PrintUsage(FILE *out) {
  fputs(
      "Usage: kep-status [-k] [-f FILE] [NAME...]\n"
      "\n"
      "Shows what kep supervises, from the status file that kep keeps: each\n"
      "application's state, pid, time up, starts since kep started and last exit.\n"
      "  -f FILE  read FILE instead of /run/kep/status; for ROOT/run/kep/status\n"
      "           (a sandbox's state folder) the watchdog files are read under\n"
      "           ROOT too\n"
      "  -k       key=value lines for scripts instead of the table\n"
      "  NAME     only these applications (the configured name or its last part)\n"
      "\n"
      "Exit status: 0 kep runs and every application is Running; 1 kep runs and an\n"
      "application is not Running (starting, restarting, failed, ended, disabled);\n"
      "2 kep is not running, or the status file is missing or unreadable; 64 bad usage.\n",
      out);
}

int Usage(FILE *err, const std::string &problem) {
  fprintf(err, "kep-status: %s\n", problem.c_str());
  PrintUsage(err);
  return kExitUsage;
}

struct Options {
  const char *path = kKepStatusFilePath;
  bool keys = false;
  std::vector<std::string> names;
};

// The options into *options: -1 to go on, else the exit status (help, usage).
int ParseArguments(int argc, char **argv, FILE *out, FILE *err, Options *options) {
  bool taking = true;
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (!taking || arg[0] != '-' || arg[1] == '\0') {
      options->names.push_back(arg);
    } else if (strcmp(arg, "--") == 0) {
      taking = false;
    } else if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
      PrintUsage(out);
      return 0;
    } else if (strcmp(arg, "-k") == 0) {
      options->keys = true;
    } else if (strncmp(arg, "-f", 2) == 0) {
      options->path = arg[2] != '\0' ? arg + 2 : i + 1 < argc ? argv[++i] : "";
      if (*options->path == '\0') return Usage(err, "-f needs a file");
    } else {
      return Usage(err, std::string("unknown option ") + arg);
    }
  }
  return -1;
}

// The file at path, parsed; false, told on err, when it cannot be read or used.
bool LoadStatus(const char *path, KepStatusData *data, time_t *mtime, FILE *err) {
  std::string text, problem;
  if (!KepReadStatusFile(path, &text, mtime, &problem)) {
    fprintf(err, "kep-status: cannot read %s: %s\n", path, problem.c_str());
    return false;
  }
  if (!KepParseStatus(text, data, &problem)) {
    fprintf(err, "kep-status: %s is not a usable status file: %s\n", path, problem.c_str());
    return false;
  }
  return true;
}

// The applications that names pick (all without names); false for a name that
// matches none.
bool Select(const KepStatusData &data, const std::vector<std::string> &names,
            std::vector<const KepStatusApp *> *apps, std::string *unknown) {
  for (const std::string &name : names) {
    bool known = false;
    for (const KepStatusApp &app : data.apps) known = known || KepNameMatches(app.name, name);
    if (!known) {
      *unknown = name;
      return false;
    }
  }
  for (const KepStatusApp &app : data.apps) {
    bool wanted = names.empty();
    for (const std::string &name : names) wanted = wanted || KepNameMatches(app.name, name);
    if (wanted) apps->push_back(&app);
  }
  return true;
}

// For ROOT/run/kep/status, a sandbox's state folder: ROOT, under which the
// watchdog files are read too. Empty otherwise.
std::string SandboxRoot(const std::string &path) {
  size_t length = strlen(kKepStatusFilePath);
  if (path.size() > length && path.compare(path.size() - length, length, kKepStatusFilePath) == 0)
    return path.substr(0, path.size() - length);
  return "";
}

// The hardware-watchdog file beside the status file; false when there is none.
bool ReadHwWatchdog(const std::string &path, KepHwWatchdogShown *shown) {
  size_t slash = path.rfind('/');
  std::string file =
      path.substr(0, slash == std::string::npos ? 0 : slash + 1) + kKepHwWatchdogFileName;
  std::string text, problem;
  time_t mtime = 0;
  return KepReadStatusFile(file.c_str(), &text, &mtime, &problem) &&
         KepParseHwWatchdog(text, shown);
}

}  // namespace

long KepStatusKepPid(const KepStatusData &data) {
  if (data.pid <= 0 || data.pid > INT_MAX) return 0;
  if (!data.boot.empty()) {
    std::string boot = KepBootId();
    if (!boot.empty() && boot != data.boot) return 0;
  }
  return KepFindProcess(data.pid, data.start);
}

int KepStatusMain(int argc, char **argv, FILE *out, FILE *err) {
  Options options;
  int status = ParseArguments(argc, argv, out, err, &options);
  if (status >= 0) return status;
  const char *path = options.path;
  time_t mtime = 0;
  KepStatusData data;
  if (!LoadStatus(path, &data, &mtime, err)) return kExitNoKep;
  std::vector<const KepStatusApp *> apps;
  std::string unknown;
  if (!Select(data, options.names, &apps, &unknown))
    return Usage(err, "no application " + unknown + " in " + path);

  bool runs = KepStatusKepPid(data) != 0;
  bool sameBoot = !data.boot.empty() && data.boot == KepBootId();
  long long fileAge = runs || sameBoot         ? KepSecondsSince(data.written)
                      : mtime <= time(nullptr) ? static_cast<long long>(time(nullptr) - mtime)
                                               : -1;
  KepStatusReport report;
  report.data = &data;
  for (const KepStatusApp *app : apps)
    report.views.push_back(KepMakeView(*app, runs, SandboxRoot(path)));
  report.runs = runs;
  report.sameBoot = sameBoot;
  report.fileAge = fileAge;
  report.path = path;
  report.hwWatchdog = ReadHwWatchdog(path, &report.hw);
  if (options.keys) {
    KepPrintKeys(out, report);
  } else {
    KepPrintTable(out, report);
  }
  if (!runs) return kExitNoKep;
  for (const KepStatusApp *app : apps) {
    if (app->disabled || app->state != "Running") return kExitNotAllRunning;
  }
  return kExitAllRunning;
}
