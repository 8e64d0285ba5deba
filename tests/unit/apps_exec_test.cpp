// kep-test-app as a real child: what a started application receives, how the
// start waits for it, how its end is collected and how its stop is enforced.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "ZelKepLib.h"
#include "kep_main.h"
#include "kep_start_app.h"
#include "kep_test.h"

namespace {

using Values = std::vector<std::string>;

// Waits up to ten seconds for path to exist; a bound, not a timing assertion.
bool WaitForFile(const std::string &path) {
  for (int i = 0; i < 1000 && !FileExists(path); ++i) usleep(10000);
  return FileExists(path);
}

// Blocks until the child has ended, leaving it unreaped (a zombie).
bool WaitUntilEnded(pid_t pid) {
  siginfo_t info;
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == 0;
}

// Reaps the child: its raw wait status, or -1 when it is not a child of ours or
// has not ended within ten seconds (it is then killed, so no test hangs).
int Reap(pid_t pid) {
  int status = 0;
  for (int i = 0; i < 1000; ++i) {
    pid_t result = waitpid(pid, &status, WNOHANG);
    if (result == pid) return status;
    if (result < 0) return -1;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// kep-test-app's --dump file: every value of each key, in order.
std::map<std::string, Values> ReadDump(const std::string &path) {
  std::map<std::string, Values> dump;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    size_t space = line.find(' ');
    if (space != std::string::npos) dump[line.substr(0, space)].push_back(line.substr(space + 1));
  }
  return dump;
}

// Each test starts from a clean model and a private synchronisation directory,
// and ends with no child of its records left and no zombie at all.
class AppsExec : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetModel();
    DefaultSigchld();
    savedSyncDir_ = kepSyncFilesDir;
    kepSyncFilesDir = sync_.Path().c_str();
  }
  void TearDown() override {
    for (const KepApp &app : KepGetAppList()) {
      // A pid that is no longer a running child of ours is never signalled.
      if (app.pid > 1 && waitpid(app.pid, nullptr, WNOHANG) == 0) {
        kill(app.pid, SIGKILL);
        waitpid(app.pid, nullptr, 0);
      }
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    DefaultSigchld();
    kepSyncFilesDir = savedSyncDir_;
    ResetModel();
    EXPECT_LE(waitpid(-1, nullptr, WNOHANG), 0) << "a zombie was left behind";
  }

  // No handler reaps behind the test's back, and SIGCHLD is not blocked.
  static void DefaultSigchld() {
    signal(SIGCHLD, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
  }

  // A record of the test program, as the reader leaves it before a start.
  KepApp &Add(const Values &args) {
    KepApp app;
    app.name = KEP_TEST_APP;
    app.state = KEP_APP_STATE_START_PENDING;
    app.argList.assign(args.begin(), args.end());
    app.index = static_cast<uint32_t>(KepGetAppList().size());
    KepGetAppList().push_back(std::move(app));
    return KepGetAppList().back();
  }

  TempDir sync_;
  TempDir work_;
  const char *savedSyncDir_ = nullptr;
};

class StartExec : public AppsExec {};
class ChildExitsExec : public AppsExec {};
class StopExec : public AppsExec {};

// argv[0] is the configured name, not the path the search found; the
// environment holds the global entries, then the application's, and nothing
// of kep's own. The application leads its own session and process group.
TEST_F(StartExec, TheChildReceivesExactlyItsVectors) {
  std::string dump = work_.File("dump");
  KepGetGlobalEnvList() = {"GLOBAL=1", "SAME=global"};
  KepApp &app = Add({"--dump=" + dump, "two words", "", "--exit=0"});
  app.name = "kep-test-app";
  app.envList = {"SAME=app", "APP_ONLY=x y"};
  std::string path = getenv("PATH") != nullptr ? getenv("PATH") : "";
  std::string testAppDir = KEP_TEST_APP;
  setenv("PATH", (testAppDir.substr(0, testAppDir.rfind('/')) + ":" + path).c_str(), 1);
  setenv("KEP_SUPERVISOR_ONLY", "must-not-leak", 1);
  int started = KepStartOneApp(&app);
  setenv("PATH", path.c_str(), 1);
  unsetenv("KEP_SUPERVISOR_ONLY");
  ASSERT_EQ(started, 0);
  ASSERT_TRUE(WaitForFile(dump));
  EXPECT_EQ(Reap(app.pid), 0);
  auto values = ReadDump(dump);
  EXPECT_EQ(values["arg"], (Values{"kep-test-app", "--dump=" + dump, "two words", "", "--exit=0"}));
  EXPECT_EQ(values["env"], (Values{"GLOBAL=1", "SAME=global", "SAME=app", "APP_ONLY=x y"}));
  EXPECT_EQ(values["umask"], Values{"22"});
  EXPECT_EQ(values["sid"], Values{std::to_string(app.pid)});
  EXPECT_EQ(values["pgid"], Values{std::to_string(app.pid)});
}

// Started as kep starts it, with SIGCHLD blocked and descriptors of kep's open:
// the application still begins with an empty mask and only 0, 1 and 2.
TEST_F(StartExec, AnApplicationStartsWithNoBlockedSignalAndOnlyTheStandardDescriptors) {
  std::string dump = work_.File("dump");
  int leaked = open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  KepApp &app = Add({"--dump=" + dump});
  ASSERT_EQ(KepBlockSigChild(), 0);
  ASSERT_EQ(KepStartOneApp(&app), 0);
  ASSERT_EQ(KepUnblockSigChild(), 0);
  for (int fd : {leaked, pipeFds[0], pipeFds[1]}) close(fd);
  ASSERT_GE(leaked, 3);
  ASSERT_TRUE(WaitForFile(dump));
  auto values = ReadDump(dump);
  EXPECT_EQ(values["sigblk"], Values{"0000000000000000"});
  Values standard;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) standard.push_back(std::to_string(fd));
  }
  EXPECT_EQ(values["fd"], standard);
}

// A start removes the stale files that begin with the application's name and
// a hyphen. A start file written 50 ms later ends the wait; one never written
// times out after startSyncTime with a warning, and the start still counts.
TEST_F(StartExec, TheStartWaitEndsWithTheStartFileOrTimesOutWithAWarning) {
  KepMutableSettings().startSyncTime = 1;
  sync_.Write("kep-test-app-bar-start", "stale");  // begins like this application's files
  sync_.Write("other-start", "kept");
  for (bool written : {true, false}) {
    KepApp &app = Add({written ? "--start=50" : "--no-start"});
    app.startFile = sync_.File("kep-test-app-start");
    app.envList = {"KEP_START_FILE=" + *app.startFile};
    LogCapture log;
    ASSERT_EQ(KepStartOneApp(&app), 0);
    EXPECT_EQ(KepReadSyncFile(app.startFile->c_str(), app.pid, nullptr) == 0, written);
    EXPECT_EQ(app.state, KEP_APP_STATE_RUNNING);
    EXPECT_EQ(log.Contains("KepStartOneApp(): KepWaitForSyncFile(" + *app.startFile + ", " +
                           std::to_string(app.pid) + ", 1) for " + KEP_TEST_APP + "[" +
                           std::to_string(app.index) + "] failed (1036)."),
              !written)
        << log.Dump();
  }
  EXPECT_FALSE(FileExists(sync_.File("kep-test-app-bar-start")));
  EXPECT_TRUE(FileExists(sync_.File("other-start")));
}

TEST_F(StartExec, AMissingExecutableFailsWith1001AndChangesNothing) {
  KepApp &app = Add({});
  app.name = "kep-no-such-application";
  app.pid = 77;
  sync_.Write("kep-no-such-application-start", "stale");
  LogCapture log;
  EXPECT_EQ(KepStartOneApp(&app), 1001);
  EXPECT_TRUE(log.Contains("could not find kep-no-such-application[0] in \"")) << log.Dump();
  EXPECT_TRUE(FileExists(sync_.File("kep-no-such-application-start")));
  EXPECT_EQ(app.state, KEP_APP_STATE_START_PENDING);
  EXPECT_EQ(app.pid, 77);
  EXPECT_EQ(app.startCount, 0u);
}

pid_t testProcess = 0;
std::string atexitMarker;

// Runs wherever exit() is called; in a child only if the child used exit().
void MarkExitInChild() {
  if (getpid() != testProcess && !atexitMarker.empty()) {
    close(open(atexitMarker.c_str(), O_WRONLY | O_CREAT, 0644));
  }
}

// A found path cut at 299 characters names nothing: execve fails, and the
// child ends with status 1 through _exit, so kep's atexit handlers and stdio
// buffers are not run a second time in the child.
TEST_F(StartExec, AFailedExecveEndsTheChildWithStatusOneWithoutRunningExitHandlers) {
  std::string dir = work_.Path();
  while (dir.size() < 300) {
    dir += "/" + std::string(60, 'd');
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  }
  ASSERT_EQ(symlink(KEP_TEST_APP, (dir + "/app").c_str()), 0);
  testProcess = getpid();
  atexitMarker = work_.File("atexit-ran");
  static bool registered = atexit(MarkExitInChild) == 0;
  ASSERT_TRUE(registered);
  KepApp &app = Add({});
  app.name = dir + "/app";
  ASSERT_EQ(KepStartOneApp(&app), 0);
  int status = Reap(app.pid);
  atexitMarker.clear();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_FALSE(FileExists(work_.File("atexit-ran")));
}

// Three children end while SIGCHLD is blocked, which leaves one SIGCHLD
// pending; the one handler run after the unblock reaps them all. The disabled
// record's child is booked like any other; the child of no record is reaped
// without a trace.
TEST_F(ChildExitsExec, OneHandlerRunReapsEveryEndedChildAndOneCollectionCountsThem) {
  ASSERT_EQ(SetSigChildHandler(), 0);
  KepApp &three = Add({"--exit=3"});
  KepApp &killed = Add({"--die=9"});
  killed.disabled = 1;
  ASSERT_EQ(KepBlockSigChild(), 0);
  ASSERT_EQ(KepStartOneApp(&three), 0);
  ASSERT_EQ(KepStartOneApp(&killed), 0);
  pid_t stranger = fork();
  if (stranger == 0) _exit(5);
  ASSERT_GT(stranger, 0);
  for (pid_t pid : {three.pid, killed.pid, stranger}) ASSERT_TRUE(WaitUntilEnded(pid));
  EXPECT_FALSE(three.childExited || killed.childExited);
  LogCapture log;
  ASSERT_EQ(KepUnblockSigChild(), 0);
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  EXPECT_EQ(KepCheckChildAppStatus(), 2u);
  EXPECT_EQ(three.state, KEP_APP_STATE_REAPED);
  EXPECT_EQ(three.exitStatus, 3);
  EXPECT_EQ(three.signalNum, 0u);
  EXPECT_EQ(killed.state, KEP_APP_STATE_REAPED);
  EXPECT_EQ(killed.exitStatus, -1);
  EXPECT_EQ(killed.signalNum, 9u);
  EXPECT_EQ(log.Lines().size(), 2u) << log.Dump();  // the two exits, nothing of the stranger
}

// The final SIGKILL takes the application's whole process group, so a
// grandchild (which ignores SIGTERM too) does not outlive it. This process
// becomes the grandchild's subreaper to see how it ended.
TEST_F(StopExec, TheFinalSigkillTakesTheGrandchildToo) {
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) GTEST_SKIP() << "no child subreaper";
  std::string pidFile = work_.File("grandchild");
  KepApp &app = Add({"--ignore-term", "--grandchild=" + pidFile});
  ASSERT_EQ(KepStartOneApp(&app), 0);
  ASSERT_TRUE(WaitForFile(pidFile));
  pid_t grandchild = atoi(ReadFile(pidFile).c_str());
  ASSERT_GT(grandchild, 1);
  EXPECT_EQ(KepStopOneApp(&app, SIGTERM), 0);
  EXPECT_EQ(KepStopOneApp(&app, SIGKILL), 0);
  int appStatus = Reap(app.pid);
  int grandchildStatus = Reap(grandchild);
  EXPECT_TRUE(WIFSIGNALED(appStatus) && WTERMSIG(appStatus) == SIGKILL) << appStatus;
  EXPECT_TRUE(WIFSIGNALED(grandchildStatus) && WTERMSIG(grandchildStatus) == SIGKILL)
      << grandchildStatus;
}

}  // namespace
