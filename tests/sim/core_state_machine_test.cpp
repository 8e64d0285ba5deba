// The supervisor state machine on the fake clock with fake processes: the
// handlers one pass at a time, and whole runs of KepStateMachine in which the
// test plays the world during each pass's sleep.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <functional>
#include <string>
#include <vector>

#include "fake.h"
#include "kep_main.h"
#include "kep_test.h"

using kep::fake::World;

namespace {

// Executables that the start finds on the PATH; the fakes never run them.
constexpr const char *kA = "/bin/sleep";
constexpr const char *kB = "/bin/cat";
constexpr const char *kC = "/bin/true";

class StateMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    Clean();
    rebootFilePath = rebootPath_.c_str();
  }
  void TearDown() override {
    Clean();
    rebootFilePath = kKepDefaultRebootFilePath;
  }
  static void Clean() {
    ResetModel();
    kep::fake::Reset();
    currentState = KEP_STATE_INVALID;
    rebootRequested = shutdownRequested = 0;
    stopReason = KEP_STOP_REASON_INVALID;
    resetAppName.clear();
    resetAppCount = rebootAppCount = 0;
  }

  KepApp &Add(const char *name, uint32_t deathAction, uint32_t startLevel = 0) {
    KepApp app;
    app.name = name;
    app.deathAction = deathAction;
    app.startLevel = startLevel;
    app.state = KEP_APP_STATE_CONFIGURED;
    app.index = static_cast<uint32_t>(KepGetAppList().size());
    KepGetAppList().push_back(app);
    return KepGetAppList().back();
  }

  // Runs KepStateMachine from Initializing. During the sleep of pass n (0 is the
  // Initializing pass) meanwhile(n) plays the world, and every child that has
  // been sent SIGTERM ends; the collection of exits follows, as in the product.
  uint32_t Run(const std::function<void(int)> &meanwhile) {
    int pass = 0;
    World().onSleep = [&](unsigned long long us) {
      if (us != stateMachineSleepUs) return;
      if (pass == 400) {
        ADD_FAILURE() << "the machine does not end; state " << KepGetState();
        shutdownRequested = 1;
      }
      if (pass++ > 400) return;
      meanwhile(pass - 1);
      for (KepApp &app : KepGetAppList()) {
        if (app.state == KEP_APP_STATE_KILLED && !app.childExited) Exit(app, 0);
      }
    };
    KepSetState(KEP_STATE_INITIALIZING, "test", 1);
    uint32_t end = KepStateMachine();
    World().onSleep = nullptr;
    return end;
  }

  // The child of the record ends; the SIGCHLD handler runs as the kernel would.
  static void Exit(const KepApp &app, int code) {
    kep::fake::Exit(app.pid, code);
    SigChildHandler(SIGCHLD, nullptr, nullptr);
  }

  TempDir dir_;
  std::string rebootPath_ = dir_.File("rebootApplicationData");
  LogCapture log_;
};

TEST_F(StateMachine, LevelsStartInOrderAndAnInitializingApplicationHoldsTheNextLevelBack) {
  KepApp &a = Add(kA, KEP_DEATH_ACTION_NONE, 0);
  KepApp &b = Add(kB, KEP_DEATH_ACTION_NONE, 0);
  KepApp &c = Add(kC, KEP_DEATH_ACTION_NONE, 5);
  a.initFile = "/sync/sleep-init";
  std::vector<size_t> started;  // by the end of each pass
  size_t logged = 0;
  Run([&](int pass) {
    if (pass <= 5) started.push_back(World().forked.size());
    if (pass == 1) {
      EXPECT_EQ(std::vector<uint32_t>({a.state, b.state, c.state}),
                std::vector<uint32_t>({KEP_APP_STATE_INITIALIZING, KEP_APP_STATE_RUNNING,
                                       KEP_APP_STATE_START_PENDING}));
    } else if (pass == 2) {
      kep::fake::WriteSyncFile(*a.initFile, 1234);  // for another process: not yet
      logged = log_.Lines().size();
    } else if (pass == 3) {
      EXPECT_EQ(log_.Lines().size(), logged) << "a pass that keeps the state logs nothing";
      kep::fake::WriteSyncFile(*a.initFile, a.pid);
    } else if (pass == 5) {
      shutdownRequested = 1;
    }
  });
  // Both level-0 applications in one pass, in list order; level 5 in the pass
  // after the one that saw the init file (the level is chosen before it reads).
  EXPECT_EQ(started, (std::vector<size_t>{0, 2, 2, 2, 2, 3}));
  EXPECT_EQ(std::vector<pid_t>({a.pid, b.pid, c.pid}), (std::vector<pid_t>{2000, 2001, 2002}));
  EXPECT_TRUE(log_.Contains("KepStateMachine(): processes exited: 3")) << log_.Dump();
  EXPECT_EQ(stopReason, KEP_STOP_REASON_HALT);
}

// Otherwise a restarted application would carry the last stop's escalation.
TEST_F(StateMachine, AStartClearsWhatTheLastRunLeftButTheStartCount) {
  KepApp &app = Add(kA, KEP_DEATH_ACTION_NONE);
  app.state = KEP_APP_STATE_START_PENDING;
  app.startCount = 4;
  app.exitStatus = -1;
  app.signalNum = app.sigtermCount = 3;
  app.sigkillSent = 1;
  EXPECT_EQ(KepStartingAppsState(), KEP_STATE_RUNNING);
  EXPECT_EQ(std::vector<long long>({app.startCount, app.exitStatus, app.signalNum, app.sigtermCount,
                                    app.sigkillSent, app.execTime.tv_sec}),
            std::vector<long long>({5, 0, 0, 0, 0, 1000}));
}

TEST_F(StateMachine, AResetApplicationDyingThreeTimesInARowEndsInARecordedReboot) {
  KepMutableSettings().deathMonitorAction = KEP_DEATH_ACTION_REBOOT;
  KepApp &app = Add(kA, KEP_DEATH_ACTION_RESET);
  Add(kB, KEP_DEATH_ACTION_NONE);
  Run([&](int) {
    if (KepGetState() == KEP_STATE_RUNNING && app.state == KEP_APP_STATE_RUNNING) Exit(app, 1);
  });
  EXPECT_EQ(app.startCount, 3u);
  EXPECT_EQ(log_.Count("StoppingApps:5 => StartingApps:3"), 2u) << log_.Dump();
  EXPECT_EQ(stopReason, KEP_STOP_REASON_REBOOT);
  EXPECT_EQ(rebootRequested, 1);
  EXPECT_EQ(ReadFile(rebootPath_), "/bin/sleep 1\n");
}

// Otherwise the machine would wait in StoppingApps for an application that was
// never signalled.
TEST_F(StateMachine, AFailedStopAllIsTakenUpAgainInTheNextPass) {
  Add(kA, KEP_DEATH_ACTION_HALT).state = KEP_APP_STATE_REAPED;
  KepApp &alive = Add(kB, KEP_DEATH_ACTION_NONE);
  alive.state = KEP_APP_STATE_RUNNING;
  alive.pid = 2001;
  World().killErrno = EPERM;
  EXPECT_EQ(KepRunningState(), KEP_STATE_NONE);
  EXPECT_TRUE(log_.Contains("KepRunningState(): KepStopAllApps() failed."));
  World().killErrno = 0;
  EXPECT_EQ(KepRunningState(), KEP_STATE_STOPPING_APPS);
  EXPECT_EQ(alive.state, KEP_APP_STATE_KILLED);
}

// Short names for the table below.
constexpr uint32_t kUp = KEP_APP_STATE_RUNNING, kReaped = KEP_APP_STATE_REAPED,
                   kKilled = KEP_APP_STATE_KILLED, kFailed = KEP_APP_STATE_START_FAILED,
                   kPending = KEP_APP_STATE_START_PENDING;
constexpr uint32_t kNone = KEP_DEATH_ACTION_NONE, kRestart = KEP_DEATH_ACTION_RESTART,
                   kReset = KEP_DEATH_ACTION_RESET, kReboot = KEP_DEATH_ACTION_REBOOT,
                   kHalt = KEP_DEATH_ACTION_HALT, kNotSet = KEP_DEATH_ACTION_NOT_SET;
constexpr uint32_t kInitializing = KEP_STATE_INITIALIZING, kStarting = KEP_STATE_STARTING_APPS,
                   kRunning = KEP_STATE_RUNNING, kStopping = KEP_STATE_STOPPING_APPS,
                   kStay = KEP_STATE_NONE, kExiting = KEP_STATE_EXITING;
constexpr uint32_t rInvalid = KEP_STOP_REASON_INVALID, rNone = KEP_STOP_REASON_NONE,
                   rReset = KEP_STOP_REASON_RESET, rReboot = KEP_STOP_REASON_REBOOT,
                   rHalt = KEP_STOP_REASON_HALT;

// One pass of the handler of `state` over the records (and a disabled Killed
// reset record, which never holds anything up).
struct TransitionCase {
  uint32_t state;
  std::vector<std::pair<uint32_t, uint32_t>> records;  // state, deathAction
  bool shutdown;
  uint32_t reason;  // after the pass; StoppingApps finds it stored
  uint32_t next;
  uint8_t reboot;  // rebootRequested afterwards
};

TEST_F(StateMachine, EachHandlerTakesTheTransitionOfItsFirstMatchingCondition) {
  const TransitionCase cases[] = {
      {kInitializing, {{kUp, kNone}}, 0, rInvalid, kStarting, 0},
      {kStarting, {{kUp, kNone}}, 1, rHalt, kStopping, 0},
      {kStarting, {{kUp, kNone}, {kReaped, kReset}}, 0, rReset, kStopping, 0},
      {kStarting, {{kReaped, kHalt}}, 0, rHalt, kStopping, 0},
      // The first death in list order decides.
      {kStarting, {{kReaped, kReboot}, {kReaped, kHalt}}, 0, rReboot, kStopping, 0},
      {kStarting, {{kUp, kNone}, {kReaped, kRestart}}, 0, rInvalid, kStay, 0},
      {kStarting, {{kFailed, kReset}, {kReaped, kNone}}, 0, rInvalid, kRunning, 0},
      {kStarting, {}, 0, rInvalid, kRunning, 0},
      {kStarting, {{kUp, kNone}, {kReaped, kNotSet}}, 0, rInvalid, kStay, 0},
      {kStarting, {{kKilled, kNone}}, 0, rInvalid, kStay, 0},
      {kRunning, {{kUp, kNone}}, 1, rHalt, kStopping, 0},
      {kRunning, {{kReaped, kReboot}, {kReaped, kHalt}}, 0, rReboot, kStopping, 0},
      {kRunning, {{kUp, kNone}, {kReaped, kRestart}}, 0, rInvalid, kStarting, 0},
      {kRunning, {{kUp, kNone}, {kReaped, kNone}}, 0, rInvalid, kStay, 0},
      {kStopping, {{kReaped, kNone}, {kKilled, kNone}}, 0, rReboot, kStay, 0},
      {kStopping, {{kReaped, kNone}, {kFailed, kNone}}, 0, rReset, kStarting, 0},
      {kStopping, {{kPending, kNone}}, 0, rReboot, kExiting, 1},
      {kStopping, {{kReaped, kNone}}, 0, rHalt, kExiting, 0},
      {kStopping, {}, 0, rNone, kExiting, 0},
      {kStopping, {}, 0, rInvalid, kExiting, 0},
  };
  for (const TransitionCase &c : cases) {
    SCOPED_TRACE(&c - cases);
    ResetModel();
    kep::fake::Reset();
    pid_t pid = 3000;
    for (auto [state, deathAction] : c.records) {
      KepApp &app = Add(kA, deathAction);
      app.state = state;
      app.pid = pid++;
      app.deathTimeList = {1, 2};
    }
    KepApp &off = Add(kB, KEP_DEATH_ACTION_RESET);
    off.disabled = 1;
    off.state = KEP_APP_STATE_KILLED;
    off.deathTimeList = {1, 2};
    shutdownRequested = c.shutdown ? 1 : 0;
    stopReason = c.state == kStopping ? c.reason : rInvalid;
    rebootRequested = 0;
    currentState = c.state;
    uint32_t next = c.state == kInitializing ? KepInitializingState()
                    : c.state == kStarting   ? KepStartingAppsState()
                    : c.state == kRunning    ? KepRunningState()
                                             : KepStoppingAppsState();
    EXPECT_EQ(next, c.next);
    EXPECT_EQ(stopReason, c.reason);
    EXPECT_EQ(rebootRequested, c.reboot);
    EXPECT_TRUE(World().forked.empty());
    // A finished stop clears every history; a handler that goes on to start
    // has made every enabled record that is not up Start_Pending.
    for (const KepApp &app : KepGetAppList()) {
      EXPECT_EQ(app.deathTimeList.empty(), c.state == kStopping && next != kStay);
      if (next == kStarting && app.disabled == 0 && app.state != kUp) {
        EXPECT_EQ(app.state, kPending);
      }
    }
  }
  // The handlers leave the state to the loop, and an Exiting loop runs no pass.
  EXPECT_FALSE(log_.Contains("KepSetState(): "));
  currentState = KEP_STATE_EXITING;
  EXPECT_EQ(KepStateMachine(), KEP_STATE_EXITING);
  EXPECT_TRUE(World().sleptUs.empty());
}

}  // namespace
