// kep-status's report: what each application shows, as a table or as
// key=value lines.
#include "report.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "ZelKepLib.h"
#include "control_protocol.h"

long long KepSecondsSince(const struct timeval &at) {
  struct timeval now = {0, 0}, age = {0, 0};
  KepGetUptime(&now);
  KepTvSub(&now, &at, &age);
  return static_cast<long long>(age.tv_sec);
}

namespace {

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

std::string Known(long long value) { return value < 0 ? "" : std::to_string(value); }

}  // namespace

KepStatusView KepMakeView(const KepStatusApp &app, bool runs, const std::string &root) {
  KepStatusView v;
  v.app = &app;
  bool alive = app.pid > 0 &&
               (app.state == "Running" || app.state == "Initializing" || app.state == "Killed");
  if (runs && alive) v.up = KepSecondsSince(app.exec);
  bool exited = app.exit != "none";
  if (runs && exited) v.exitAgo = KepSecondsSince(app.exitAt);
  if (runs && app.held.tv_sec != 0) v.heldAgo = KepSecondsSince(app.held);
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
    std::string name = KepSignalName(atoi(app.exit.c_str() + 7));
    v.lastExit = "signal " + app.exit.substr(7) +
                 (name.compare(0, 3, "SIG") == 0 ? " " + name.substr(3) : "");
  } else {
    v.lastExit = app.exit;
  }
  if (v.exitAgo >= 0) v.lastExit += ", " + Duration(v.exitAgo) + " ago";

  auto note = [&v](const std::string &text) { v.notes += (v.notes.empty() ? "" : ", ") + text; };
  if (app.disabled) note("disabled");
  if (v.heldAgo >= 0) note("stopped by kep-ctl " + Duration(v.heldAgo) + " ago");
  if (app.wait != "none") note("waits for its " + app.wait + " file");
  if (v.wdAge >= 0) note("watchdog fed " + Duration(v.wdAge) + " ago");
  if (v.wdStatus == 4) note("watchdog not fed yet");
  if (v.wdStatus != 0 && v.wdStatus != 4) note("watchdog file unreadable");
  if (app.deaths != 0)
    note(std::to_string(app.deaths) + (app.deaths == 1 ? " death" : " deaths") + " counted");
  return v;
}

void KepPrintKeys(FILE *out, const KepStatusReport &r) {
  const KepStatusData &d = *r.data;
  fprintf(out, "kep running=%d pid=%ld state=%s stop=%s stopApp=%s config=%s file=%s up=%s age=%s",
          r.runs ? 1 : 0, d.pid, Escaped(d.state).c_str(), Escaped(d.stop).c_str(),
          Escaped(d.stopApp).c_str(), Escaped(d.config).c_str(), Escaped(r.path).c_str(),
          r.runs ? Known(KepSecondsSince(d.started)).c_str() : "", Known(r.fileAge).c_str());
  if (r.hwWatchdog) {
    fprintf(out, " hwWatchdog=%s hwWatchdogTimeout=%ld hwWatchdogFedAgo=%s",
            Escaped(r.hw.device).c_str(), r.hw.timeout,
            r.hw.fed.tv_sec != 0 ? Known(KepSecondsSince(r.hw.fed)).c_str() : "");
  }
  fputc('\n', out);
  for (const KepStatusView &v : r.views) {
    const KepStatusApp &a = *v.app;
    fprintf(out,
            "app name=%s state=%s pid=%ld disabled=%d level=%lu up=%s starts=%lu exit=%s "
            "exitAgo=%s deaths=%lu wait=%s wdAge=%s heldAgo=%s user=%s\n",
            Escaped(a.name).c_str(), Escaped(a.state).c_str(), a.pid, a.disabled ? 1 : 0, a.level,
            Known(v.up).c_str(), a.starts, Escaped(a.exit).c_str(), Known(v.exitAgo).c_str(),
            a.deaths, Escaped(a.wait).c_str(), Known(v.wdAge).c_str(), Known(v.heldAgo).c_str(),
            Escaped(a.user).c_str());
  }
}

namespace {

// What kep is doing, and whether it still runs, above the table.
void PrintHeader(FILE *out, const KepStatusReport &r) {
  const KepStatusData &d = *r.data;
  if (!r.runs) {
    const char *why = d.state == "Exiting" ? "it stopped in order"
                      : !r.sameBoot        ? "the device has restarted since it wrote the file"
                                    : "it ended without stopping in order (killed or crashed)";
    fprintf(out, "kep is NOT running: %s.\nThe status file %s is %s old; it last said:\n", why,
            r.path, r.fileAge >= 0 ? Duration(r.fileAge).c_str() : "of unknown age,");
  }
  fprintf(out, "kep pid %ld, %s", d.pid, d.state.c_str());
  if (r.runs) fprintf(out, ", up %s", Duration(KepSecondsSince(d.started)).c_str());
  if (d.stop != "Invalid" && d.stop != "None") {
    fprintf(out, ", stop reason %s%s%s", d.stop.c_str(), d.stopApp.empty() ? "" : " by ",
            d.stopApp.c_str());
  }
  fprintf(out, ", config %s\n", d.config.empty() ? "(none)" : d.config.c_str());
  if (r.runs)
    fprintf(out, "status file %s, last change %s ago\n", r.path, Duration(r.fileAge).c_str());
  if (r.hwWatchdog) {
    fprintf(out, "hardware watchdog %s, timeout %ld s, fed %s ago\n", r.hw.device.c_str(),
            r.hw.timeout, Duration(KepSecondsSince(r.hw.fed)).c_str());
  }
  fputc('\n', out);
}

struct Column {
  const char *title;
  std::string (*cell)(const KepStatusView &);
};

const Column kColumns[] = {
    {"NAME", [](const KepStatusView &v) { return v.app->name; }},
    {"STATE", [](const KepStatusView &v) { return v.app->state; }},
    {"PID",
     [](const KepStatusView &v) { return v.app->pid > 0 ? std::to_string(v.app->pid) : "-"; }},
    {"UP", [](const KepStatusView &v) { return v.up >= 0 ? Duration(v.up) : "-"; }},
    {"STARTS", [](const KepStatusView &v) { return std::to_string(v.app->starts); }},
    {"LAST EXIT", [](const KepStatusView &v) { return v.lastExit; }},
    {"NOTES", [](const KepStatusView &v) { return v.notes; }},
};
// Only where an application runs as a user of its own, after PID.
const Column kUserColumn = {
    "USER", [](const KepStatusView &v) { return v.app->user.empty() ? "-" : v.app->user; }};

std::vector<Column> Columns(const std::vector<KepStatusView> &views) {
  std::vector<Column> columns(std::begin(kColumns), std::end(kColumns));
  if (std::any_of(views.begin(), views.end(),
                  [](const KepStatusView &v) { return !v.app->user.empty(); })) {
    columns.insert(columns.begin() + 3, kUserColumn);
  }
  return columns;
}

// One row, each cell padded to its column's width.
void PrintRow(FILE *out, const std::vector<std::string> &cells, const std::vector<size_t> &widths) {
  std::string line;
  for (size_t c = 0; c < cells.size(); ++c) {
    line += cells[c];
    if (c + 1 < cells.size()) line += std::string(widths[c] + 2 - cells[c].size(), ' ');
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  fprintf(out, "%s\n", line.c_str());
}

}  // namespace

void KepPrintTable(FILE *out, const KepStatusReport &r) {
  PrintHeader(out, r);
  const std::vector<Column> columns = Columns(r.views);
  std::vector<size_t> widths;
  for (const Column &column : columns) {
    widths.push_back(strlen(column.title));
    for (const KepStatusView &v : r.views)
      widths.back() = std::max(widths.back(), column.cell(v).size());
  }
  std::vector<std::string> titles;
  for (const Column &column : columns) titles.push_back(column.title);
  PrintRow(out, titles, widths);
  for (const KepStatusView &v : r.views) {
    std::vector<std::string> cells;
    for (const Column &column : columns) cells.push_back(column.cell(v));
    PrintRow(out, cells, widths);
  }
}
