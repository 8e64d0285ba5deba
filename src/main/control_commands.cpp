// What kep-ctl's commands do: stop and hold, start, restart, signal one
// application, each through the stops and starts that kep's own death actions
// use. One command at a time; a stop or a start is followed over the passes
// until the application is held, runs, or could not be started.
#include "control_commands.h"

#include <signal.h>

#include <algorithm>
#include <string>

#include "ZelKepLib.h"
#include "ZelLog.h"
#include "kep_main.h"
#include "kep_start_app.h"
#include "status_format.h"

namespace {

// The command under way: its application and what it waits for.
enum class Phase { kNone, kStopping, kStarting };
struct UnderWay {
  Phase phase = Phase::kNone;
  bool thenStart = false;  // restart: a start follows the stop
  KepApp *app = nullptr;
};
UnderWay underWay;

KepControlResult Done(KepControlOutcome outcome, std::string text) {
  underWay = UnderWay{};
  return {true, outcome, std::move(text)};
}
KepControlResult Refused(std::string text) { return Done(KepControlOutcome::kRefused, text); }
KepControlResult Failed(std::string text) { return Done(KepControlOutcome::kFailed, text); }
KepControlResult Pending() { return {false, KepControlOutcome::kOk, ""}; }

// The one application that name picks, or a refusal.
KepApp *Resolve(const std::string &name, std::string *refusal) {
  KepApp *found = nullptr;
  std::string all;
  size_t count = 0;
  for (KepApp &app : KepGetAppList()) {
    if (!KepNameMatches(app.name, name)) continue;
    found = &app;
    all += (count++ == 0 ? "" : ", ") + app.name;
  }
  if (count == 1) return found;
  *refusal = count == 0 ? "no application " + name + " in the configuration"
                        : name + " names " + std::to_string(count) + " applications (" + all +
                              "): give the whole name";
  return nullptr;
}

// Why kep takes no command now; empty when it does. A signal needs no more
// than a kep that is not stopping everything.
std::string BusyReason(const std::string &command) {
  uint32_t state = KepGetState();
  if (state == KEP_STATE_STOPPING_APPS || state == KEP_STATE_EXITING || shutdownRequested != 0)
    return "kep is stopping all applications";
  if (command != "signal" && state != KEP_STATE_RUNNING)
    return "kep is still starting applications";
  return "";
}

// Held, failed, or ended for good (death action none): one whose death
// action is still to act (a restart, a reboot) is left to it.
bool CanStart(const KepApp &app) {
  return app.state == KEP_APP_STATE_HELD || app.state == KEP_APP_STATE_START_FAILED ||
         (app.state == KEP_APP_STATE_REAPED && app.deathAction == KEP_DEATH_ACTION_NONE);
}

// Hands the record to the start of applications (the state machine's
// StartingApps), as a restart by its death action does.
KepControlResult BeginStart(KepApp &app) {
  app.run.holdAsked = 0;
  app.run.heldSince = {0, 0};
  app.state = KEP_APP_STATE_START_PENDING;
  app.pid = 0;
  app.signalNum = 0;
  app.exitStatus = 0;
  KepSetState(KEP_STATE_STARTING_APPS, "KepControl", __LINE__);
  underWay.phase = Phase::kStarting;
  underWay.app = &app;
  return Pending();
}

// SIGTERM as in any stop of one application; the retries and SIGKILL follow
// over the passes. Its end leaves the record Held.
KepControlResult BeginStop(KepApp &app, bool thenStart) {
  app.run.holdAsked = 1;
  int status = KepStopOneApp(&app, SIGTERM, kepAppControl);
  if (status != 0 && app.state == KEP_APP_STATE_RUNNING) {
    app.run.holdAsked = 0;
    return Failed("SIGTERM to " + app.name + " failed (error " + std::to_string(status) + ")");
  }
  underWay.phase = Phase::kStopping;
  underWay.thenStart = thenStart;
  underWay.app = &app;
  return Pending();
}

KepControlResult Signal(KepApp &app, int signal) {
  bool live = app.state == KEP_APP_STATE_RUNNING || app.state == KEP_APP_STATE_INITIALIZING ||
              app.state == KEP_APP_STATE_KILLED;
  bool gone = !live;
  int status = live ? KepSignalUnlessGone(app, signal, &gone) : 0;
  if (gone) return Refused(app.name + " has no process (" + KepAppStateName(app.state) + ")");
  if (status != 0) return Failed(KepSignalName(signal) + " to " + app.name + " failed");
  return Done(KepControlOutcome::kOk, "sent " + KepSignalName(signal) + " to " + app.name +
                                          " (pid " + std::to_string(app.pid) + ")");
}

std::string Ended(const KepApp &app) {
  if (app.run.childReaped == 0) return "given up after SIGKILL";
  if (app.signalNum != 0) return "ended by " + KepSignalName(static_cast<int>(app.signalNum));
  return "exit status " + std::to_string(app.exitStatus);
}

}  // namespace

KepControlResult KepControlBegin(const KepControlRequest &request) {
  std::string refusal = BusyReason(request.command);
  if (!refusal.empty()) return Refused(refusal);
  KepApp *app = Resolve(request.name, &refusal);
  if (app == nullptr) return Refused(refusal);
  if (app->disabled != 0)
    return Refused(app->name + " is disabled: it forced too many reboots in a row");
  const std::string state = KepAppStateName(app->state);
  if (request.command == "signal") return Signal(*app, request.signal);
  if (request.command == "start") {
    if (!CanStart(*app)) return Refused(app->name + " is not stopped (" + state + ")");
    return BeginStart(*app);
  }
  if (request.command == "restart" && CanStart(*app)) return BeginStart(*app);
  if (app->state != KEP_APP_STATE_RUNNING)
    return Refused(app->name + " is not running (" + state + ")");
  return BeginStop(*app, request.command == "restart");
}

KepControlResult KepControlProgress() {
  if (underWay.phase == Phase::kNone) return Pending();
  KepApp &app = *underWay.app;
  uint32_t state = KepGetState();
  if (state == KEP_STATE_STOPPING_APPS || state == KEP_STATE_EXITING)
    return Failed("kep is stopping all applications");
  if (underWay.phase == Phase::kStopping) {
    if (app.state != KEP_APP_STATE_HELD) return Pending();
    if (underWay.thenStart) return BeginStart(app);
    return Done(KepControlOutcome::kOk, app.name + " stopped (" + Ended(app) + ") and held");
  }
  switch (app.state) {
    case KEP_APP_STATE_RUNNING:
      return Done(KepControlOutcome::kOk, app.name + " started, pid " + std::to_string(app.pid) +
                                              ", start " + std::to_string(app.startCount));
    case KEP_APP_STATE_START_FAILED:
      return Failed(app.name + " could not be started");
    case KEP_APP_STATE_REAPED:
    case KEP_APP_STATE_KILLED:
      return Failed(app.name + " ended during its start (" + Ended(app) + ")");
    default:
      return Pending();
  }
}

void KepControlDrop() { underWay = UnderWay{}; }

long long KepControlWaitSeconds() {
  const long long retries = KepGetKillRetries(), delay = KepGetKillDelay();
  long long longest = 0;
  for (const KepApp &app : KepGetAppList()) {
    // Each SIGTERM and the SIGKILL come more than killDelay after the one
    // before, seen by a pass; then the group is given as long again, twice.
    long long stop = (retries + 2) * (delay + 1) + 2 * delay + 1;
    if (app.stopFile) stop += (retries + 1) * static_cast<long long>(KepGetStopSyncTime());
    long long start = 2;
    if (app.startFile) start += KepGetStartSyncTime();
    if (app.initFile) start += KepGetInitSyncTime();
    longest = std::max(longest, stop + start);
  }
  return longest;
}
