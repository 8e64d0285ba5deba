// SIGCHLD reaping and the per-pass collection, against the fake waitpid.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>

#include "ZelKepLib.h"
#include "fake.h"
#include "kep_main.h"
#include "kep_test.h"

using kep::fake::World;

namespace {

class ChildExits : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetModel();
    kep::fake::Reset();
  }
  void TearDown() override { ResetModel(); }

  KepApp &Add(const std::string &name, pid_t pid, uint32_t deathAction = KEP_DEATH_ACTION_NONE) {
    KepApp app;
    app.name = name;
    app.state = KEP_APP_STATE_RUNNING;
    app.pid = pid;
    app.deathAction = deathAction;
    KepGetAppList().push_back(app);
    World().live.push_back(pid);
    return KepGetAppList().back();
  }

  static void Sigchld() { SigChildHandler(SIGCHLD, nullptr, nullptr); }
};

TEST_F(ChildExits, ExitsAndSignalsAreRecordedAndBooked) {
  KepApp &exited = Add("exited", 2000, KEP_DEATH_ACTION_RESTART);
  KepApp &killed = Add("killed", 2001);
  KepApp &stopped = Add("stopped", 2002);
  killed.exitStatus = 7;
  stopped.signalNum = 4;
  kep::fake::Exit(2000, 3);
  kep::fake::KillBySignal(2001, SIGKILL);
  World().exits.push_back({2002, 0x137f});  // neither an exit nor a signal
  LogCapture log;
  Sigchld();
  EXPECT_TRUE(World().exits.empty());
  EXPECT_EQ(exited.exitStatus, 3);
  EXPECT_EQ(exited.signalNum, 0u);
  EXPECT_EQ(killed.signalNum, 9u);
  EXPECT_EQ(killed.exitStatus, -1);
  EXPECT_EQ(stopped.signalNum, 0u);
  EXPECT_EQ(stopped.exitStatus, -1);
  EXPECT_TRUE(log.Lines().empty());  // the handler never logs

  EXPECT_EQ(KepCheckChildAppStatus(), 3u);
  for (const KepApp &app : KepGetAppList()) {
    EXPECT_EQ(app.state, KEP_APP_STATE_REAPED) << app.name;
    EXPECT_FALSE(app.childExited) << app.name;
  }
  EXPECT_EQ(log.Texts(),
            (std::vector<std::string>{
                "KepCheckChildAppStatus(): exited (pid 2000) *** EXITED *** exitStatus: 3, "
                "signalNum: 0, deathAction: restart (3).",
                "KepCheckChildAppStatus(): killed (pid 2001) *** EXITED *** exitStatus: -1, "
                "signalNum: 9, deathAction: none (2).",
                "KepCheckChildAppStatus(): stopped (pid 2002) *** EXITED *** exitStatus: -1, "
                "signalNum: 0, deathAction: none (2)."}));
  for (const LogLine &line : log.Lines()) {
    EXPECT_EQ(line.level, 3);
    EXPECT_EQ(line.notice, 1);
    EXPECT_EQ(line.file, "KepMain");
  }
  EXPECT_EQ(KepCheckChildAppStatus(), 0u);
}

TEST_F(ChildExits, UnknownPidsAreReapedWithoutATrace) {
  KepApp &app = Add("app", 2000);
  World().live.push_back(2999);
  kep::fake::Exit(2999, 1);
  LogCapture log;
  Sigchld();
  EXPECT_TRUE(World().exits.empty());
  EXPECT_FALSE(app.childExited);
  EXPECT_EQ(app.exitStatus, 0);
  EXPECT_EQ(KepCheckChildAppStatus(), 0u);
  EXPECT_EQ(app.state, KEP_APP_STATE_RUNNING);
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();
}

TEST_F(ChildExits, DisabledRecordsAndTheFirstMatchAreMarked) {
  KepApp &first = Add("first", 2000);
  first.disabled = 1;
  KepApp &second = Add("second", 2000);
  kep::fake::Exit(2000, 0);
  Sigchld();
  EXPECT_TRUE(first.childExited);
  EXPECT_FALSE(second.childExited);
  EXPECT_EQ(KepCheckChildAppStatus(), 1u);
  EXPECT_EQ(first.state, KEP_APP_STATE_REAPED);
}

TEST_F(ChildExits, TheHandlerKeepsErrno) {
  Add("app", 2000);
  kep::fake::Exit(2000, 0);
  errno = EDOM;
  Sigchld();
  EXPECT_EQ(errno, EDOM);
}

// A record given up after SIGKILL keeps its pid; a late exit is still booked.
TEST_F(ChildExits, ALateExitOfAGivenUpRecordIsStillCounted) {
  KepApp &app = Add("app", 2000);
  app.state = KEP_APP_STATE_KILLED;
  app.sigkillSent = 1;
  KepGetUptime(&app.sigkillTime);
  kep::fake::Advance(16);
  LogCapture log;
  EXPECT_EQ(KepCheckChildAppStatus(), 0u);
  EXPECT_EQ(app.state, KEP_APP_STATE_REAPED);
  EXPECT_TRUE(log.Lines().empty());
  kep::fake::KillBySignal(2000, SIGKILL);
  Sigchld();
  EXPECT_EQ(KepCheckChildAppStatus(), 1u);
  EXPECT_TRUE(log.Contains("app (pid 2000) *** EXITED *** exitStatus: -1, signalNum: 9"))
      << log.Dump();
}

}  // namespace
