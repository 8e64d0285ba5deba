// The status file that kep-status reads: the supervisor and every record, one
// line each, rewritten only when something it shows has changed. Format in
// docs/files.md.
#include <errno.h>
#include <stdio.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "ZelKepLib.h"
#include "ZelLog.h"
#include "kep_main.h"
#include "kep_start_app.h"
#include "process_identity.h"
#include "status_format.h"
#include "zel_files.h"

const char *kepStatusFilePath = nullptr;

namespace {

constexpr const char *kFn = "KepUpdateStatusFile";

// What the file shows of a record beyond the record itself: its last exit (a
// restart clears exitStatus and signalNum), booked once per Reaped state, and
// what a start or a stop of it waits for.
struct Entry {
  int32_t lastExitStatus = 0;  // -1: no status (signal, or given up after SIGKILL)
  uint32_t lastSignalNum = 0;
  struct timeval lastExitTime = {0, 0};  // uptime of the booking; 0.0: no exit yet
  bool exitBooked = false;
  KepSyncWait wait = KEP_SYNC_WAIT_NONE;
};

// By record: records never move while the list lives.
std::map<const KepApp *, Entry> entries;

Entry &EntryOf(const KepApp &app) { return entries[&app]; }

// What a line shows that can change during the run. Times move with the pid
// or the exit booking; the watchdog age is left to kep-status.
struct RecordMark {
  uint32_t state;
  int32_t pid;
  uint8_t disabled;
  uint32_t startCount;
  struct timeval lastExitTime;
  size_t deaths;
  KepSyncWait syncWait;
  uint32_t sigtermCount;
  uint8_t sigkillSent;

  explicit RecordMark(const KepApp &app)
      : state(app.state),
        pid(app.pid),
        disabled(app.disabled),
        startCount(app.startCount),
        lastExitTime(EntryOf(app).lastExitTime),
        deaths(app.deathTimeList.size()),
        syncWait(EntryOf(app).wait),
        sigtermCount(app.sigtermCount),
        sigkillSent(app.sigkillSent) {}
  bool operator==(const RecordMark &o) const {
    return state == o.state && pid == o.pid && disabled == o.disabled &&
           startCount == o.startCount && lastExitTime.tv_sec == o.lastExitTime.tv_sec &&
           lastExitTime.tv_usec == o.lastExitTime.tv_usec && deaths == o.deaths &&
           syncWait == o.syncWait && sigtermCount == o.sigtermCount && sigkillSent == o.sigkillSent;
  }
};

struct Written {
  bool valid = false;  // false: the next update writes
  uint32_t state = 0;
  uint32_t reason = 0;
  std::string reasonApp;
  std::vector<RecordMark> records;
};

Written written;
bool failureLogged = false;
struct timeval startedAt = {0, 0};
pid_t identityPid = 0;  // the process that identity belongs to (-b forks)
unsigned long long startTicks = 0;
std::string bootId;

// kep-status tells kep from a later process with the same pid (or a pid of an
// earlier boot) by its start time in clock ticks and the boot id.
void ReadIdentity() {
  identityPid = getpid();
  startTicks = KepProcStartTicks("self");
  if (bootId.empty()) bootId = KepBootId();
}

void Put(std::string &out, const char *key, const char *value) {
  out += ' ';
  out += key;
  out += '=';
  KepStatusEscape(out, value);
}

void PutNumber(std::string &out, const char *key, long long value) {
  char text[24];
  snprintf(text, sizeof text, "%lld", value);
  Put(out, key, text);
}

void PutTime(std::string &out, const char *key, const struct timeval &time) {
  char text[32];
  snprintf(text, sizeof text, "%lld.%06ld", static_cast<long long>(time.tv_sec),
           static_cast<long>(time.tv_usec));
  Put(out, key, text);
}

const char *ExitText(const Entry &entry, char (&text)[24]) {
  if (entry.lastExitTime.tv_sec == 0 && entry.lastExitTime.tv_usec == 0) return "none";
  if (entry.lastSignalNum != 0) {
    snprintf(text, sizeof text, "signal:%u", entry.lastSignalNum);
  } else if (entry.lastExitStatus >= 0) {
    snprintf(text, sizeof text, "status:%d", static_cast<int>(entry.lastExitStatus));
  } else {
    return "unknown";
  }
  return text;
}

const char *WaitText(const KepApp &app) {
  KepSyncWait wait = EntryOf(app).wait;
  if (wait == KEP_SYNC_WAIT_START) return "start";
  if (wait == KEP_SYNC_WAIT_STOP) return "stop";
  return app.state == KEP_APP_STATE_INITIALIZING ? "init" : "none";
}

std::string StatusText(const KepAppList &list) {
  std::string out = "kep-status 1\nkep";
  struct timeval now = {0, 0};
  KepGetUptime(&now);
  PutNumber(out, "pid", identityPid);
  PutNumber(out, "start", static_cast<long long>(startTicks));
  Put(out, "boot", bootId.c_str());
  PutTime(out, "started", startedAt);
  PutTime(out, "written", now);
  Put(out, "state", KepValueToName(KepStateNames, static_cast<int32_t>(currentState), 0));
  Put(out, "stop", KepValueToName(KepStopReasonNames, static_cast<int32_t>(stopReason), 0));
  Put(out, "stopApp", stopReasonApp.c_str());
  Put(out, "config", configFile != nullptr ? configFile : "");
  PutNumber(out, "apps", static_cast<long long>(list.size()));
  PutNumber(out, "ctlWait", KepControlWaitSeconds());
  out += '\n';
  for (const KepApp &app : list) {
    char exitText[24];
    out += "app";
    Put(out, "name", app.name.c_str());
    Put(out, "state", KepAppStateName(app.state));
    PutNumber(out, "pid", app.pid);
    PutNumber(out, "disabled", app.disabled != 0);
    PutNumber(out, "level", app.startLevel);
    PutTime(out, "exec", app.execTime);
    PutNumber(out, "starts", app.startCount);
    Put(out, "exit", ExitText(EntryOf(app), exitText));
    PutTime(out, "exitAt", EntryOf(app).lastExitTime);
    PutNumber(out, "deaths", static_cast<long long>(app.deathTimeList.size()));
    Put(out, "wait", WaitText(app));
    Put(out, "wd", app.wdFile ? app.wdFile->c_str() : "");
    // What tells the process from a later one with its pid, and how to stop it
    // in order: a kep that follows a killed one stops what it left running.
    PutNumber(out, "pstart", static_cast<long long>(app.run.procStart));
    Put(out, "stop", app.stopFile ? app.stopFile->c_str() : "");
    PutTime(out, "held", app.state == KEP_APP_STATE_HELD ? app.run.heldSince : timeval{0, 0});
    Put(out, "user", app.privileges.user ? app.privileges.user->c_str() : "");
    out += '\n';
  }
  out += "end\n";
  return out;
}

// A temporary file beside the status file, renamed over it: a reader sees the
// old file or the new one. The folder is kep's own, and the temporary file is
// made afresh all the same. No fsync: the file describes this run only.
bool WriteStatusFile(const char *path, const std::string &text, int *error) {
  zel::Replaced done = zel::ReplaceFile(path, ".tmp", text.data(), text.size(), 0644, false);
  *error = done.error;
  return done.failed == nullptr;
}

// Books the exit of every record that has become Reaped (or Held) since the last call:
// the state machine calls after each collection of exits, before the next pass
// can restart the record and clear its status.
void BookExits(const KepAppList &list) {
  for (const KepApp &app : list) {
    Entry &entry = EntryOf(app);
    if (app.state != KEP_APP_STATE_REAPED && app.state != KEP_APP_STATE_HELD) {
      entry.exitBooked = false;
      continue;
    }
    if (entry.exitBooked) continue;
    entry.exitBooked = true;
    // Given up after SIGKILL: no status was ever collected.
    bool givenUp = app.run.childReaped == 0;
    entry.lastSignalNum = givenUp ? 0 : app.signalNum;
    entry.lastExitStatus = givenUp ? -1 : app.exitStatus;
    KepGetUptime(&entry.lastExitTime);
  }
}

bool Changed(const KepAppList &list) {
  if (!written.valid || written.state != currentState || written.reason != stopReason ||
      written.reasonApp != stopReasonApp || written.records.size() != list.size()) {
    return true;
  }
  auto mark = written.records.begin();
  for (const KepApp &app : list) {
    if (!(RecordMark(app) == *mark++)) return true;
  }
  return false;
}

void Remember(const KepAppList &list) {
  written.valid = true;
  written.state = currentState;
  written.reason = stopReason;
  written.reasonApp = stopReasonApp;
  written.records.clear();
  for (const KepApp &app : list) written.records.emplace_back(app);
}

}  // namespace

std::string KepBesideStatusFile(const char *name) {
  if (kepStatusFilePath == nullptr) return "";
  std::string file = kepStatusFilePath;
  size_t slash = file.rfind('/');
  return file.substr(0, slash == std::string::npos ? 0 : slash + 1) + name;
}

void KepEnableStatusFile(const char *path) {
  kepStatusFilePath = path;
  entries.clear();
  written.valid = false;
  failureLogged = false;
  KepGetUptime(&startedAt);
}

void KepStatusWaitChanged(const KepApp &app, KepSyncWait wait) {
  if (kepStatusFilePath == nullptr) return;
  try {
    EntryOf(app).wait = wait;
  } catch (...) {
    return;  // no memory: the file shows it at the next change
  }
  KepUpdateStatusFile(0);
}

int KepUpdateStatusFile(int force) {
  const char *path = kepStatusFilePath;
  if (path == nullptr) return 0;
  const KepAppList &list = KepGetAppList();
  int error = 0;
  bool ok = false;
  try {
    BookExits(list);
    if (force == 0 && !Changed(list)) return 0;
    if (identityPid != getpid()) ReadIdentity();
    ok = WriteStatusFile(path, StatusText(list), &error);
    // A failed write is tried again at the next change, not in every pass.
    Remember(list);
  } catch (...) {
    error = ENOMEM;
    written.valid = false;
  }
  if (ok) return 1;
  if (!failureLogged) {
    failureLogged = true;
    Log_Msg(LOG_MSG_WARNING, 0, kKepMainUnit,
            "%s(): writing %s failed (errno = %i); later failures are not logged.", kFn, path,
            error);
  }
  return 0;
}
