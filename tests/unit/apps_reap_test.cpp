// Real children ending and being stopped: the SIGCHLD handler, the collection
// and the process-group kill.
#include <errno.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ZelKepLib.h"
#include "apps_exec.h"
#include "kep_main.h"
#include "kep_start_app.h"

using apps_exec::ExecTest;
using apps_exec::Reap;
using apps_exec::TestApp;
using apps_exec::WaitForFile;
using apps_exec::WaitUntilEnded;

namespace {

class ChildExitsExec : public ExecTest {};

// Both exits raise one pending SIGCHLD while it is blocked; the one handler
// run that follows the unblock reaps both.
TEST_F(ChildExitsExec, TwoChildrenEndingTogetherAreCountedInOneCollection) {
  ASSERT_EQ(SetSigChildHandler(), 0);
  KepApp &three = Add(TestApp({"--exit=3"}));
  KepApp &killed = Add(TestApp({"--die=9"}));
  ASSERT_EQ(KepBlockSigChild(), 0);
  ASSERT_EQ(KepStartOneApp(&three), 0);
  ASSERT_EQ(KepStartOneApp(&killed), 0);
  ASSERT_TRUE(WaitUntilEnded(three.pid));
  ASSERT_TRUE(WaitUntilEnded(killed.pid));
  EXPECT_FALSE(three.childExited);
  ASSERT_EQ(KepUnblockSigChild(), 0);
  LogCapture log;
  EXPECT_EQ(KepCheckChildAppStatus(), 2u) << log.Dump();
  EXPECT_EQ(three.state, KEP_APP_STATE_REAPED);
  EXPECT_EQ(three.exitStatus, 3);
  EXPECT_EQ(three.signalNum, 0u);
  EXPECT_EQ(killed.state, KEP_APP_STATE_REAPED);
  EXPECT_EQ(killed.signalNum, 9u);
  EXPECT_EQ(killed.exitStatus, -1);
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(ChildExitsExec, ADisabledRecordsChildIsStillReaped) {
  ASSERT_EQ(SetSigChildHandler(), 0);
  KepApp &app = Add(TestApp({"--exit=0"}));
  app.disabled = 1;
  ASSERT_EQ(KepBlockSigChild(), 0);
  ASSERT_EQ(KepStartOneApp(&app), 0);
  ASSERT_TRUE(WaitUntilEnded(app.pid));
  ASSERT_EQ(KepUnblockSigChild(), 0);
  EXPECT_EQ(KepCheckChildAppStatus(), 1u);
  EXPECT_EQ(app.state, KEP_APP_STATE_REAPED);
  EXPECT_EQ(app.exitStatus, 0);
}

TEST_F(ChildExitsExec, AnUnknownChildIsReapedWithoutATrace) {
  KepApp &app = Add(TestApp({}));
  app.state = KEP_APP_STATE_RUNNING;
  app.pid = 0;
  ASSERT_EQ(SetSigChildHandler(), 0);
  ASSERT_EQ(KepBlockSigChild(), 0);
  pid_t stranger = fork();
  if (stranger == 0) _exit(5);
  ASSERT_GT(stranger, 0);
  ASSERT_TRUE(WaitUntilEnded(stranger));
  LogCapture log;
  ASSERT_EQ(KepUnblockSigChild(), 0);
  EXPECT_EQ(waitpid(stranger, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  EXPECT_FALSE(app.childExited);
  EXPECT_EQ(app.exitStatus, 0);
  EXPECT_EQ(KepCheckChildAppStatus(), 0u);
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();
}

class StopExec : public ExecTest {};

// SIGTERM is for the application alone; the final SIGKILL takes its whole
// process group, so a grandchild does not outlive it. This process becomes
// the grandchild's subreaper to see how it ended.
TEST_F(StopExec, TheFinalSigkillTakesTheGrandchildToo) {
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) GTEST_SKIP() << "no child subreaper";
  std::string pidFile = work_.File("grandchild");
  KepApp &app = Add(TestApp({"--ignore-term", "--grandchild=" + pidFile}));
  ASSERT_EQ(KepStartOneApp(&app), 0);
  ASSERT_TRUE(WaitForFile(pidFile));
  pid_t grandchild = atoi(ReadFile(pidFile).c_str());
  ASSERT_GT(grandchild, 1);
  LogCapture log;
  EXPECT_EQ(KepStopOneApp(&app, SIGTERM), 0);
  EXPECT_EQ(KepStopOneApp(&app, SIGKILL), 0);
  int appStatus = Reap(app.pid);
  int grandchildStatus = Reap(grandchild);
  prctl(PR_SET_CHILD_SUBREAPER, 0);
  EXPECT_TRUE(WIFSIGNALED(appStatus) && WTERMSIG(appStatus) == SIGKILL) << appStatus;
  EXPECT_TRUE(WIFSIGNALED(grandchildStatus) && WTERMSIG(grandchildStatus) == SIGKILL)
      << grandchildStatus;
  EXPECT_TRUE(app.sigkillSent);
  EXPECT_EQ(app.sigtermCount, 1u);
}

TEST_F(StopExec, SigtermReachesTheApplicationOnly) {
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) GTEST_SKIP() << "no child subreaper";
  std::string pidFile = work_.File("grandchild");
  KepApp &app = Add(TestApp({"--grandchild=" + pidFile}));
  ASSERT_EQ(KepStartOneApp(&app), 0);
  ASSERT_TRUE(WaitForFile(pidFile));
  pid_t grandchild = atoi(ReadFile(pidFile).c_str());
  ASSERT_GT(grandchild, 1);
  EXPECT_EQ(KepStopOneApp(&app, SIGTERM), 0);
  int appStatus = Reap(app.pid);
  EXPECT_TRUE(WIFSIGNALED(appStatus) && WTERMSIG(appStatus) == SIGTERM) << appStatus;
  EXPECT_EQ(waitpid(grandchild, nullptr, WNOHANG), 0);  // still running
  kill(grandchild, SIGKILL);
  Reap(grandchild);
  prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST_F(StopExec, TheStopWaitEndsWhenTheStopFileIsWritten) {
  KepMutableSettings().stopSyncTime = 5;
  KepApp record = TestApp({"--stop-file", "--no-start"});
  record.stopFile = sync_.File("kep-test-app-stop");
  record.envList = {"KEP_STOP_FILE=" + *record.stopFile};
  KepApp &app = Add(record);
  std::string dump = work_.File("dump");
  app.argList.push_back("--dump=" + dump);
  ASSERT_EQ(KepStartOneApp(&app), 0);
  ASSERT_TRUE(WaitForFile(dump));  // its SIGTERM handler is in place by now
  LogCapture log;
  EXPECT_EQ(KepStopOneApp(&app, SIGTERM), 0);
  EXPECT_EQ(KepReadSyncFile(app.stopFile->c_str(), app.pid, nullptr), 0);
  EXPECT_EQ(log.Count("KepWaitForSyncFile"), 0u) << log.Dump();
  EXPECT_EQ(Reap(app.pid), 0);
}

}  // namespace
