// Application control against the fake fork, kill, waitpid and clock: the
// parent's side of a start, and the stop protocol (SIGTERM, its repetitions,
// SIGKILL to the process group, the final give-up, driven by the per-pass
// collection) with the rules of a single delivery.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>

#include "ZelKepLib.h"
#include "fake.h"
#include "kep_main.h"
#include "kep_start_app.h"
#include "kep_test.h"

using kep::fake::SentSignal;
using kep::fake::World;

namespace {

using Signals = std::vector<SentSignal>;
using Sleeps = std::vector<unsigned long long>;

class AppsSim : public ::testing::Test {
 protected:
  void SetUp() override {
    Fresh();
    savedSyncDir_ = kepSyncFilesDir;
    kepSyncFilesDir = sync_.Path().c_str();
  }
  void TearDown() override {
    kepSyncFilesDir = savedSyncDir_;
    ResetModel();
  }

  // A test that runs several cases starts each from here.
  static void Fresh() {
    ResetModel();
    kep::fake::Reset();
  }

  static KepApp &Add(const std::string &name, uint32_t state, pid_t pid) {
    KepApp app;
    app.name = name;
    app.state = state;
    app.pid = pid;
    app.index = static_cast<uint32_t>(KepGetAppList().size());
    KepGetAppList().push_back(app);
    if (pid > 1) World().live.push_back(pid);
    return KepGetAppList().back();
  }

  // Runs the per-pass collection every half second, as the state machine does,
  // until the record is Reaped or 100 seconds have passed. Returns the uptimes
  // (the fake clock starts at 1000 s) at which each signal was sent.
  static std::vector<double> Passes(const KepApp &app) {
    std::vector<double> sentAt;
    size_t seen = World().signals.size();
    for (double end = kep::fake::NowSeconds() + 100;
         app.state != KEP_APP_STATE_REAPED && kep::fake::NowSeconds() < end;) {
      kep::fake::Advance(0.5);
      EXPECT_EQ(KepCheckChildAppStatus(), 0u);
      for (; seen < World().signals.size(); ++seen) sentAt.push_back(kep::fake::NowSeconds());
    }
    return sentAt;
  }

  static void Sigchld() { SigChildHandler(SIGCHLD, nullptr, nullptr); }

  TempDir sync_;
  const char *savedSyncDir_ = nullptr;
};

using StartSim = AppsSim;
using Stopping = AppsSim;

// After the 10 ms pause that follows the fork, the wait needs a start file and
// a sync time; it polls startSyncTime * 100 times, each poll followed by its
// sleep, and a file written by another process does not count. Signals that
// keep arriving (every 3 ms here) cut the sleeps up but shorten no wait.
TEST_F(StartSim, TheStartWaitNeedsAStartFileAndASyncTimeAndTheChildsPid) {
  const struct {
    bool startFile;
    uint32_t startSyncTime;
    size_t sleeps;
    unsigned long long signalEveryUs;
  } cases[] = {{false, 2, 1, 0}, {true, 0, 1, 3000}, {true, 2, 201, 0}, {true, 2, 201, 3000}};
  for (const auto &c : cases) {
    Fresh();
    KepMutableSettings().startSyncTime = c.startSyncTime;
    World().signalEveryUs = c.signalEveryUs;
    KepApp &app = Add(KEP_TEST_APP, KEP_APP_STATE_START_PENDING, 0);
    if (c.startFile) app.startFile = "/sync/kep-test-app-start";
    kep::fake::WriteSyncFile("/sync/kep-test-app-start", 1999);
    EXPECT_EQ(KepStartOneApp(&app), 0);
    EXPECT_EQ(World().sleptUs.size(), c.sleeps * (c.signalEveryUs != 0 ? 4 : 1));
    EXPECT_NEAR(kep::fake::NowSeconds(), 1000 + c.sleeps / 100.0, 1e-6);
  }
}

TEST_F(StartSim, AFailedForkLeavesTheRecordExited) {
  KepApp &app = Add(KEP_TEST_APP, KEP_APP_STATE_START_PENDING, 0);
  World().forkResult = EAGAIN;
  LogCapture log;
  EXPECT_EQ(KepStartOneApp(&app), 1002);
  EXPECT_EQ(app.state, KEP_APP_STATE_EXITED);
  EXPECT_EQ(app.startCount, 0u);
  EXPECT_EQ(app.pid, 0);
  EXPECT_TRUE(World().sleptUs.empty());
  EXPECT_TRUE(log.Contains("KepStartOneApp(): fork() failed, errno = 11.")) << log.Dump();
}

// Each wait ends at the first pass with more than 15 whole seconds. A record
// given up after SIGKILL keeps its pid, but no exit is booked on it any more:
// the late end of its child is dropped, and the exit of a new child that got
// the same pid goes to that child's record.
TEST_F(Stopping, DefaultsRepeatSigtermTwiceThenKillTheGroupThenGiveUp) {
  KepApp &app = Add("app", KEP_APP_STATE_RUNNING, 2000);
  LogCapture log;
  EXPECT_EQ(KepStopAllApps(&KepGetAppList()), 0);
  EXPECT_EQ(Passes(app), (std::vector<double>{1016, 1032, 1048}));
  EXPECT_EQ(World().signals,
            (Signals{{2000, SIGTERM}, {2000, SIGTERM}, {2000, SIGTERM}, {-2000, SIGKILL}}));
  EXPECT_EQ(app.state, KEP_APP_STATE_REAPED);
  EXPECT_DOUBLE_EQ(kep::fake::NowSeconds(), 1064);
  EXPECT_EQ(log.Texts(),
            (std::vector<std::string>{"KepStopOneApp(): kill(2000, SIGTERM) for app, retry: 0/2.",
                                      "KepStopOneApp(): kill(2000, SIGTERM) for app, retry: 1/2.",
                                      "KepStopOneApp(): kill(2000, SIGTERM) for app, retry: 2/2.",
                                      "KepStopOneApp(): kill(2000, SIGKILL) for app."}));
  // The given-up record still owns its child: a late exit is booked on it.
  kep::fake::KillBySignal(2000, SIGKILL);
  errno = EDOM;
  Sigchld();
  EXPECT_EQ(errno, EDOM);  // the handler keeps errno
  EXPECT_EQ(KepCheckChildAppStatus(), 1u);
  EXPECT_EQ(app.signalNum, static_cast<uint32_t>(SIGKILL));
  // Once reaped, its pid may come back for another child: that exit is not its.
  KepApp &reuser = Add("reuser", KEP_APP_STATE_RUNNING, 2000);
  kep::fake::Exit(2000, 7);
  Sigchld();
  EXPECT_EQ(KepCheckChildAppStatus(), 1u);
  EXPECT_EQ(reuser.state, KEP_APP_STATE_REAPED);
  EXPECT_EQ(reuser.exitStatus, 7);
  EXPECT_EQ(app.exitStatus, -1);
}

TEST_F(Stopping, OnlyWholeSecondsAboveTheDelayCount) {
  KepApp &term = Add("term", KEP_APP_STATE_KILLED, 2000);
  term.sigtermCount = 1;
  KepGetUptime(&term.sigtermTime);
  KepApp &killed = Add("killed", KEP_APP_STATE_KILLED, 2001);
  killed.sigtermCount = 3;
  killed.sigkillSent = 1;
  KepGetUptime(&killed.sigkillTime);

  kep::fake::Advance(15.9);
  EXPECT_EQ(KepCheckChildAppStatus(), 0u);
  EXPECT_TRUE(World().signals.empty());
  EXPECT_EQ(killed.state, KEP_APP_STATE_KILLED);

  kep::fake::Advance(0.1);
  EXPECT_EQ(KepCheckChildAppStatus(), 0u);
  EXPECT_EQ(World().signals, (Signals{{2000, SIGTERM}}));
  EXPECT_EQ(killed.state, KEP_APP_STATE_REAPED);
}

// killRetries 0 goes straight to SIGKILL after the first delay.
TEST_F(Stopping, KillRetriesCountTheRepeatedSigterms) {
  for (uint32_t retries : {0u, 1u, 4u}) {
    Fresh();
    KepMutableSettings().killRetries = retries;
    KepMutableSettings().killDelay = 1;
    KepApp &app = Add("app", KEP_APP_STATE_RUNNING, 2000);
    EXPECT_EQ(KepStopOneApp(&app, SIGTERM), 0);
    Passes(app);
    Signals expected(retries + 1, SentSignal{2000, SIGTERM});
    expected.push_back({-2000, SIGKILL});
    EXPECT_EQ(World().signals, expected) << "killRetries " << retries;
    EXPECT_EQ(app.state, KEP_APP_STATE_REAPED);
  }
}

// A process that is gone already (ESRCH) counts as delivered, and the stop
// wait then runs its full time; for SIGKILL a group that is gone falls back to
// the pid.
TEST_F(Stopping, AProcessThatIsGoneCountsAsStopped) {
  KepMutableSettings().stopSyncTime = 2;
  KepApp &app = Add("app", KEP_APP_STATE_RUNNING, 2000);
  app.stopFile = "/sync/app-stop";
  World().killErrno = ESRCH;
  EXPECT_EQ(KepStopOneApp(&app, SIGTERM), 0);
  EXPECT_EQ(app.state, KEP_APP_STATE_KILLED);
  EXPECT_EQ(app.sigtermCount, 1u);
  EXPECT_EQ(World().sleptUs, Sleeps(200, 10000));
  World().sleptUs.clear();
  EXPECT_EQ(KepStopOneApp(&app, SIGKILL), 0);
  EXPECT_EQ(World().signals, (Signals{{2000, SIGTERM}, {-2000, SIGKILL}, {2000, SIGKILL}}));
  EXPECT_TRUE(app.sigkillSent);
  EXPECT_EQ(app.sigtermCount, 1u);
  EXPECT_TRUE(World().sleptUs.empty());
}

// A refused kill leaves the record as it was; the stop of all reports it,
// pauses anyway and goes on. Only SIGTERM and SIGKILL are ever sent.
TEST_F(Stopping, AFailedKillChangesNothingAndStopAllGoesOn) {
  KepApp &a = Add("a", KEP_APP_STATE_RUNNING, 2000);
  Add("b", KEP_APP_STATE_RUNNING, 2001);
  World().killErrno = EPERM;
  LogCapture log;
  EXPECT_EQ(KepStopAllApps(&KepGetAppList()), 1003);
  EXPECT_EQ(KepStopOneApp(&a, SIGKILL), 1003);
  EXPECT_EQ(KepStopOneApp(&a, SIGINT), 1000);
  EXPECT_EQ(World().signals, (Signals{{2001, SIGTERM}, {2000, SIGTERM}, {-2000, SIGKILL}}));
  EXPECT_EQ(World().sleptUs, (Sleeps{3000000, 3000000}));
  EXPECT_EQ(a.state, KEP_APP_STATE_RUNNING);
  EXPECT_EQ(a.sigtermCount, 0u);
  EXPECT_FALSE(a.sigkillSent);
  EXPECT_EQ(log.Count("KepStopAllApps(): KepStopOneApp("), 2u) << log.Dump();
}

// kill(0, ...) would reach kep's own group and kill(-1, ...) the whole device.
// Nobody can write a stop file for such a pid: only the 3-second pause.
TEST_F(Stopping, NoSignalEverGoesToAPidOfOneOrLess) {
  for (pid_t pid : {0, 1, -1, -2000}) {
    Fresh();
    KepMutableSettings().stopSyncTime = 5;
    KepApp &app = Add("app", KEP_APP_STATE_RUNNING, pid);
    app.stopFile = "/sync/app-stop";
    LogCapture log;
    EXPECT_EQ(KepStopAllApps(&KepGetAppList()), 0);
    EXPECT_EQ(World().sleptUs, Sleeps{3000000});
    Passes(app);
    EXPECT_TRUE(World().signals.empty()) << "pid " << pid;
    EXPECT_EQ(app.state, KEP_APP_STATE_REAPED) << "pid " << pid;
    EXPECT_TRUE(log.Contains("refusing to signal pid " + std::to_string(pid))) << log.Dump();
  }
}

// Reaped by the handler but not yet collected: the pid is free for reuse.
TEST_F(Stopping, AChildReapedAlreadyIsNotSignalled) {
  KepMutableSettings().stopSyncTime = 5;
  KepApp &app = Add("app", KEP_APP_STATE_RUNNING, 2000);
  app.stopFile = "/sync/app-stop";
  kep::fake::Exit(2000, 0);
  Sigchld();
  EXPECT_EQ(KepStopOneApp(&app, SIGTERM), 0);
  EXPECT_EQ(KepStopOneApp(&app, SIGKILL), 0);
  EXPECT_TRUE(World().signals.empty());
  EXPECT_TRUE(World().sleptUs.empty());
  EXPECT_EQ(KepCheckChildAppStatus(), 1u);
  EXPECT_EQ(app.state, KEP_APP_STATE_REAPED);
}

// The escalation runs with SIGCHLD unblocked: the handler could reap the child
// between the test of childExited and the kill. The repeated SIGTERM and the
// SIGKILL reach the ended child as a zombie, never a pid free for reuse, and
// the caller's mask is back before the stop-file wait.
TEST_F(Stopping, AnEscalationSignalNeverReachesAChildReapedMeanwhile) {
  for (bool callerBlocks : {false, true}) {
    for (uint32_t sigterms : {1u, 3u}) {
      Fresh();
      KepMutableSettings().stopSyncTime = 1;
      KepApp &app = Add("app", KEP_APP_STATE_KILLED, 2000);
      app.stopFile = "/sync/app-stop";
      app.sigtermCount = sigterms;
      KepGetUptime(&app.sigtermTime);
      sigset_t sigchld;
      sigset_t before;
      sigemptyset(&sigchld);
      sigaddset(&sigchld, SIGCHLD);
      sigprocmask(callerBlocks ? SIG_BLOCK : SIG_UNBLOCK, &sigchld, &before);
      World().onSleep = [&](unsigned long long) {
        sigset_t now;
        sigprocmask(SIG_BLOCK, nullptr, &now);
        EXPECT_EQ(sigismember(&now, SIGCHLD), callerBlocks ? 1 : 0);
      };
      kep::fake::Exit(2000, 0);
      World().sigchldPending = true;
      kep::fake::Advance(16);
      EXPECT_EQ(KepCheckChildAppStatus(), 0u);
      EXPECT_EQ(World().signals.size(), 1u);
      EXPECT_TRUE(World().misdirected.empty()) << "sigterms " << sigterms;
      Sigchld();
      EXPECT_EQ(KepCheckChildAppStatus(), 1u);
      sigprocmask(SIG_SETMASK, &before, nullptr);
    }
  }
}

// The pauses last their 3 s even when signals (a second SIGTERM, say) keep
// arriving, here every 0.1 s.
TEST_F(Stopping, StopAllGoesLastConfiguredFirstWithAPauseAfterEach) {
  const uint32_t states[] = {KEP_APP_STATE_RUNNING,      KEP_APP_STATE_INITIALIZING,
                             KEP_APP_STATE_KILLED,       KEP_APP_STATE_REAPED,
                             KEP_APP_STATE_START_FAILED, KEP_APP_STATE_RUNNING};
  for (uint32_t i = 0; i < 6; ++i) Add(std::string(1, 'a' + i), states[i], 2000 + i);
  World().signalEveryUs = 100000;
  EXPECT_EQ(KepStopAllApps(&KepGetAppList()), 0);
  EXPECT_EQ(World().signals, (Signals{{2005, SIGTERM}, {2001, SIGTERM}, {2000, SIGTERM}}));
  EXPECT_EQ(World().sleptUs, Sleeps(90, 100000));
  EXPECT_EQ(kep::fake::NowSeconds(), 1009);
}

TEST_F(Stopping, StartPendingMarksOnlyStoppedOrNewRecords) {
  for (uint32_t state = 0; state <= 9; ++state) Add("s" + std::to_string(state), state, 0);
  KepGetAppList().front().disabled = 1;
  KepGetAppList().back().disabled = 1;
  EXPECT_EQ(KepSetAppsStartPending(&KepGetAppList()), 0);
  std::vector<uint32_t> states;
  for (const KepApp &app : KepGetAppList()) states.push_back(app.state);
  EXPECT_EQ(states, (std::vector<uint32_t>{0, 1, 3, 3, 3, 5, 6, 3, 8, 3}));
}

}  // namespace
