// kep-status: whether the kep that wrote the status file still runs, and
// what it runs, as a table or as key=value lines.
#include "report.h"

#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>

#include "ZelKepLib.h"
#include "process_identity.h"
#include "status_format.h"

namespace {

constexpr int kExitAllRunning = 0;
constexpr int kExitNotAllRunning = 1;
constexpr int kExitNoKep = 2;
constexpr int kExitUsage = 64;

// ---- output ----

long long SecondsSince(const struct timeval &at) {
  struct timeval now = {0, 0}, age = {0, 0};
  KepGetUptime(&now);
  KepTvSub(&now, &at, &age);
  return static_cast<long long>(age.tv_sec);
}

std::string Duration(long long seconds) {
  if (seconds < 0) seconds = 0;
  char text[32];
  if (seconds < 60) {
    snprintf(text, sizeof text, "%llds", seconds);
  } else if (seconds < 3600) {
    snprintf(text, sizeof text, "%lldm%02llds", seconds / 60, seconds % 60);
  } else if (seconds < 86400) {
    snprintf(text, sizeof text, "%lldh%02lldm", seconds / 3600, seconds % 3600 / 60);
  } else {
    snprintf(text, sizeof text, "%lldd%02lldh", seconds / 86400, seconds % 86400 / 3600);
  }
  return text;
}

std::string Escaped(const std::string &value) {
  std::string out;
  KepStatusEscape(out, value);
  return out;
}

const char *SignalName(int signal) {
  static const struct {
    int number;
    const char *name;
  } kNames[] = {{SIGHUP, "HUP"},   {SIGINT, "INT"},   {SIGQUIT, "QUIT"}, {SIGILL, "ILL"},
                {SIGTRAP, "TRAP"}, {SIGABRT, "ABRT"}, {SIGBUS, "BUS"},   {SIGFPE, "FPE"},
                {SIGKILL, "KILL"}, {SIGUSR1, "USR1"}, {SIGSEGV, "SEGV"}, {SIGUSR2, "USR2"},
                {SIGPIPE, "PIPE"}, {SIGALRM, "ALRM"}, {SIGTERM, "TERM"}};
  for (const auto &entry : kNames) {
    if (entry.number == signal) return entry.name;
  }
  return nullptr;
}

// What one application shows, as the table and the key=value lines need it.
struct View {
  const KepStatusApp *app;
  long long up = -1, exitAgo = -1, wdAge = -1;  // -1: not known
  int wdStatus = 0;                             // KepWatchdogFileTime's, when it failed
  std::string lastExit, notes;
};

View MakeView(const KepStatusApp &app, bool runs, const std::string &root) {
  View v;
  v.app = &app;
  bool alive = app.pid > 0 &&
               (app.state == "Running" || app.state == "Initializing" || app.state == "Killed");
  if (runs && alive) v.up = SecondsSince(app.exec);
  bool exited = app.exit != "none";
  if (runs && exited) v.exitAgo = SecondsSince(app.exitAt);
  if (runs && alive && !app.wd.empty()) {
    // A file seen through a sandbox's state folder sits under the same root.
    std::string path = app.wd[0] == '/' ? root + app.wd : app.wd;
    struct timeval age = {0, 0};
    v.wdStatus = KepWatchdogFileTime(path.c_str(), static_cast<pid_t>(app.pid), &age, nullptr,
                                     nullptr, nullptr);
    if (v.wdStatus == 0) v.wdAge = static_cast<long long>(age.tv_sec);
  }

  if (!exited) {
    v.lastExit = "-";
  } else if (app.exit.compare(0, 7, "status:") == 0) {
    v.lastExit = "exit " + app.exit.substr(7);
  } else if (app.exit.compare(0, 7, "signal:") == 0) {
    const char *name = SignalName(atoi(app.exit.c_str() + 7));
    v.lastExit = "signal " + app.exit.substr(7) + (name != nullptr ? std::string(" ") + name : "");
  } else {
    v.lastExit = app.exit;
  }
  if (v.exitAgo >= 0) v.lastExit += ", " + Duration(v.exitAgo) + " ago";

  auto note = [&v](const std::string &text) { v.notes += (v.notes.empty() ? "" : ", ") + text; };
  if (app.disabled) note("disabled");
  if (app.wait != "none") note("waits for its " + app.wait + " file");
  if (v.wdAge >= 0) note("watchdog fed " + Duration(v.wdAge) + " ago");
  if (v.wdStatus == 4) note("watchdog not fed yet");
  if (v.wdStatus != 0 && v.wdStatus != 4) note("watchdog file unreadable");
  if (app.deaths != 0)
    note(std::to_string(app.deaths) + (app.deaths == 1 ? " death" : " deaths") + " counted");
  return v;
}

std::string Known(long long value) { return value < 0 ? "" : std::to_string(value); }

void PrintKeys(FILE *out, const KepStatusData &d, const std::vector<View> &views, bool runs,
               long long fileAge, const char *path) {
  fprintf(out,
          "kep running=%d pid=%ld state=%s stop=%s stopApp=%s config=%s file=%s up=%s age=%s\n",
          runs ? 1 : 0, d.pid, Escaped(d.state).c_str(), Escaped(d.stop).c_str(),
          Escaped(d.stopApp).c_str(), Escaped(d.config).c_str(), Escaped(path).c_str(),
          runs ? Known(SecondsSince(d.started)).c_str() : "", Known(fileAge).c_str());
  for (const View &v : views) {
    const KepStatusApp &a = *v.app;
    fprintf(out,
            "app name=%s state=%s pid=%ld disabled=%d level=%lu up=%s starts=%lu exit=%s "
            "exitAgo=%s deaths=%lu wait=%s wdAge=%s\n",
            Escaped(a.name).c_str(), Escaped(a.state).c_str(), a.pid, a.disabled ? 1 : 0, a.level,
            Known(v.up).c_str(), a.starts, Escaped(a.exit).c_str(), Known(v.exitAgo).c_str(),
            a.deaths, Escaped(a.wait).c_str(), Known(v.wdAge).c_str());
  }
}

void PrintTable(FILE *out, const KepStatusData &d, const std::vector<View> &views, bool runs,
                bool sameBoot, long long fileAge, const char *path) {
  if (!runs) {
    const char *why = d.state == "Exiting" ? "it stopped in order"
                      : !sameBoot          ? "the device has restarted since it wrote the file"
                                  : "it ended without stopping in order (killed or crashed)";
    fprintf(out, "kep is NOT running: %s.\nThe status file %s is %s old; it last said:\n", why,
            path, fileAge >= 0 ? Duration(fileAge).c_str() : "of unknown age,");
  }
  fprintf(out, "kep pid %ld, %s", d.pid, d.state.c_str());
  if (runs) fprintf(out, ", up %s", Duration(SecondsSince(d.started)).c_str());
  if (d.stop != "Invalid" && d.stop != "None") {
    fprintf(out, ", stop reason %s%s%s", d.stop.c_str(), d.stopApp.empty() ? "" : " by ",
            d.stopApp.c_str());
  }
  fprintf(out, ", config %s\n", d.config.empty() ? "(none)" : d.config.c_str());
  if (runs) fprintf(out, "status file %s, last change %s ago\n", path, Duration(fileAge).c_str());
  fputc('\n', out);

  struct Column {
    const char *title;
    std::string (*cell)(const View &);
  };
  static const Column kColumns[] = {
      {"NAME", [](const View &v) { return v.app->name; }},
      {"STATE", [](const View &v) { return v.app->state; }},
      {"PID", [](const View &v) { return v.app->pid > 0 ? std::to_string(v.app->pid) : "-"; }},
      {"UP", [](const View &v) { return v.up >= 0 ? Duration(v.up) : "-"; }},
      {"STARTS", [](const View &v) { return std::to_string(v.app->starts); }},
      {"LAST EXIT", [](const View &v) { return v.lastExit; }},
      {"NOTES", [](const View &v) { return v.notes; }},
  };
  size_t widths[sizeof kColumns / sizeof kColumns[0]];
  for (size_t c = 0; c < sizeof kColumns / sizeof kColumns[0]; ++c) {
    widths[c] = strlen(kColumns[c].title);
    for (const View &v : views) widths[c] = std::max(widths[c], kColumns[c].cell(v).size());
  }
  auto row = [&](const std::vector<std::string> &cells) {
    std::string line;
    for (size_t c = 0; c < cells.size(); ++c) {
      line += cells[c];
      if (c + 1 < cells.size()) line += std::string(widths[c] + 2 - cells[c].size(), ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    fprintf(out, "%s\n", line.c_str());
  };
  std::vector<std::string> titles;
  for (const Column &column : kColumns) titles.push_back(column.title);
  row(titles);
  for (const View &v : views) {
    std::vector<std::string> cells;
    for (const Column &column : kColumns) cells.push_back(column.cell(v));
    row(cells);
  }
}

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
  long long fileAge = runs || sameBoot         ? SecondsSince(data.written)
                      : mtime <= time(nullptr) ? static_cast<long long>(time(nullptr) - mtime)
                                               : -1;
  std::vector<View> views;
  for (const KepStatusApp *app : apps) views.push_back(MakeView(*app, runs, SandboxRoot(path)));
  if (options.keys) {
    PrintKeys(out, data, views, runs, fileAge, path);
  } else {
    PrintTable(out, data, views, runs, sameBoot, fileAge, path);
  }
  if (!runs) return kExitNoKep;
  for (const KepStatusApp *app : apps) {
    if (app->disabled || app->state != "Running") return kExitNotAllRunning;
  }
  return kExitAllRunning;
}
