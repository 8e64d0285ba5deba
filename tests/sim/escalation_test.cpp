// The stop protocol on the fake clock: SIGTERM, its repetitions, SIGKILL to the
// process group and the final give-up, and the rules of a single delivery.
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

class Stopping : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetModel();
    kep::fake::Reset();
  }
  void TearDown() override { ResetModel(); }

  KepApp &Add(const std::string &name, uint32_t state, pid_t pid) {
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
  // until the record is Reaped or `limit` seconds have passed. Returns the
  // simulated seconds (since `start`) at which each signal was sent.
  std::vector<double> Passes(const KepApp &app, double start, double limit) {
    std::vector<double> sentAt;
    size_t seen = World().signals.size();
    while (app.state != KEP_APP_STATE_REAPED && kep::fake::NowSeconds() - start < limit) {
      kep::fake::Advance(0.5);
      EXPECT_EQ(KepCheckChildAppStatus(), 0u);
      for (; seen < World().signals.size(); ++seen) {
        sentAt.push_back(kep::fake::NowSeconds() - start);
      }
    }
    return sentAt;
  }
};

TEST_F(Stopping, DefaultsRepeatSigtermTwiceThenKillTheGroupThenGiveUp) {
  KepApp &app = Add("app", KEP_APP_STATE_RUNNING, 2000);
  LogCapture log;
  double start = kep::fake::NowSeconds();
  EXPECT_EQ(KepStopAllApps(&KepGetAppList()), 0);
  std::vector<double> sentAt = Passes(app, start, 100);
  EXPECT_EQ(World().signals,
            (std::vector<SentSignal>{
                {2000, SIGTERM}, {2000, SIGTERM}, {2000, SIGTERM}, {-2000, SIGKILL}}));
  // Each wait ends at the first pass with more than 15 whole seconds.
  EXPECT_EQ(sentAt, (std::vector<double>{16, 32, 48}));
  EXPECT_EQ(app.state, KEP_APP_STATE_REAPED);
  EXPECT_DOUBLE_EQ(kep::fake::NowSeconds() - start, 64);
  EXPECT_EQ(app.sigtermCount, 3u);
  EXPECT_EQ(app.pid, 2000);
  EXPECT_EQ(log.Texts(),
            (std::vector<std::string>{"KepStopOneApp(): kill(2000, SIGTERM) for app, retry: 0/2.",
                                      "KepStopOneApp(): kill(2000, SIGTERM) for app, retry: 1/2.",
                                      "KepStopOneApp(): kill(2000, SIGTERM) for app, retry: 2/2.",
                                      "KepStopOneApp(): kill(2000, SIGKILL) for app."}));
  for (const LogLine &line : log.Lines()) {
    EXPECT_EQ(line.level, 3);
    EXPECT_EQ(line.notice, 1);
    EXPECT_EQ(line.file, "KepStartApp");
  }
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
  EXPECT_EQ(World().signals, (std::vector<SentSignal>{{2000, SIGTERM}}));
  EXPECT_EQ(term.sigtermCount, 2u);
  EXPECT_EQ(killed.state, KEP_APP_STATE_REAPED);
}

TEST_F(Stopping, KillRetriesCountTheRepeatedSigterms) {
  for (uint32_t retries : {0u, 1u, 2u, 4u}) {
    SetUp();
    KepMutableSettings().killRetries = retries;
    KepMutableSettings().killDelay = 1;
    KepApp &app = Add("app", KEP_APP_STATE_RUNNING, 2000);
    EXPECT_EQ(KepStopOneApp(&app, SIGTERM), 0);
    Passes(app, kep::fake::NowSeconds(), 100);
    std::vector<SentSignal> expected(retries + 1, SentSignal{2000, SIGTERM});
    expected.push_back({-2000, SIGKILL});
    EXPECT_EQ(World().signals, expected) << "killRetries " << retries;
    EXPECT_EQ(app.sigtermCount, retries + 1);
    EXPECT_EQ(app.state, KEP_APP_STATE_REAPED);
  }
}

TEST_F(Stopping, ACollectedExitEndsTheEscalation) {
  KepApp &app = Add("app", KEP_APP_STATE_RUNNING, 2000);
  EXPECT_EQ(KepStopOneApp(&app, SIGTERM), 0);
  kep::fake::Advance(16);
  EXPECT_EQ(KepCheckChildAppStatus(), 0u);
  kep::fake::KillBySignal(2000, SIGTERM);
  SigChildHandler(SIGCHLD, nullptr, nullptr);
  EXPECT_EQ(KepCheckChildAppStatus(), 1u);
  kep::fake::Advance(100);
  EXPECT_EQ(KepCheckChildAppStatus(), 0u);
  EXPECT_EQ(World().signals, (std::vector<SentSignal>{{2000, SIGTERM}, {2000, SIGTERM}}));
  EXPECT_EQ(app.state, KEP_APP_STATE_REAPED);
  EXPECT_EQ(app.signalNum, static_cast<uint32_t>(SIGTERM));
}

// A process that is gone already (ESRCH) counts as delivered; for SIGKILL a
// group that is gone falls back to the pid.
TEST_F(Stopping, AProcessThatIsGoneCountsAsStopped) {
  KepMutableSettings().stopSyncTime = 2;
  KepApp &app = Add("app", KEP_APP_STATE_RUNNING, 2000);
  app.stopFile = "/sync/app-stop";
  World().killErrno = ESRCH;
  LogCapture log;
  EXPECT_EQ(KepStopOneApp(&app, SIGTERM), 0);
  EXPECT_EQ(app.state, KEP_APP_STATE_KILLED);
  EXPECT_EQ(app.sigtermCount, 1u);
  EXPECT_EQ(app.sigtermTime.tv_sec, 1000);
  // The stop wait then runs its full time: 200 polls of 10 ms.
  EXPECT_EQ(World().sleptUs, std::vector<unsigned long long>(200, 10000));
  EXPECT_TRUE(log.Contains(
      "KepStopOneApp(): KepWaitForSyncFile(/sync/app-stop, 2000, 2) for app failed (1036)."))
      << log.Dump();
  EXPECT_EQ(log.Lines().back().level, 2);

  World().sleptUs.clear();
  EXPECT_EQ(KepStopOneApp(&app, SIGKILL), 0);
  EXPECT_EQ(World().signals,
            (std::vector<SentSignal>{{2000, SIGTERM}, {-2000, SIGKILL}, {2000, SIGKILL}}));
  EXPECT_TRUE(app.sigkillSent);
  EXPECT_EQ(app.sigtermCount, 1u);
  EXPECT_TRUE(World().sleptUs.empty());
}

TEST_F(Stopping, AFailedKillChangesNothing) {
  KepApp &app = Add("app", KEP_APP_STATE_RUNNING, 2000);
  World().killErrno = EPERM;
  LogCapture log;
  EXPECT_EQ(KepStopOneApp(&app, SIGTERM), 1003);
  EXPECT_EQ(KepStopOneApp(&app, SIGKILL), 1003);
  EXPECT_EQ(World().signals, (std::vector<SentSignal>{{2000, SIGTERM}, {-2000, SIGKILL}}));
  EXPECT_EQ(app.state, KEP_APP_STATE_RUNNING);
  EXPECT_EQ(app.sigtermCount, 0u);
  EXPECT_FALSE(app.sigkillSent);
  EXPECT_TRUE(log.Contains("KepStopOneApp(): kill(2000, SIGTERM) for app failed, errno = 1."))
      << log.Dump();
  EXPECT_TRUE(log.Contains("KepStopOneApp(): kill(-2000, SIGKILL) for app failed, errno = 1."))
      << log.Dump();
}

TEST_F(Stopping, OnlySigtermAndSigkillAreSent) {
  KepApp &app = Add("app", KEP_APP_STATE_RUNNING, 2000);
  LogCapture log;
  EXPECT_EQ(KepStopOneApp(&app, SIGINT), 1000);
  EXPECT_TRUE(World().signals.empty());
  EXPECT_EQ(app.state, KEP_APP_STATE_RUNNING);
  EXPECT_EQ(log.Texts(),
            (std::vector<std::string>{"KepStopOneApp(): invalid signal (2) for PID 2000 (app)."}));
  EXPECT_EQ(log.Lines()[0].level, 1);
}

// kill(0, ...) would reach kep's own group and kill(-1, ...) the whole device.
TEST_F(Stopping, NoSignalEverGoesToAPidOfOneOrLess) {
  KepMutableSettings().stopSyncTime = 5;
  for (pid_t pid : {0, 1, -1, -2000}) {
    SetUp();
    KepApp &app = Add("app", KEP_APP_STATE_RUNNING, pid);
    app.stopFile = "/sync/app-stop";
    LogCapture log;
    EXPECT_EQ(KepStopAllApps(&KepGetAppList()), 0);
    Passes(app, kep::fake::NowSeconds(), 100);
    EXPECT_TRUE(World().signals.empty()) << "pid " << pid;
    EXPECT_EQ(app.state, KEP_APP_STATE_REAPED) << "pid " << pid;
    EXPECT_TRUE(app.sigkillSent);
    // Only the 3-second pause: nobody can write a stop file for such a pid.
    EXPECT_EQ(World().sleptUs.front(), 3000000u);
    EXPECT_EQ(
        log.Count("KepStopOneApp(): refusing to signal pid " + std::to_string(pid) + " for app."),
        4u)
        << log.Dump();
  }
}

// Reaped by the handler but not yet collected: the pid is free for reuse.
TEST_F(Stopping, AChildReapedAlreadyIsNotSignalled) {
  KepMutableSettings().stopSyncTime = 5;
  KepApp &app = Add("app", KEP_APP_STATE_RUNNING, 2000);
  app.stopFile = "/sync/app-stop";
  kep::fake::Exit(2000, 0);
  SigChildHandler(SIGCHLD, nullptr, nullptr);
  EXPECT_EQ(KepStopOneApp(&app, SIGTERM), 0);
  EXPECT_EQ(KepStopOneApp(&app, SIGKILL), 0);
  EXPECT_TRUE(World().signals.empty());
  EXPECT_TRUE(World().sleptUs.empty());
  EXPECT_EQ(app.state, KEP_APP_STATE_KILLED);
  EXPECT_EQ(KepCheckChildAppStatus(), 1u);
  EXPECT_EQ(app.state, KEP_APP_STATE_REAPED);
}

TEST_F(Stopping, StopAllGoesLastConfiguredFirstWithAPauseAfterEach) {
  Add("a", KEP_APP_STATE_RUNNING, 2000);
  Add("b", KEP_APP_STATE_INITIALIZING, 2001);
  KepApp &c = Add("c", KEP_APP_STATE_KILLED, 2002);
  c.sigtermCount = 1;
  Add("d", KEP_APP_STATE_REAPED, 2003);
  Add("e", KEP_APP_STATE_START_FAILED, 0);
  Add("f", KEP_APP_STATE_RUNNING, 2005);
  EXPECT_EQ(KepStopAllApps(&KepGetAppList()), 0);
  EXPECT_EQ(World().signals,
            (std::vector<SentSignal>{{2005, SIGTERM}, {2001, SIGTERM}, {2000, SIGTERM}}));
  EXPECT_EQ(World().sleptUs, (std::vector<unsigned long long>{3000000, 3000000, 3000000}));
  EXPECT_EQ(c.sigtermCount, 1u);
  for (const KepApp &app : KepGetAppList()) {
    if (app.name == "a" || app.name == "b" || app.name == "f") {
      EXPECT_EQ(app.state, KEP_APP_STATE_KILLED) << app.name;
      EXPECT_EQ(app.sigtermCount, 1u) << app.name;
    }
  }
}

TEST_F(Stopping, StopAllReportsEachFailureAndReturnsTheLast) {
  EXPECT_EQ(KepStopAllApps(&KepGetAppList()), 0);
  EXPECT_TRUE(World().sleptUs.empty());
  Add("a", KEP_APP_STATE_RUNNING, 2000);
  Add("b", KEP_APP_STATE_RUNNING, 2001);
  World().killErrno = EPERM;
  LogCapture log;
  EXPECT_EQ(KepStopAllApps(&KepGetAppList()), 1003);
  EXPECT_EQ(World().sleptUs, (std::vector<unsigned long long>{3000000, 3000000}));
  EXPECT_TRUE(log.Contains("KepStopAllApps(): KepStopOneApp(b) failed (1003)."));
  EXPECT_TRUE(log.Contains("KepStopAllApps(): KepStopOneApp(a) failed (1003)."));
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
