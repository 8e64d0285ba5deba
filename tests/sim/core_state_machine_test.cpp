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

using kep::fake::SentSignal;
using kep::fake::World;

namespace {

// Executables that the start finds on the PATH; the fakes never run them.
constexpr const char *kA = "/bin/sleep";
constexpr const char *kB = "/bin/cat";
constexpr const char *kC = "/bin/true";

class StateMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetModel();
    kep::fake::Reset();
    currentState = KEP_STATE_INVALID;
    rebootRequested = 0;
    shutdownRequested = 0;
    stopReason = KEP_STOP_REASON_INVALID;
    resetAppName.clear();
    resetAppCount = 0;
    rebootAppCount = 0;
    rebootPath_ = dir_.File("rebootApplicationData");
    rebootFilePath = rebootPath_.c_str();
    savedSyncDir_ = kepSyncFilesDir;
    kepSyncFilesDir = syncDir_.Path().c_str();
    // Short stops: the escalation of a child that never ends is over quickly.
    KepMutableSettings().killDelay = 2;
  }
  void TearDown() override {
    kep::fake::Reset();
    ResetModel();
    rebootFilePath = kKepDefaultRebootFilePath;
    kepSyncFilesDir = savedSyncDir_;
    currentState = KEP_STATE_INVALID;
    rebootRequested = 0;
    shutdownRequested = 0;
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
  // Initializing pass) meanwhile(n) plays the world; the collection of exits
  // follows it, as in the product.
  uint32_t Run(const std::function<void(int)> &meanwhile) {
    int pass = 0;
    World().onSleep = [&](unsigned long long us) {
      if (us != stateMachineSleepUs) return;
      if (pass == kMaxPasses) {
        ADD_FAILURE() << "the machine does not end; state " << KepGetState();
        shutdownRequested = 1;
      }
      if (pass <= kMaxPasses) meanwhile(pass);
      ++pass;
    };
    KepSetState(KEP_STATE_INITIALIZING, "test", 1);
    uint32_t end = KepStateMachine();
    World().onSleep = nullptr;
    passes_ = pass;
    return end;
  }

  // The child of the record ends; the SIGCHLD handler runs as the kernel would
  // make it run.
  void Exit(const KepApp &app, int code) {
    kep::fake::Exit(app.pid, code);
    SigChildHandler(SIGCHLD, nullptr, nullptr);
  }

  // "Old:n => New:m" of every state change, in order.
  std::vector<std::string> Transitions() const {
    std::vector<std::string> found;
    const std::string prefix = "KepSetState(): ";
    for (const std::string &text : log_.Texts()) {
      if (text.rfind(prefix, 0) != 0) continue;
      found.push_back(text.substr(prefix.size(), text.find(" (") - prefix.size()));
    }
    return found;
  }

  static constexpr int kMaxPasses = 400;
  TempDir dir_;
  TempDir syncDir_;
  std::string rebootPath_;
  const char *savedSyncDir_ = nullptr;
  int passes_ = 0;
  LogCapture log_;
};

TEST_F(StateMachine, AnEmptyListRunsUpAndStopsWithHaltOnShutdown) {
  uint32_t end = Run([](int) {
    if (KepGetState() == KEP_STATE_RUNNING) shutdownRequested = 1;
  });
  EXPECT_EQ(end, KEP_STATE_EXITING);
  EXPECT_EQ(Transitions(), (std::vector<std::string>{
                               "Invalid:0 => Initializing:2",
                               "Initializing:2 => StartingApps:3",
                               "StartingApps:3 => Running:4",
                               "Running:4 => StoppingApps:5",
                               "StoppingApps:5 => Exiting:9",
                           }))
      << log_.Dump();
  EXPECT_TRUE(
      log_.Contains("KepSetState(): Initializing:2 => StartingApps:3 (KepStateMachine(), "));
  EXPECT_TRUE(log_.Contains("set stop reason to 4 [Halt], app: NULL, (KepRunningState(), "));
  EXPECT_EQ(stopReason, KEP_STOP_REASON_HALT);
  EXPECT_EQ(rebootRequested, 0);
  // One half-second sleep a pass, nothing else.
  EXPECT_EQ(World().sleptUs, std::vector<unsigned long long>(4, stateMachineSleepUs));
  EXPECT_EQ(KepStateMachine(), KEP_STATE_EXITING);
  EXPECT_EQ(World().sleptUs.size(), 4u) << "an Exiting machine runs no pass";
}

TEST_F(StateMachine, PassesThatKeepTheStateLogNothing) {
  KepApp &app = Add(kA, KEP_DEATH_ACTION_NONE);
  app.initFile = syncDir_.File("sleep-init");
  size_t before = 0;
  Run([&](int pass) {
    if (pass == 2) before = log_.Lines().size();
    if (pass == 6) {
      EXPECT_EQ(KepGetState(), KEP_STATE_STARTING_APPS);
      EXPECT_EQ(log_.Lines().size(), before) << log_.Dump();
      kep::fake::WriteSyncFile(*app.initFile, app.pid);
    }
    if (pass == 8) before = log_.Lines().size();
    if (pass == 12) {
      EXPECT_EQ(KepGetState(), KEP_STATE_RUNNING);
      EXPECT_EQ(log_.Lines().size(), before) << log_.Dump();
      shutdownRequested = 1;
    }
    if (app.state == KEP_APP_STATE_KILLED && World().exits.empty()) Exit(app, 0);
  });
  EXPECT_EQ(Transitions().size(), 5u) << log_.Dump();
  EXPECT_EQ(app.state, KEP_APP_STATE_REAPED);
}

TEST_F(StateMachine, LevelsStartInOrderAndAnInitializingApplicationHoldsTheNextLevelBack) {
  KepApp &a = Add(kA, KEP_DEATH_ACTION_NONE, 0);
  KepApp &b = Add(kB, KEP_DEATH_ACTION_NONE, 0);
  KepApp &c = Add(kC, KEP_DEATH_ACTION_NONE, 5);
  a.initFile = syncDir_.File("sleep-init");
  Run([&](int pass) {
    switch (pass) {
      case 0:
        EXPECT_TRUE(World().forked.empty());
        break;
      case 1:
        // Both level-0 applications in one pass, in list order.
        EXPECT_EQ(World().forked, (std::vector<pid_t>{2000, 2001}));
        EXPECT_EQ(a.pid, 2000);
        EXPECT_EQ(b.pid, 2001);
        EXPECT_EQ(a.state, KEP_APP_STATE_INITIALIZING);
        EXPECT_EQ(b.state, KEP_APP_STATE_RUNNING);
        EXPECT_EQ(c.state, KEP_APP_STATE_START_PENDING);
        break;
      case 2:
        EXPECT_EQ(World().forked.size(), 2u);
        // Written for another process: not yet.
        kep::fake::WriteSyncFile(*a.initFile, 1234);
        break;
      case 3:
        EXPECT_EQ(a.state, KEP_APP_STATE_INITIALIZING);
        kep::fake::WriteSyncFile(*a.initFile, a.pid);
        break;
      case 4:
        // Seen in this pass; the level was already chosen before it.
        EXPECT_EQ(a.state, KEP_APP_STATE_RUNNING);
        EXPECT_EQ(World().forked.size(), 2u);
        break;
      case 5:
        EXPECT_EQ(World().forked, (std::vector<pid_t>{2000, 2001, 2002}));
        EXPECT_EQ(c.state, KEP_APP_STATE_RUNNING);
        EXPECT_EQ(KepGetState(), KEP_STATE_RUNNING);
        shutdownRequested = 1;
        break;
      case 6:
        // Last configured first.
        EXPECT_EQ(World().signals,
                  (std::vector<SentSignal>{{2002, SIGTERM}, {2001, SIGTERM}, {2000, SIGTERM}}));
        Exit(a, 0);
        Exit(b, 0);
        Exit(c, 0);
        break;
      default:
        break;
    }
  });
  EXPECT_TRUE(log_.Contains("KepStateMachine(): processes exited: 3")) << log_.Dump();
  EXPECT_EQ(stopReason, KEP_STOP_REASON_HALT);
  EXPECT_EQ(a.state, KEP_APP_STATE_REAPED);
}

TEST_F(StateMachine, AnInitFileWithoutInitSyncTimeGoesStraightToRunning) {
  KepMutableSettings().initSyncTime = 0;
  KepApp &app = Add(kA, KEP_DEATH_ACTION_NONE);
  app.initFile = syncDir_.File("sleep-init");
  app.state = KEP_APP_STATE_START_PENDING;
  EXPECT_EQ(KepStartingAppsState(), KEP_STATE_RUNNING);
  EXPECT_EQ(app.state, KEP_APP_STATE_RUNNING);
  EXPECT_EQ(app.startCount, 1u);
  EXPECT_EQ(app.execTime.tv_sec, 1000);

  KepMutableSettings().initSyncTime = 15;
  app.state = KEP_APP_STATE_START_PENDING;
  EXPECT_EQ(KepStartingAppsState(), KEP_STATE_NONE);
  EXPECT_EQ(app.state, KEP_APP_STATE_INITIALIZING);
}

TEST_F(StateMachine, AStartResetsTheRunTimeFieldsButNotTheStartCount) {
  KepApp &app = Add(kA, KEP_DEATH_ACTION_NONE);
  app.state = KEP_APP_STATE_START_PENDING;
  app.startCount = 4;
  app.signalNum = 9;
  app.exitStatus = -1;
  app.sigtermCount = 3;
  app.sigkillSent = 1;
  app.sigtermTime = {7, 7};
  app.sigkillTime = {8, 8};
  kep::fake::SetNow(1234, 5);
  EXPECT_EQ(KepStartingAppsState(), KEP_STATE_RUNNING);
  EXPECT_EQ(app.startCount, 5u);
  EXPECT_EQ(app.signalNum, 0u);
  EXPECT_EQ(app.exitStatus, 0);
  EXPECT_EQ(app.sigtermCount, 0u);
  EXPECT_EQ(app.sigkillSent, 0);
  EXPECT_EQ(app.sigtermTime.tv_sec, 0);
  EXPECT_EQ(app.sigkillTime.tv_sec, 0);
  EXPECT_EQ(app.execTime.tv_sec, 1234);
}

TEST_F(StateMachine, AFailedStartCountsAsDoneAndIsNotRetried) {
  KepApp &missing = Add("kep-no-such-application", KEP_DEATH_ACTION_RESTART);
  Add(kA, KEP_DEATH_ACTION_NONE);
  Run([&](int) {
    if (KepGetState() == KEP_STATE_RUNNING) shutdownRequested = 1;
    for (KepApp &app : KepGetAppList()) {
      if (app.state == KEP_APP_STATE_KILLED && World().exits.empty()) Exit(app, 0);
    }
  });
  EXPECT_EQ(missing.state, KEP_APP_STATE_START_FAILED);
  EXPECT_EQ(log_.Count("KepStartingAppsState(): KepStartOneApp(kep-no-such-application) failed."),
            1u);
  EXPECT_EQ(World().forked.size(), 1u);
  EXPECT_EQ(stopReason, KEP_STOP_REASON_HALT);
}

TEST_F(StateMachine, ARestartApplicationIsStartedAgainInTheNextPasses) {
  KepApp &app = Add(kA, KEP_DEATH_ACTION_RESTART);
  Run([&](int) {
    if (app.state == KEP_APP_STATE_RUNNING && app.startCount == 1) Exit(app, 3);
    if (app.state == KEP_APP_STATE_RUNNING && app.startCount == 2 &&
        KepGetState() == KEP_STATE_RUNNING) {
      shutdownRequested = 1;
    }
    if (app.state == KEP_APP_STATE_KILLED && World().exits.empty()) Exit(app, 0);
  });
  EXPECT_EQ(app.startCount, 2u);
  EXPECT_EQ(World().forked, (std::vector<pid_t>{2000, 2001}));
  EXPECT_TRUE(
      log_.Contains("(pid 2000) *** EXITED *** exitStatus: 3, signalNum: 0, deathAction: restart"))
      << log_.Dump();
  EXPECT_EQ(Transitions(), (std::vector<std::string>{
                               "Invalid:0 => Initializing:2",
                               "Initializing:2 => StartingApps:3",
                               "StartingApps:3 => Running:4",
                               "Running:4 => StartingApps:3",
                               "StartingApps:3 => Running:4",
                               "Running:4 => StoppingApps:5",
                               "StoppingApps:5 => Exiting:9",
                           }));
  EXPECT_EQ(rebootRequested, 0);
}

TEST_F(StateMachine, TheDeathMonitorStopsAnApplicationThatKeepsDying) {
  KepMutableSettings().deathMonitorAction = KEP_DEATH_ACTION_HALT;
  KepApp &app = Add(kA, KEP_DEATH_ACTION_RESTART);
  Run([&](int) {
    if (app.state == KEP_APP_STATE_RUNNING) Exit(app, 1);
  });
  EXPECT_EQ(app.startCount, 3u);
  EXPECT_EQ(log_.Count("KepDeathMonAppDeath(): app: /bin/sleep new death time: "), 3u);
  EXPECT_TRUE(log_.Contains("KepCheckForBadApp(): stopping, app: /bin/sleep, reason: halt."));
  EXPECT_EQ(stopReason, KEP_STOP_REASON_HALT);
  // The stop clears the history.
  EXPECT_TRUE(app.deathTimeList.empty());
  EXPECT_EQ(rebootRequested, 0);
}

TEST_F(StateMachine, AResetApplicationDyingThreeTimesInARowEndsInARecordedReboot) {
  KepMutableSettings().deathMonitorAction = KEP_DEATH_ACTION_REBOOT;
  KepApp &app = Add(kA, KEP_DEATH_ACTION_RESET);
  Add(kB, KEP_DEATH_ACTION_NONE);
  Run([&](int) {
    if (KepGetState() == KEP_STATE_RUNNING && app.state == KEP_APP_STATE_RUNNING) Exit(app, 1);
    for (KepApp &other : KepGetAppList()) {
      if (other.state == KEP_APP_STATE_KILLED && World().exits.empty()) Exit(other, 0);
    }
  });
  EXPECT_EQ(app.startCount, 3u);
  EXPECT_EQ(stopReason, KEP_STOP_REASON_REBOOT);
  EXPECT_EQ(rebootRequested, 1);
  EXPECT_EQ(ReadFile(rebootPath_), "/bin/sleep 1\n");
  EXPECT_EQ(log_.Count("StoppingApps:5 => StartingApps:3"), 2u);
  EXPECT_TRUE(log_.Contains("StoppingApps:5 => Exiting:9"));
}

TEST_F(StateMachine, DisabledResetsHaltTheSupervisorAndRemoveTheRebootFile) {
  KepMutableSettings().deathMonitorAction = KEP_DEATH_ACTION_REBOOT;
  KepMutableSettings().disableReset = 1;
  dir_.Write("rebootApplicationData", "/bin/sleep 2\n");
  KepApp &app = Add(kA, KEP_DEATH_ACTION_RESET);
  Run([&](int) {
    if (KepGetState() == KEP_STATE_RUNNING && app.state == KEP_APP_STATE_RUNNING) Exit(app, 1);
  });
  EXPECT_EQ(stopReason, KEP_STOP_REASON_HALT);
  EXPECT_EQ(rebootRequested, 0);
  EXPECT_FALSE(FileExists(rebootPath_));
  EXPECT_EQ(app.startCount, 1u);
}

TEST_F(StateMachine, TheFirstReapedRecordInListOrderDecides) {
  KepApp &a = Add(kA, KEP_DEATH_ACTION_REBOOT);
  KepApp &b = Add(kB, KEP_DEATH_ACTION_HALT);
  Run([&](int) {
    if (KepGetState() == KEP_STATE_RUNNING && a.state == KEP_APP_STATE_RUNNING) {
      Exit(b, 0);
      Exit(a, 0);
    }
  });
  EXPECT_TRUE(log_.Contains("KepStateMachine(): processes exited: 2")) << log_.Dump();
  EXPECT_TRUE(
      log_.Contains("set stop reason to 3 [Reboot], app: /bin/sleep, (KepRunningState(), "));
  EXPECT_EQ(log_.Count("set stop reason"), 1u);
  EXPECT_EQ(stopReason, KEP_STOP_REASON_REBOOT);
  EXPECT_EQ(rebootRequested, 1);
  // No reset run was held: nothing to record.
  EXPECT_FALSE(FileExists(rebootPath_));

  // The same in StartingApps, which also names the action.
  log_.Clear();
  a.state = KEP_APP_STATE_REAPED;
  b.state = KEP_APP_STATE_REAPED;
  b.deathAction = KEP_DEATH_ACTION_RESET;
  EXPECT_EQ(KepStartingAppsState(), KEP_STATE_STOPPING_APPS);
  EXPECT_EQ(stopReason, KEP_STOP_REASON_REBOOT);
  EXPECT_TRUE(log_.Contains("KepStartingAppsState(): KEP_DEATH_ACTION_REBOOT (/bin/sleep)"));
  EXPECT_TRUE(log_.Contains("KepStartingAppsState(): stopping all apps..."));
}

TEST_F(StateMachine, AFailedStopAllIsTakenUpAgainInTheNextPass) {
  KepMutableSettings().deathMonitorAction = KEP_DEATH_ACTION_REBOOT;
  KepApp &dead = Add(kA, KEP_DEATH_ACTION_RESET);
  KepApp &alive = Add(kB, KEP_DEATH_ACTION_NONE);
  dead.state = KEP_APP_STATE_REAPED;
  alive.state = KEP_APP_STATE_RUNNING;
  alive.pid = 2001;
  World().killErrno = EPERM;
  EXPECT_EQ(KepRunningState(), KEP_STATE_NONE);
  EXPECT_TRUE(log_.Contains("KepRunningState(): KepStopAllApps() failed."));
  EXPECT_EQ(KepRunningState(), KEP_STATE_NONE);
  EXPECT_EQ(resetAppCount, 2u);
  World().killErrno = 0;
  EXPECT_EQ(KepRunningState(), KEP_STATE_STOPPING_APPS);
  EXPECT_EQ(stopReason, KEP_STOP_REASON_REBOOT);
}

// One handler pass from a prepared list.
struct Record {
  uint32_t state;
  uint32_t deathAction;
};

struct TransitionCase {
  const char *what;
  uint32_t state;  // whose handler runs
  std::vector<Record> records;
  bool shutdown;
  uint32_t storedReason;  // stopReason before the pass
  uint32_t next;
  uint32_t reason;  // stopReason after the pass
  uint8_t reboot;
};

TEST_F(StateMachine, EachHandlerTakesTheTransitionOfItsFirstMatchingCondition) {
  constexpr uint32_t kInvalid = KEP_STOP_REASON_INVALID;
  const TransitionCase cases[] = {
      {"Initializing always",
       KEP_STATE_INITIALIZING,
       {{KEP_APP_STATE_CONFIGURED, KEP_DEATH_ACTION_NONE}},
       false,
       kInvalid,
       KEP_STATE_STARTING_APPS,
       kInvalid,
       0},
      {"StartingApps, shutdown",
       KEP_STATE_STARTING_APPS,
       {{KEP_APP_STATE_RUNNING, KEP_DEATH_ACTION_NONE}},
       true,
       kInvalid,
       KEP_STATE_STOPPING_APPS,
       KEP_STOP_REASON_HALT,
       0},
      {"StartingApps, reset death",
       KEP_STATE_STARTING_APPS,
       {{KEP_APP_STATE_RUNNING, KEP_DEATH_ACTION_NONE},
        {KEP_APP_STATE_REAPED, KEP_DEATH_ACTION_RESET}},
       false,
       kInvalid,
       KEP_STATE_STOPPING_APPS,
       KEP_STOP_REASON_RESET,
       0},
      {"StartingApps, reboot death",
       KEP_STATE_STARTING_APPS,
       {{KEP_APP_STATE_REAPED, KEP_DEATH_ACTION_REBOOT}},
       false,
       kInvalid,
       KEP_STATE_STOPPING_APPS,
       KEP_STOP_REASON_REBOOT,
       0},
      {"StartingApps, halt death",
       KEP_STATE_STARTING_APPS,
       {{KEP_APP_STATE_REAPED, KEP_DEATH_ACTION_HALT}},
       false,
       kInvalid,
       KEP_STATE_STOPPING_APPS,
       KEP_STOP_REASON_HALT,
       0},
      {"StartingApps, restart",
       KEP_STATE_STARTING_APPS,
       {{KEP_APP_STATE_RUNNING, KEP_DEATH_ACTION_NONE},
        {KEP_APP_STATE_REAPED, KEP_DEATH_ACTION_RESTART}},
       false,
       kInvalid,
       KEP_STATE_NONE,
       kInvalid,
       0},
      {"StartingApps, all done",
       KEP_STATE_STARTING_APPS,
       {{KEP_APP_STATE_RUNNING, KEP_DEATH_ACTION_RESTART},
        {KEP_APP_STATE_START_FAILED, KEP_DEATH_ACTION_RESET},
        {KEP_APP_STATE_REAPED, KEP_DEATH_ACTION_NONE}},
       false,
       kInvalid,
       KEP_STATE_RUNNING,
       kInvalid,
       0},
      {"StartingApps, empty list",
       KEP_STATE_STARTING_APPS,
       {},
       false,
       kInvalid,
       KEP_STATE_RUNNING,
       kInvalid,
       0},
      {"StartingApps, a reaped record without an action holds it",
       KEP_STATE_STARTING_APPS,
       {{KEP_APP_STATE_RUNNING, KEP_DEATH_ACTION_NONE},
        {KEP_APP_STATE_REAPED, KEP_DEATH_ACTION_NOT_SET}},
       false,
       kInvalid,
       KEP_STATE_NONE,
       kInvalid,
       0},
      {"StartingApps, a killed record holds it",
       KEP_STATE_STARTING_APPS,
       {{KEP_APP_STATE_KILLED, KEP_DEATH_ACTION_NONE}},
       false,
       kInvalid,
       KEP_STATE_NONE,
       kInvalid,
       0},
      {"Running, shutdown",
       KEP_STATE_RUNNING,
       {{KEP_APP_STATE_RUNNING, KEP_DEATH_ACTION_NONE}},
       true,
       kInvalid,
       KEP_STATE_STOPPING_APPS,
       KEP_STOP_REASON_HALT,
       0},
      {"Running, reboot death",
       KEP_STATE_RUNNING,
       {{KEP_APP_STATE_RUNNING, KEP_DEATH_ACTION_NONE},
        {KEP_APP_STATE_REAPED, KEP_DEATH_ACTION_REBOOT}},
       false,
       kInvalid,
       KEP_STATE_STOPPING_APPS,
       KEP_STOP_REASON_REBOOT,
       0},
      {"Running, restart",
       KEP_STATE_RUNNING,
       {{KEP_APP_STATE_RUNNING, KEP_DEATH_ACTION_NONE},
        {KEP_APP_STATE_REAPED, KEP_DEATH_ACTION_RESTART}},
       false,
       kInvalid,
       KEP_STATE_STARTING_APPS,
       kInvalid,
       0},
      {"Running, otherwise",
       KEP_STATE_RUNNING,
       {{KEP_APP_STATE_RUNNING, KEP_DEATH_ACTION_NONE},
        {KEP_APP_STATE_REAPED, KEP_DEATH_ACTION_NONE}},
       false,
       kInvalid,
       KEP_STATE_NONE,
       kInvalid,
       0},
      {"StoppingApps, still stopping",
       KEP_STATE_STOPPING_APPS,
       {{KEP_APP_STATE_REAPED, KEP_DEATH_ACTION_NONE},
        {KEP_APP_STATE_KILLED, KEP_DEATH_ACTION_NONE}},
       false,
       KEP_STOP_REASON_REBOOT,
       KEP_STATE_NONE,
       KEP_STOP_REASON_REBOOT,
       0},
      {"StoppingApps, reset",
       KEP_STATE_STOPPING_APPS,
       {{KEP_APP_STATE_REAPED, KEP_DEATH_ACTION_NONE},
        {KEP_APP_STATE_START_FAILED, KEP_DEATH_ACTION_NONE}},
       false,
       KEP_STOP_REASON_RESET,
       KEP_STATE_STARTING_APPS,
       KEP_STOP_REASON_RESET,
       0},
      {"StoppingApps, reboot",
       KEP_STATE_STOPPING_APPS,
       {{KEP_APP_STATE_START_PENDING, KEP_DEATH_ACTION_NONE}},
       false,
       KEP_STOP_REASON_REBOOT,
       KEP_STATE_EXITING,
       KEP_STOP_REASON_REBOOT,
       1},
      {"StoppingApps, halt",
       KEP_STATE_STOPPING_APPS,
       {{KEP_APP_STATE_REAPED, KEP_DEATH_ACTION_NONE}},
       false,
       KEP_STOP_REASON_HALT,
       KEP_STATE_EXITING,
       KEP_STOP_REASON_HALT,
       0},
      {"StoppingApps, none",
       KEP_STATE_STOPPING_APPS,
       {},
       false,
       KEP_STOP_REASON_NONE,
       KEP_STATE_EXITING,
       KEP_STOP_REASON_NONE,
       0},
      {"StoppingApps, invalid",
       KEP_STATE_STOPPING_APPS,
       {},
       false,
       kInvalid,
       KEP_STATE_EXITING,
       kInvalid,
       0},
  };
  for (const TransitionCase &c : cases) {
    SCOPED_TRACE(c.what);
    ResetModel();
    kep::fake::Reset();
    pid_t pid = 3000;
    for (const Record &r : c.records) {
      KepApp &app = Add(kA, r.deathAction);
      app.state = r.state;
      app.pid = pid++;
      app.deathTimeList = {1, 2};
    }
    // A disabled record never holds anything up.
    Add(kB, KEP_DEATH_ACTION_RESET).disabled = 1;
    KepGetAppList().back().state = KEP_APP_STATE_KILLED;
    shutdownRequested = c.shutdown ? 1 : 0;
    stopReason = c.storedReason;
    rebootRequested = 0;
    currentState = c.state;
    uint32_t next = c.state == KEP_STATE_INITIALIZING    ? KepInitializingState()
                    : c.state == KEP_STATE_STARTING_APPS ? KepStartingAppsState()
                    : c.state == KEP_STATE_RUNNING       ? KepRunningState()
                                                         : KepStoppingAppsState();
    EXPECT_EQ(next, c.next);
    EXPECT_EQ(stopReason, c.reason);
    EXPECT_EQ(rebootRequested, c.reboot);
    EXPECT_TRUE(World().forked.empty());
    if (c.state == KEP_STATE_STOPPING_APPS && next != KEP_STATE_NONE) {
      for (const KepApp &app : KepGetAppList()) EXPECT_TRUE(app.deathTimeList.empty());
    }
    if (next == KEP_STATE_STARTING_APPS) {
      for (const KepApp &app : KepGetAppList()) {
        if (app.disabled == 0 && app.state != KEP_APP_STATE_RUNNING) {
          EXPECT_EQ(app.state, KEP_APP_STATE_START_PENDING) << app.name;
        }
      }
    }
  }
  // None of the handlers changes the state itself.
  EXPECT_EQ(Transitions().size(), 0u);
}

}  // namespace
