// The supervisor core and process control against the fakes of the system-call
// seam and the support library, in simulated time.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <list>
#include <sstream>
#include <tuple>

#include "ZelKepLib.h"
#include "control_commands.h"
#include "fake.h"
#include "kep_main.h"
#include "kep_start_app.h"
#include "kep_sys.h"
#include "kep_test.h"
#include "process_identity.h"
#include "status_format.h"

namespace {

using kep::fake::World;
using Texts = std::vector<std::string>;

// A fresh model, fake world and supervisor state for every test (and case), the
// synchronisation and reboot-application files in a folder of its own.
class Sim : public ::testing::Test {
 protected:
  void SetUp() override {
    kepSyncFilesDir = dir_.Path().c_str();
    rebootFilePath = rebootPath_.c_str();
    Fresh();
  }
  void TearDown() override {
    kepSyncFilesDir = savedSyncDir_;
    rebootFilePath = kKepDefaultRebootFilePath;
  }
  void Fresh() {
    ResetModel();
    kep::fake::Reset();
    currentState = stopReason = resetAppCount = rebootAppCount = 0;
    rebootRequested = shutdownRequested = 0;
    runningSince = {0, 0};
    resetAppName.clear();
    rebootAppName.clear();
    log_.Clear();
  }
  static KepApp &Add(const std::string &name, uint32_t state, pid_t pid = 0,
                     uint32_t deathAction = KEP_DEATH_ACTION_NONE) {
    KepApp &app = KepGetAppList().emplace_back();
    app.name = name;
    app.state = state;
    app.pid = pid;
    app.deathAction = deathAction;
    return app;
  }
  static void Reap() {  // the SIGCHLD handler runs now
    World().sigchldPending = false;
    SigChildHandler(SIGCHLD, nullptr, nullptr);
  }
  static bool SigchldBlocked() {
    sigset_t mask;
    return sigprocmask(SIG_BLOCK, nullptr, &mask) == 0 && sigismember(&mask, SIGCHLD) == 1;
  }
  // The lines logged that contain needle, as "<level><n if notice> <text>".
  Texts Logged(const std::string &needle = "") const {
    Texts lines;
    for (const LogLine &line : log_.Lines())
      if (line.text.find(needle) != std::string::npos)
        lines.push_back(std::to_string(line.level) + (line.notice ? "n " : " ") + line.text);
    return lines;
  }

  const char *savedSyncDir_ = kepSyncFilesDir;
  TempDir dir_;
  std::string rebootPath_ = dir_.File("rebootApplicationData");
  LogCapture log_;
};

constexpr uint32_t kUp = KEP_APP_STATE_RUNNING, kReaped = KEP_APP_STATE_REAPED,
                   kKilled = KEP_APP_STATE_KILLED, kFailed = KEP_APP_STATE_START_FAILED,
                   kPending = KEP_APP_STATE_START_PENDING, kConfigured = KEP_APP_STATE_CONFIGURED;
constexpr uint32_t kNone = KEP_DEATH_ACTION_NONE, kRestart = KEP_DEATH_ACTION_RESTART,
                   kReset = KEP_DEATH_ACTION_RESET, kReboot = KEP_DEATH_ACTION_REBOOT,
                   kHalt = KEP_DEATH_ACTION_HALT, kNotSet = KEP_DEATH_ACTION_NOT_SET;
constexpr uint32_t kInitializing = KEP_STATE_INITIALIZING, kStarting = KEP_STATE_STARTING_APPS,
                   kRunning = KEP_STATE_RUNNING, kStopping = KEP_STATE_STOPPING_APPS,
                   kStay = KEP_STATE_NONE, kExiting = KEP_STATE_EXITING;
constexpr uint32_t rInvalid = KEP_STOP_REASON_INVALID, rNone = KEP_STOP_REASON_NONE,
                   rReset = KEP_STOP_REASON_RESET, rReboot = KEP_STOP_REASON_REBOOT,
                   rHalt = KEP_STOP_REASON_HALT;

using Start = Sim;
using Stop = Sim;
using ChildExits = Sim;
using StateMachine = Sim;
using DeathMonitor = Sim;
using StopReason = Sim;
using Watchdog = Sim;
using RebootRequest = Sim;
using Leftovers = Sim;
using HwWatchdog = Sim;
using Control = Sim;

// After the fork a 10 ms pause; then, with a start file and a sync time only,
// startSyncTime * 100 polls, each followed by 10 ms, until the file names the
// child. Signals that keep arriving (every 3 ms) shorten no wait. The status
// file is told of the new child at once, and of the wait.
TEST_F(Start, WaitsForTheChildsOwnStartFileAndAFailedForkStartsNothing) {
  const char *kStarted = "successfully started /bin/true[0], pid = 2000.";
  const char *kLate = "KepWaitForSyncFile(/s/start, 2000, 2) for /bin/true[0] failed (1036).";
  const char *kNoFork = "fork() failed, errno = 11.";
  const struct {
    bool startFile;
    uint32_t startSyncTime;
    pid_t writer;  // of the start file
    int signalEveryUs, forkErrno;
    double seconds;
    const char *waits;  // told to the status file: 0 none (booked), 1 start
    const char *last;   // logged
  } cases[] = {
      {false, 2, 1999, 0, 0, 0.01, "0", kStarted},  {true, 0, 1999, 3000, 0, 0.01, "0", kStarted},
      {true, 2, 2000, 0, 0, 0.01, "010", kStarted}, {true, 2, 1999, 0, 0, 2.01, "010", kLate},
      {true, 2, 1999, 3000, 0, 2.01, "010", kLate}, {true, 2, 2000, 0, EAGAIN, 0, "", kNoFork},
  };
  static std::string waits;
  KepAppControl control;
  control.changed = [](const KepApp &, KepSyncWait wait) { waits += std::to_string(wait); };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.last);
    Fresh();
    waits.clear();
    KepMutableSettings().startSyncTime = c.startSyncTime;
    World().signalEveryUs = c.signalEveryUs;
    World().forkErrno = c.forkErrno;
    World().syncFiles["/s/start"] = c.writer;
    KepApp &app = Add("/bin/true", kPending);
    if (c.startFile) app.startFile = "/s/start";
    EXPECT_EQ(KepStartOneApp(&app, control), c.forkErrno != 0 ? 1002 : 0);
    EXPECT_NEAR(kep::fake::Now() - 1000, c.seconds, 1e-6);
    std::vector<long long> booked{app.state, app.pid, app.startCount};
    EXPECT_EQ(booked, (c.forkErrno ? std::vector<long long>{7, 0, 0}
                                   : std::vector<long long>{kUp, 2000, 1}));
    EXPECT_EQ(waits, c.waits);
    EXPECT_EQ(log_.Texts().back(), std::string("KepStartOneApp(): ") + c.last);
  }
}

// On the passes of the state machine, every half second: each SIGTERM waits a
// second for a stop file that never comes (if anyone is left to write it). A
// child may end right before a pass with its SIGCHLD still pending: the signal
// sent then reaches the zombie, never a pid freed for reuse.
TEST_F(Stop, RepeatsSigtermThenKillsTheGroupThenGivesUp) {
  const struct {
    uint32_t retries, delay;  // killRetries, killDelay
    pid_t pid;
    int killErrno;
    double endsAt;         // the child ends before the pass at this second (0 never)
    const char *expected;  // second and signal (T, K) to pid, and the end
    size_t waits;          // for the stop file
    bool stopFile = true;  // without one there is nothing to wait for
  } cases[] = {
      {0, 1, 2000, 0, 0, "0T2000 2K-2000 4given-up", 1},
      {0, 1, 2000, 0, 0, "0T2000 2K-2000 4given-up", 0, false},
      {4, 1, 2000, 0, 0, "0T2000 2T2000 4T2000 6T2000 8T2000 10K-2000 12given-up", 5},
      {2, 15, 2000, 0, 16, "0T2000 16T2000 17.5exited", 2},
      {2, 15, 2000, 0, 48, "0T2000 16T2000 32T2000 48K-2000 48.5exited", 3},
      // Gone already counts as delivered; a group that is gone falls back to the pid.
      {2, 15, 2000, ESRCH, 0, "0T2000 16T2000 32T2000 48K-2000 48K2000 64given-up", 3},
      // kill(0) or kill(-1) would reach kep's own group or every process.
      {2, 15, 0, 0, 0, "64given-up", 0},
      {2, 15, 1, 0, 0, "64given-up", 0},
      {2, 15, -2000, 0, 0, "64given-up", 0},
      {2, 15, 2000, 0, 0, "0T2000 16T2000 32T2000 48K-2000 64given-up", 3},
  };
  for (auto [retries, delay, pid, killErrno, endsAt, expected, waits, stopFile] : cases) {
    SCOPED_TRACE(expected);
    Fresh();
    KepMutableSettings().killRetries = retries;
    KepMutableSettings().killDelay = delay;
    KepMutableSettings().stopSyncTime = 1;
    World().killErrno = killErrno;
    World().onSleep = [](unsigned long long) { EXPECT_FALSE(SigchldBlocked()); };
    KepApp &app = Add("app", kUp, pid);
    if (stopFile) app.stopFile = "/s/stop";
    std::ostringstream seen;
    auto note = [&](double t) {
      for (auto [to, signal] : World().signals)
        seen << t << (signal == SIGTERM ? "T" : "K") << to << " ";
      World().signals.clear();
    };
    EXPECT_EQ(KepStopOneApp(&app, SIGTERM), 0);
    note(0);
    for (double t = 0; app.state != kReaped && t < 100;) {
      kep::sys::USleep(stateMachineSleepUs);
      t = kep::fake::Now() - 1000;
      if (t == endsAt) kep::fake::End(pid, 0);
      bool exited = KepCheckChildAppStatus() == 1;
      note(t);
      if (app.state == kReaped) seen << t << (exited ? "exited" : "given-up");
    }
    EXPECT_EQ(seen.str(), expected);
    EXPECT_EQ(World().misdirected, 0);
    EXPECT_EQ(log_.Count("KepStopOneApp(): KepWaitForSyncFile("), waits);
    kep::fake::End(pid, SIGKILL);  // a late exit: still the record's if it gave up
    Reap();
    EXPECT_EQ(KepCheckChildAppStatus(), endsAt == 0 && pid > 0 ? 1u : 0u);
  }
  EXPECT_TRUE(log_.Contains("kill(2000, SIGTERM) for app, retry: 2/2."));  // the count before
  // A refused SIGKILL names the application's pid, not the group it went to.
  World().killErrno = EPERM;
  EXPECT_EQ(KepStopOneApp(&Add("app", kKilled, 2001), SIGKILL), 1003);
  EXPECT_EQ(Logged("SIGKILL) for app failed"),
            Texts{"1 KepStopOneApp(): kill(2001, SIGKILL) for app failed, errno = 1."});
}

// A 3 s pause after each stop, whatever signals arrive (every 0.1 s here). A
// refused kill changes nothing; the result is the last stop's. A child that the
// handler has reaped is not signalled (its pid is free) and has no stop file to
// wait for. Called from a handler, SIGCHLD stays blocked.
TEST_F(Stop, AllGoesLastConfiguredFirstAndPausesAfterEach) {
  // Running, Initializing, Killed, Reaped, Start_Failed, Running
  const uint32_t states[] = {6, 5, 8, 9, 4, 6};
  for (int i = 0; i < 6; ++i)
    Add(std::string(1, 'a' + i), states[i], 2000 + i).stopFile = "/s/stop";
  KepMutableSettings().stopSyncTime = 1;
  kep::fake::End(2000, 0);
  Reap();
  World().signalEveryUs = 100000;
  World().killErrno = EPERM;  // for f only: the pause after it clears it
  World().onSleep = [](unsigned long long) {
    World().killErrno = 0;
    EXPECT_TRUE(SigchldBlocked());
  };
  KepBlockSigChild();
  EXPECT_EQ(KepStopAllApps(&KepGetAppList()), 0);
  EXPECT_TRUE(SigchldBlocked());
  KepUnblockSigChild();
  EXPECT_EQ(World().signals, (kep::fake::PidInts{{2005, SIGTERM}, {2001, SIGTERM}}));
  EXPECT_EQ(kep::fake::Now(), 1010);
  std::vector<uint32_t> after;
  for (const KepApp &app : KepGetAppList()) after.push_back(app.state);
  EXPECT_EQ(after, (std::vector<uint32_t>{8, 8, 8, 9, 4, 6}));
  EXPECT_TRUE(log_.Contains("KepStopAllApps(): KepStopOneApp(f) failed (1003)."));
}

// A record given up after SIGKILL still owns its unreaped child; once that is
// reaped, its pid may come back for another child. Exits that arrive together
// are all booked, a stranger's is dropped, and the handler keeps errno.
TEST_F(ChildExits, AnExitGoesOnlyToTheRecordWhoseChildItIs) {
  Add("givenUp", kReaped, 2000);
  Add("off", kUp, 2001).disabled = 1;
  for (auto [pid, status] : kep::fake::PidInts{{2999, 0}, {2000, 9}, {2001, 3 << 8}})
    kep::fake::End(pid, status);
  errno = EDOM;
  Reap();
  EXPECT_EQ(errno, EDOM);
  EXPECT_EQ(KepCheckChildAppStatus(), 2u);
  Add("reuser", kUp, 2000);
  kep::fake::End(2000, 7 << 8);
  Reap();
  EXPECT_EQ(KepCheckChildAppStatus(), 1u);
  std::ostringstream exits;
  for (const KepApp &app : KepGetAppList())
    exits << app.state << ":" << app.exitStatus << ":" << app.signalNum << " ";
  EXPECT_EQ(exits.str(), "9:-1:9 9:3:0 9:7:0 ");
}

// Once its own process has ended, what is left of the group of an application
// that kep stopped, or whose death action acts, gets SIGTERM and, killDelay
// (15 s) later, SIGKILL; one that ends by itself with nothing to follow keeps
// its helpers.
TEST_F(ChildExits, AStoppedOrActingApplicationLeavesNothingOfItsGroupBehind) {
  const struct {
    uint32_t state, deathAction;
    unsigned helpers, stubborn;  // left in its group, and of them ignoring SIGTERM
    const char *expected;        // signals sent, and the seconds taken
  } cases[] = {
      {kUp, kNone, 2, 1, "0"},
      {kUp, kRestart, 0, 0, "0"},
      {kUp, kRestart, 2, 0, "T-2000 0"},
      {kKilled, kNone, 2, 1, "T-2000 K-2000 15"},
      {kUp, kReset, 3, 3, "T-2000 K-2000 15"},
  };
  for (auto [state, deathAction, helpers, stubborn, expected] : cases) {
    SCOPED_TRACE(expected);
    Fresh();
    Add("app", state, 2000, deathAction);
    World().groups[2000] = helpers;
    World().stubborn[2000] = stubborn;
    kep::fake::End(2000, 0);
    Reap();
    EXPECT_EQ(KepCheckChildAppStatus(), 1u);
    std::ostringstream seen;
    for (auto [to, signal] : World().signals) seen << (signal == SIGTERM ? "T" : "K") << to << " ";
    seen << kep::fake::Now() - 1000;
    EXPECT_EQ(seen.str(), expected);
  }
  EXPECT_EQ(Logged("KepStopGroup"),
            (Texts{"3n KepStopGroup(): 3 process(es) left in the group 2000 of app: SIGTERM.",
                   "3n KepStopGroup(): 3 process(es) left in the group 2000 of app: SIGKILL."}));
}

// b comes with what a last run left: its start clears it, all but startCount.
TEST_F(StateMachine, LevelsStartInOrderAndAnInitializingApplicationHoldsTheNextLevelBack) {
  KepApp &a = Add("/bin/sleep", kConfigured);
  KepApp &b = Add("/bin/cat", kConfigured);
  KepApp &c = Add("/bin/true", kConfigured);
  a.initFile = "/s/sleep-init";
  c.startLevel = 5;
  b.startCount = b.sigtermCount = 4;
  b.exitStatus = b.signalNum = b.sigkillSent = 1;
  // During the sleep of each pass the test plays the world, and every child
  // sent SIGTERM ends; the collection of exits follows, as in the product.
  std::vector<int> started;  // by the end of each pass
  World().onSleep = [&](unsigned long long us) {
    if (us != stateMachineSleepUs) return;
    size_t pass = started.size();
    started.push_back(World().nextPid - 2000);
    if (pass == 1) {
      EXPECT_EQ((std::vector<long long>{a.state, b.state, c.state, b.startCount, b.sigtermCount,
                                        b.exitStatus, b.signalNum, b.sigkillSent}),
                (std::vector<long long>{KEP_APP_STATE_INITIALIZING, kUp, kPending, 5, 0, 0, 0, 0}));
    }
    if (pass == 2) World().syncFiles[*a.initFile] = 1234;  // another process's: not yet
    if (pass == 3) World().syncFiles[*a.initFile] = a.pid;
    if (pass == 5) shutdownRequested = 1;
    if (pass == 99) currentState = kExiting;  // it never ends otherwise
    for (KepApp &app : KepGetAppList())
      if (app.state == kKilled && !app.childExited) kep::fake::End(app.pid, 0);
    Reap();
  };
  KepSetState(kInitializing, "test", 1);
  EXPECT_EQ(KepStateMachine(), kExiting);
  // Both level-0 applications in one pass, in list order; level 5 in the pass
  // after the one that saw the init file (the level is chosen before it reads).
  EXPECT_EQ(started, (std::vector<int>{0, 2, 2, 2, 2, 3, 3, 3}));
  EXPECT_EQ((std::vector<pid_t>{a.pid, b.pid, c.pid}), (std::vector<pid_t>{2000, 2001, 2002}));
  EXPECT_EQ(log_.Count("KepSetState(): "), 5u) << "a pass that keeps the state logs nothing";
  EXPECT_EQ(Logged("KepSetState(): ").front().substr(0, 2), "3 ") << "info, no notice";
  EXPECT_TRUE(log_.Contains("KepStateMachine(): processes exited: 3")) << log_.Dump();
  EXPECT_EQ(stopReason, rHalt);
}

// A shutdown during the start waits of a level ends the wait under way (1 s
// into it) and starts nothing more; what runs is stopped, with its 3 s pause.
TEST_F(StateMachine, AShutdownEndsTheStartWaitUnderWayAndStartsNothingMore) {
  for (const char *name : {"/bin/true", "/bin/cat", "/bin/sleep"})
    Add(name, kPending).startFile = "/s/never";
  KepMutableSettings().startSyncTime = 20;
  World().onSleep = [](unsigned long long) { shutdownRequested = kep::fake::Now() >= 1001; };
  EXPECT_EQ(KepStartingAppsState(), kStopping);
  EXPECT_EQ(World().signals, (kep::fake::PidInts{{2000, SIGTERM}}));
  EXPECT_EQ(World().nextPid, 2001);
  EXPECT_NEAR(kep::fake::Now() - 1000, 4.01, 0.011);
  EXPECT_TRUE(stopReason == rHalt && log_.Contains("Shutdown requested during start app state."));
}

// One pass of the handler of `state` over the records, beside a disabled
// Killed reset record, which never holds anything up. A refused kill fails the
// stop of all: the state stays, and the next pass takes the decision again.
TEST_F(StateMachine, EachHandlerTakesTheTransitionOfItsFirstMatchingCondition) {
  enum Event { kQuiet, kShutdown, kKillRefused };
  using Records = std::vector<std::pair<uint32_t, uint32_t>>;  // state, death action
  const struct {
    uint32_t state;
    Records records;
    Event event;
    uint32_t reason;  // the stop reason after the pass (StoppingApps finds it stored)
    uint32_t next;
  } cases[] = {
      {kInitializing, {{kUp, kNone}}, kQuiet, rInvalid, kStarting},
      {kStarting, {{kUp, kNone}}, kShutdown, rHalt, kStopping},
      {kStarting, {{kUp, kNone}, {kReaped, kReset}}, kQuiet, rReset, kStopping},
      {kStarting, {{kReaped, kReboot}, {kReaped, kHalt}}, kQuiet, rReboot, kStopping},
      {kStarting, {{kUp, kNone}, {kReaped, kRestart}}, kQuiet, rInvalid, kStay},
      {kStarting, {{kFailed, kReset}, {kReaped, kNone}}, kQuiet, rInvalid, kRunning},
      {kStarting, {}, kQuiet, rInvalid, kRunning},
      {kStarting, {{kUp, kNone}, {kReaped, kNotSet}}, kQuiet, rInvalid, kStay},
      {kRunning, {{kUp, kNone}}, kShutdown, rHalt, kStopping},
      {kRunning, {{kReaped, kHalt}, {kReaped, kReboot}}, kQuiet, rHalt, kStopping},
      {kRunning, {{kReaped, kHalt}, {kUp, kNone}}, kKillRefused, rHalt, kStay},
      {kRunning, {{kUp, kNone}, {kReaped, kRestart}}, kQuiet, rInvalid, kStarting},
      {kRunning, {{kUp, kNone}, {kReaped, kNone}}, kQuiet, rInvalid, kStay},
      {kStopping, {{kReaped, kNone}, {kKilled, kNone}}, kQuiet, rReboot, kStay},
      {kStopping, {{kReaped, kNone}, {kFailed, kNone}}, kQuiet, rReset, kStarting},
      {kStopping, {{kPending, kNone}}, kQuiet, rReboot, kExiting},
      {kStopping, {{kReaped, kNone}}, kQuiet, rHalt, kExiting},
      {kStopping, {}, kQuiet, rNone, kExiting},
  };
  int row = 0;
  for (auto [state, records, event, reason, next] : cases) {
    SCOPED_TRACE(row++);
    Fresh();
    for (auto [appState, deathAction] : records) Add("/bin/sleep", appState, 3000, deathAction);
    Add("/bin/cat", kKilled, 2999, kReset).disabled = 1;
    for (KepApp &app : KepGetAppList()) app.deathTimeList = {1, 2};
    shutdownRequested = event == kShutdown;
    World().killErrno = event == kKillRefused ? EPERM : 0;
    stopReason = state == kStopping ? reason : rInvalid;
    currentState = state;
    EXPECT_EQ(state == kInitializing ? KepInitializingState()
              : state == kStarting   ? KepStartingAppsState()
              : state == kRunning    ? KepRunningState()
                                     : KepStoppingAppsState(),
              next);
    EXPECT_EQ(stopReason, reason);
    EXPECT_EQ(rebootRequested, next == kExiting && reason == rReboot);
    EXPECT_EQ(World().nextPid, 2000) << "a restart starts in a later pass";
    EXPECT_FALSE(log_.Contains("KepSetState(): ")) << "the handlers leave the state to the loop";
    // A finished stop clears every history; a handler that goes on to start
    // has made every enabled record that is not up Start_Pending.
    for (const KepApp &app : KepGetAppList()) {
      EXPECT_EQ(app.deathTimeList.empty(), state == kStopping && next != kStay);
      EXPECT_TRUE(next != kStarting || app.disabled || app.state == kUp || app.state == kPending);
    }
  }
}

// Deaths at the given uptimes until one stops everything: the threshold is 3, an
// entry one period (600 s) old still counts. Before the application, records
// never counted; after it, one counted too, but not in the pass that stops.
TEST_F(DeathMonitor, CountsDeathsWithinThePeriodWithTheActionOfTheApplicationOrTheSetting) {
  const struct {
    uint32_t global, own;  // the death-monitor actions
    const char *name;
    std::vector<time_t> deaths;
    uint32_t reason;  // the stop reason (Invalid: restarted)
    std::list<uint32_t> window;
  } cases[] = {
      {kNotSet, kReboot, "app", {10, 11, 12, 13}, rInvalid, {}},  // the monitor is off
      {kReboot, kNotSet, "app", {100, 300, 700}, rReboot, {100, 300, 700}},
      {kReboot, kNotSet, "app", {100, 300, 701}, rInvalid, {300, 701}},
      {kReboot, kNotSet, "app", {50, 50, 50}, rReboot, {50, 50, 50}},  // within one second
      {kReboot, kRestart, "app", {10, 11, 12, 13}, rInvalid, {10, 11, 12, 13}},
      {kReboot, kNotSet, "snmpd", {10, 11, 12, 13}, rInvalid, {10, 11, 12, 13}},
      {kReboot, kNotSet, "/usr/sbin/snmpd", {10, 11, 12, 13}, rReboot, {10, 11, 12}},
      {kHalt, kReset, "app", {10, 11, 12, 13}, rReset, {10, 11, 12}},
  };
  int row = 0;
  for (auto [global, own, name, deaths, reason, window] : cases) {
    SCOPED_TRACE(row++);
    Fresh();
    KepMutableSettings().deathMonitorAction = global;
    for (uint32_t action : {kNone, kReset, kReboot, kHalt, kNotSet}) Add("x", kReaped, 0, action);
    Add("x", kReaped, 0, kRestart).disabled = 1;
    Add("x", kUp, 0, kRestart);
    KepApp &app = Add(name, kReaped, 0, kRestart);
    app.deathMonitorAction = own;
    Add("x", kReaped, 0, kRestart).deathMonitorAction = kRestart;
    for (time_t t : deaths) {
      World().nowUs = t * 1000000LL;
      if (KepCheckForBadApp(&KepGetAppList(), "handler", 9) != 0) break;
    }
    EXPECT_EQ(stopReason, reason);
    EXPECT_EQ(app.deathTimeList, window);
    size_t counted = 0;
    for (const KepApp &each : KepGetAppList()) counted += each.deathTimeList.size();
    EXPECT_EQ(counted, 2 * window.size() - (reason != rInvalid));
    EXPECT_EQ(log_.Count("snmpd caused deathMon action: none."),
              name == std::string("snmpd") ? 2 : 0);
  }
}

// The run of resets that one application causes in a row: the third becomes a
// reboot while the monitor is on. The reboot-application file survives only a
// reboot that it records, with one more than the count read at start-up.
TEST_F(StopReason, TheThirdResetInARowBecomesARecordedRebootAndEveryOtherStopRemovesTheFile) {
  const struct {
    uint32_t monitor;
    uint8_t disableReset;
    uint32_t held;    // the run held by "a": its count
    uint32_t reason;  // set, for app
    const char *app;
    uint32_t stored;   // the reason stored
    const char *run;   // the run held afterwards
    const char *file;  // "" removed
  } cases[] = {
      {kReboot, 0, 2, rReset, "a", rReboot, "a3", "a 2\n"},
      {kReboot, 0, 2, rReset, "b", rReset, "b1", ""},         // another application starts anew
      {kReboot, 0, 2, rReset, nullptr, rReset, "0", ""},      // none ends the run
      {kReboot, 1, 2, rReset, "a", rHalt, "a2", ""},          // disabled resets are not tracked
      {kNotSet, 0, 2, rReset, "a", rReset, "a2", ""},         // nor escalated without the monitor
      {kReboot, 0, 2, rHalt, "b", rHalt, "a2", ""},           // other reasons leave it held
      {kReboot, 0, 1, rReboot, "b", rReboot, "a1", "a 2\n"},  // the run's application
      {kReboot, 0, 0, rReboot, "a", rReboot, "0", ""},        // no run
      {kReboot, 0, 1, rReboot, nullptr, rReboot, "a1", ""},   // no application
  };
  for (auto [monitor, disableReset, held, reason, app, stored, run, file] : cases) {
    SCOPED_TRACE(::testing::Message() << held << (app ? app : "null") << reason);
    KepMutableSettings().deathMonitorAction = monitor;
    KepMutableSettings().disableReset = disableReset;
    resetAppName = held != 0 ? "a" : "";
    resetAppCount = held;
    rebootAppCount = 1;
    dir_.Write("rebootApplicationData", "old 1\n");
    KepSetStopReason(reason, app, "caller", 42);
    EXPECT_EQ(stopReason, stored);
    EXPECT_EQ(resetAppName + std::to_string(resetAppCount), run);
    EXPECT_EQ(ReadFile(rebootPath_), file);
  }
  // The escalation is a notice in the debug log, as the stop reason is.
  EXPECT_EQ(Logged("RESET -> REBOOT"), Texts{"3n KepSetStopReason(): RESET -> REBOOT, app: a."});
  // At the next start, the third recorded reboot keeps the application off.
  Add("a", kConfigured);
  dir_.Write("rebootApplicationData", "a 3\n");
  KepApplyRebootAppRule();
  EXPECT_TRUE(KepGetAppList().back().disabled && !FileExists(rebootPath_));
  // A failed write is reported, and the reboot goes ahead.
  std::string unreachable = dir_.File("missing/deeper/rebootApplicationData");
  Restore<const char *> rebootFile(rebootFilePath, unreachable.c_str());
  KepSetStopReason(rReboot, "b", "caller", 7);
  EXPECT_EQ(Logged().back(), "1 KepSetStopReason(): write reboot app (a, 4) failed.");
}

// Whole seconds beyond wdTimeout (60) count; a process that has not fed yet (no
// file, or one of an earlier pid) is timed from its start. The first failure in
// list order is returned; a refused SIGTERM leaves the record Running.
TEST_F(Watchdog, TimesOutWholeSecondsBeyondTheTimeoutFromTheLastFeedOrTheStart) {
  auto add = [&](const char *name, int status, long long ageUs, uint32_t state = kUp) -> KepApp & {
    KepApp &app = Add(name, state, 2000 + static_cast<pid_t>(KepGetAppList().size()));
    // Whether the file is there, the fake library does not tell.
    app.wdFile = dir_.Write(std::string(name) + "-wd", "");
    World().watchdogs[*app.wdFile] = {status, ageUs};
    return app;
  };
  add("slow", 0, 60900000);
  KepApp &late = add("late", 0, 61000000);
  add("ahead", 0, -5000000);
  add("restarted", KEP_FILE_OTHER_PID, 0).execTime = {939, 100000};
  KepApp &unfed = add("unfed", 0, 0);
  World().watchdogs.erase(*unfed.wdFile);
  unlink(unfed.wdFile->c_str());
  unfed.execTime = {939, 0};
  add("unreadable", KEP_FILE_MISSING, 0);
  add("garbled", KEP_FILE_DAMAGED, 0);
  // Never examined (their files would fail to read).
  add("disabled", 2, 0).disabled = 1;
  add("initializing", 2, 0, KEP_APP_STATE_INITIALIZING);
  add("killed", 2, 0, kKilled);
  add("unwatched", 2, 0).wdFile.reset();
  World().killErrno = EPERM;
  EXPECT_EQ(KepWdCheck(&KepGetAppList()), 1003);
  EXPECT_EQ(Logged("timeout: "),
            (Texts{"1 KepWdCheck(): watchdog timeout: late, pid: 2001 (60, 61, 939, 1000, 3).",
                   "1 KepWdCheck(): watchdog timeout: unfed, pid: 2004 (60, 61, 939, 1000, 0)."}));
  EXPECT_EQ(log_.Count(") failed ("), 4u);  // two stops refused, two files unreadable
  World().killErrno = 0;
  EXPECT_EQ(KepWdCheck(&KepGetAppList()), 2);
  EXPECT_EQ(late.state + unfed.state, 2 * kKilled);
  KepMutableSettings().wdTimeout = 0;  // turns the check off
  log_.Clear();
  EXPECT_EQ(KepWdCheck(&KepGetAppList()), 0);
  EXPECT_TRUE(log_.Lines().empty());
}

// An application that has not fed yet is watched from the later of its start
// and the supervisor's entry into Running, as first seen: one that needed 95 s
// to initialise is not struck at once, and a later return to Running (after
// another's restart) does not make it younger.
TEST_F(Watchdog, OneNotFedYetIsWatchedFromItsStartOrFromRunningWhicheverIsLater) {
  KepApp &slow = Add("slow", kUp, 2000);
  slow.wdFile = dir_.File("slow-wd");
  slow.execTime = {900, 0};
  runningSince = {995, 0};
  EXPECT_EQ(KepWdCheck(&KepGetAppList()), 0);
  runningSince = {1050, 0};
  World().nowUs = 1055000000;
  EXPECT_EQ(KepWdCheck(&KepGetAppList()), 0);
  EXPECT_EQ(slow.state, kUp);
  World().nowUs = 1056000000;
  EXPECT_EQ(KepWdCheck(&KepGetAppList()), 0);
  EXPECT_EQ(Logged("timeout: "),
            Texts{"1 KepWdCheck(): watchdog timeout: slow, pid: 2000 (60, 61, 995, 1056, 0)."});
}

// What an earlier kep of this boot left running is stopped before anything
// starts, last configured first, but only what still is the process that kep
// started (its start time): never a pid that another process has since, nor
// anything of another boot or of a kep that still runs.
TEST_F(Leftovers, OnlyWhatAKepOfThisBootStartedAndThatStillRunsIsStopped) {
  auto app = [](pid_t pid, unsigned long long start) {
    return "app name=a" + std::to_string(pid) + " state=Running pid=" + std::to_string(pid) +
           " disabled=0 level=0 exec=1.000000 starts=1 exit=none exitAt=0.000000 deaths=0 "
           "wait=none wd= pstart=" +
           std::to_string(start) + " stop=\n";
  };
  const struct {
    std::string boot;      // of the file
    bool kepRuns;          // its kep (pid 5) still runs
    const char *expected;  // the signals sent
  } cases[] = {
      {KepBootId(), false, "T3002 T3000 "},
      {"another-boot", false, ""},
      {KepBootId(), true, ""},
  };
  const std::string path = dir_.File("status");
  for (auto [boot, kepRuns, expected] : cases) {
    SCOPED_TRACE(boot + (kepRuns ? " kep runs" : ""));
    Fresh();
    // 3001 has been reused; 3003 was never known; 3000 and 3002 end on SIGTERM.
    World().started = {{3000, 77}, {3001, 99}, {3002, 80}, {3003, 50}};
    if (kepRuns) World().started[5] = 10;
    World().onSleep = [](unsigned long long) {
      World().started.erase(3000), World().started.erase(3002);
    };
    dir_.Write("status", "kep-status 1\nkep pid=5 start=10 boot=" + boot +
                             " started=1.000000 written=2.000000 state=Running stop=Invalid "
                             "stopApp= config= apps=4\n" +
                             app(3000, 77) + app(3001, 78) + app(3002, 80) + app(3003, 0) +
                             "end\n");
    Restore<const char *> statusFile(kepStatusFilePath, path.c_str());
    KepStopLeftovers();
    std::ostringstream seen;
    for (auto [to, signal] : World().signals) seen << (signal == SIGTERM ? "T" : "K") << to << " ";
    EXPECT_EQ(seen.str(), expected);
  }
}

// The board's watchdog: opened with its timeout set (what the driver makes of
// it logged), fed at each start and at the end of it; a failure is logged once
// and supervision goes on. Disarmed with the magic close at an orderly end,
// left armed for a reboot.
TEST_F(HwWatchdog, OpenedFedAndDisarmedOrLeftArmedEachFailureLoggedOnce) {
  const struct {
    int openErrno, setTimeoutErrno, driverTimeout, keepaliveErrno;
    bool nowayout, rebootAsked;
    const char *calls;   // to the device: open, timeout asked, magic close
    size_t feeds;        // at the start and at each of 3 passes
    const char *logged;  // what says why, once
  } cases[] = {
      {0, 0, 0, 0, false, false, "open|timeout 30|V|close|", 4, "disarmed."},
      {0, 0, 32, 0, false, false, "open|timeout 30|V|close|", 4,
       "set its timeout to 32 s, not 30 s."},
      {0, EINVAL, 60, 0, false, false, "open|V|close|", 4,
       "refused the timeout of 30 s (errno = 22); its timeout is 60 s."},
      {ENOENT, 0, 0, 0, false, false, "", 0, "cannot open /dev/watchdog (errno = 2)"},
      {EBUSY, 0, 0, 0, false, false, "", 0, "cannot open /dev/watchdog (errno = 16)"},
      {0, 0, 0, EIO, false, false, "open|timeout 30|V|close|", 0,
       "feeding /dev/watchdog failed (errno = 5)."},
      {0, 0, 0, 0, false, true, "open|timeout 30|", 4, "stays armed for the reboot."},
      {0, 0, 0, 0, true, false, "open|timeout 30|V|close|", 4,
       "stays armed (its driver never stops): the board resets in 30 s."},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.logged);
    Fresh();
    KepMutableSettings().hwWatchdog = "/dev/watchdog";
    World().deviceOpenErrno = c.openErrno;
    World().setTimeoutErrno = c.setTimeoutErrno;
    World().driverTimeout = c.driverTimeout;
    World().keepaliveErrno = c.keepaliveErrno;
    World().nowayout = c.nowayout;
    KepHwWatchdogStart();
    World().onSleep = [](unsigned long long) {
      if (kep::fake::Now() >= 1001.5) currentState = kExiting;
    };
    currentState = kRunning;
    KepStateMachine();
    KepHwWatchdogEnd(c.rebootAsked);
    std::string calls;
    for (const std::string &call : World().deviceCalls) calls += call + "|";
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(World().feeds.size(), c.feeds);
    EXPECT_EQ(log_.Count(c.logged), 1u) << log_.Dump();
  }
}

// Fed once a pass, and inside the waits of a stop of all that takes far
// longer than its timeout (100 applications, 3 s each): never half a second
// without a feed. The file beside the status file shows the last feed, and
// goes with the disarming.
TEST_F(HwWatchdog, FedInsideALongStopOfAll) {
  KepMutableSettings().hwWatchdog = "/dev/watchdog";
  const std::string status = dir_.File("status"), shown = dir_.File("hw-watchdog");
  Restore<const char *> statusFile(kepStatusFilePath, status.c_str());
  for (pid_t pid = 3000; pid < 3100; ++pid) Add("/bin/app", kUp, pid);
  KepHwWatchdogStart();
  EXPECT_EQ(KepStopAllApps(&KepGetAppList(), kepAppControl), 0);
  KepHwWatchdogShown hw;
  ASSERT_TRUE(KepParseHwWatchdog(ReadFile(shown), &hw)) << ReadFile(shown);
  KepHwWatchdogEnd(false);
  EXPECT_FALSE(FileExists(shown));
  const std::vector<double> &feeds = World().feeds;
  ASSERT_GT(feeds.size(), 600u);
  EXPECT_EQ(hw.device + " " + std::to_string(hw.timeout), "/dev/watchdog 30");
  EXPECT_NEAR(static_cast<double>(hw.fed.tv_sec) + hw.fed.tv_usec / 1e6, feeds.back(), 1e-6);
  double longest = 0;
  for (size_t i = 1; i < feeds.size(); ++i) longest = std::max(longest, feeds[i] - feeds[i - 1]);
  EXPECT_LE(longest, 0.5 + 1e-9);
  EXPECT_NEAR(feeds.back() - feeds.front(), 300, 0.01);
}

// Stopped by kep-ctl, whatever its death action, an application is held: its
// end restarts nothing and sets no stop reason, its death is not counted
// (the death monitor reboots at the first), its stale watchdog file is not
// looked at, and the reset that another application causes leaves it held.
// Started again it is forked anew, with one start more.
TEST_F(Control, AHeldApplicationIsNeitherRestartedNorCountedNorWatchedUntilStarted) {
  for (uint32_t action : {kRestart, kReset, kReboot, kHalt}) {
    SCOPED_TRACE(action);
    Fresh();
    KepMutableSettings().deathMonitorAction = kReboot;
    KepMutableSettings().deathMonitorMaxDeath = 1;
    KepMutableSettings().wdTimeout = 2;
    KepApp &app = Add("/bin/sleep", kUp, 3000, action);
    app.startCount = 1;
    app.wdFile = dir_.File("app-wd");  // never fed
    Add("/bin/cat", kUp, 3001, kReset);
    currentState = kRunning;
    runningSince = {1000, 0};
    std::vector<std::string> answers;
    int pass = 0, startedAt = 0;
    World().onSleep = [&](unsigned long long us) {
      if (us != stateMachineSleepUs) return;
      ++pass;
      KepControlResult result = KepControlProgress();
      if (result.done) answers.push_back(result.text);
      if (result.done && startedAt != 0) currentState = kExiting;
      if (pass == 1) answers.push_back(KepControlBegin({"stop", "sleep"}).text);
      if (pass == 6) kep::fake::End(3001, 0);
      if (pass == 20) startedAt = pass, answers.push_back(KepControlBegin({"start", "sleep"}).text);
      if (pass == 40) currentState = kExiting;
      for (KepApp &each : KepGetAppList())
        if (each.state == kKilled && !each.childExited) kep::fake::End(each.pid, SIGTERM);
      Reap();
    };
    KepStateMachine();
    EXPECT_EQ(answers, (Texts{"", "/bin/sleep stopped (ended by SIGTERM) and held", "",
                              "/bin/sleep started, pid 2001, start 2"}));
    EXPECT_EQ(stopReasonApp, "/bin/cat");
    EXPECT_TRUE(app.deathTimeList.empty());
    EXPECT_EQ(log_.Count("watchdog timeout"), 0u);
    EXPECT_EQ(log_.Count("(/bin/sleep)"), 0u) << "no death action acted";
    EXPECT_EQ(World().nextPid, 2002) << "/bin/cat after the reset, then /bin/sleep";
  }
}

// A command that cannot be done is refused and changes nothing; a signal
// needs no more than a process and a kep that is not stopping everything.
TEST_F(Control, RefusesWhatCannotBeDoneAndChangesNothing) {
  const struct {
    uint32_t kepState;
    KepControlRequest request;
    const char *answer;
  } cases[] = {
      {kRunning, {"stop", "nosuch"}, "no application nosuch in the configuration"},
      {kRunning, {"stop", "web"}, "web names 2 applications (/a/web, /b/web): give the whole name"},
      {kRunning, {"start", "db"}, "/bin/db is disabled: it forced too many reboots in a row"},
      {kRunning, {"stop", "/b/web"}, "/b/web is not running (Held)"},
      {kRunning, {"restart", "cron"}, "/bin/cron is not running (Reaped)"},
      {kRunning, {"start", "/a/web"}, "/a/web is not stopped (Running)"},
      {kRunning, {"signal", "/b/web", SIGHUP}, "/b/web has no process (Held)"},
      {kStarting, {"stop", "/a/web"}, "kep is still starting applications"},
      {kStopping, {"signal", "/a/web", SIGHUP}, "kep is stopping all applications"},
      {kStarting, {"signal", "/a/web", SIGUSR1}, "sent SIGUSR1 to /a/web (pid 3000)"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.answer);
    Fresh();
    Add("/a/web", kUp, 3000, kRestart);
    Add("/b/web", KEP_APP_STATE_HELD, 3001, kRestart);
    Add("/bin/db", kReaped, 0, kRestart).disabled = 1;
    Add("/bin/cron", kReaped, 3003, kReboot);  // its reboot is still to come
    currentState = c.kepState;
    KepControlResult result = KepControlBegin(c.request);
    EXPECT_TRUE(result.done);
    EXPECT_EQ(result.text, c.answer);
    bool sent = result.outcome == KepControlOutcome::kOk;
    EXPECT_EQ(World().signals, (sent ? kep::fake::PidInts{{3000, SIGUSR1}} : kep::fake::PidInts{}));
    std::string states;
    for (const KepApp &app : KepGetAppList())
      states += KepAppStateName(app.state) + std::string(" ");
    EXPECT_EQ(states, "Running Held Reaped Reaped ");
    EXPECT_EQ(currentState, c.kepState);
  }
}

// The command's own exit status is not looked at; the system call is the
// fallback, and a failed shell is logged with the command's name only.
TEST_F(RebootRequest, RunsTheFoundCommandOrFallsBackToTheSystemCall) {
  World().systemResult = 127 << 8;
  EXPECT_EQ(KepRebootWithCommand("/sbin/reboot"), 0);
  World().systemResult = -1;
  EXPECT_EQ(KepRebootWithCommand("/sbin/reboot"), 1039);
  EXPECT_EQ(KepRebootWithCommand(nullptr), 1044);
  World().rebootResult = 0;
  EXPECT_EQ(KepRebootWithCommand(nullptr), 0);
  EXPECT_EQ(World().rebootCalls, 3);
  EXPECT_EQ(Logged("RequestReboot(): system("),
            (Texts{"3n RequestReboot(): system(/sbin/reboot) succeeded.",
                   "1 RequestReboot(): system(reboot) failed, errno = 10."}));
}

}  // namespace
