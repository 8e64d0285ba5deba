// Starting kep-test-app for real: what the child receives and how the start
// waits for it.
#include <fcntl.h>
#include <libgen.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ZelKepLib.h"
#include "apps_exec.h"
#include "kep_main.h"
#include "kep_start_app.h"

using apps_exec::ExecTest;
using apps_exec::ReadDump;
using apps_exec::Reap;
using apps_exec::TestApp;
using apps_exec::WaitForFile;

namespace {

// Puts a variable into kep's own environment for the life of a test.
class ScopedEnv {
 public:
  ScopedEnv(const char *name, const std::string &value) : name_(name) {
    const char *old = getenv(name);
    if (old != nullptr) old_ = old;
    had_ = old != nullptr;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char *name_;
  std::string old_;
  bool had_ = false;
};

std::string TestAppDir() {
  std::string path = KEP_TEST_APP;
  return dirname(path.data());
}

pid_t testProcess = 0;
std::string atexitMarker;

// Runs wherever exit() is called; in a child only if the child used exit().
void MarkExitInChild() {
  if (getpid() != testProcess && !atexitMarker.empty()) {
    int fd = open(atexitMarker.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd >= 0) close(fd);
  }
}

class StartExec : public ExecTest {};

// argv[0] is the configured name, not the path the search found; the
// environment holds the global entries, then the application's, and nothing
// of kep's own.
TEST_F(StartExec, TheChildReceivesExactlyItsVectors) {
  ScopedEnv path("PATH", TestAppDir() + ":" + (getenv("PATH") ? getenv("PATH") : ""));
  ScopedEnv leak("KEP_SUPERVISOR_ONLY", "must-not-leak");
  std::string dump = work_.File("dump");
  KepGetGlobalEnvList() = {"GLOBAL=1", "SAME=global"};
  KepApp record = TestApp({"--dump=" + dump, "two words", "", "--exit=0"});
  record.name = "kep-test-app";
  record.envList = {"SAME=app", "APP_ONLY=x y"};
  KepApp &app = Add(record);
  LogCapture log;
  ASSERT_EQ(KepStartOneApp(&app), 0) << log.Dump();
  ASSERT_TRUE(WaitForFile(dump));
  EXPECT_EQ(Reap(app.pid), 0);
  auto values = ReadDump(dump);
  EXPECT_EQ(values["arg"], (std::vector<std::string>{"kep-test-app", "--dump=" + dump, "two words",
                                                     "", "--exit=0"}));
  EXPECT_EQ(values["env"],
            (std::vector<std::string>{"GLOBAL=1", "SAME=global", "SAME=app", "APP_ONLY=x y"}));
  EXPECT_EQ(values["umask"], (std::vector<std::string>{"22"}));
  // Its own session and group.
  EXPECT_EQ(values["sid"], (std::vector<std::string>{std::to_string(app.pid)}));
  EXPECT_EQ(values["pgid"], (std::vector<std::string>{std::to_string(app.pid)}));
}

TEST_F(StartExec, NoArgumentsAndNoEnvironmentGiveEmptyVectors) {
  // Under this name the program dumps without being told to.
  std::string link = work_.File("kep-dump-self");
  std::string dump = link + ".out";
  ASSERT_EQ(symlink(KEP_TEST_APP, link.c_str()), 0);
  KepApp &app = Add(TestApp({}));
  app.name = link;
  ASSERT_EQ(KepStartOneApp(&app), 0);
  ASSERT_TRUE(WaitForFile(dump));
  kill(app.pid, SIGKILL);
  Reap(app.pid);
  auto values = ReadDump(dump);
  EXPECT_EQ(values["arg"], (std::vector<std::string>{link}));
  EXPECT_EQ(values["env"], (std::vector<std::string>{}));
}

// Started as kep starts it, with SIGCHLD blocked and a descriptor of kep's
// open: the application still begins with an empty mask and only 0, 1 and 2.
TEST_F(StartExec, AnApplicationStartsWithNoBlockedSignalAndOnlyTheStandardDescriptors) {
  std::string dump = work_.File("dump");
  int leaked = open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(leaked, 3);
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  KepApp &app = Add(TestApp({"--dump=" + dump}));
  ASSERT_EQ(KepBlockSigChild(), 0);
  ASSERT_EQ(KepStartOneApp(&app), 0);
  ASSERT_EQ(KepUnblockSigChild(), 0);
  close(leaked);
  close(pipeFds[0]);
  close(pipeFds[1]);
  ASSERT_TRUE(WaitForFile(dump));
  auto values = ReadDump(dump);
  EXPECT_EQ(values["sigblk"], (std::vector<std::string>{"0000000000000000"}));
  std::vector<std::string> standard;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) standard.push_back(std::to_string(fd));
  }
  EXPECT_EQ(values["fd"], standard);
}

TEST_F(StartExec, AMissingExecutableLeavesTheRecordAsItWas) {
  KepApp &app = Add(TestApp({}));
  app.name = "kep-no-such-application";
  app.pid = 77;
  sync_.Write("kep-no-such-application-start", "stale");
  LogCapture log;
  EXPECT_EQ(KepStartOneApp(&app), 1001);
  EXPECT_TRUE(FileExists(sync_.File("kep-no-such-application-start")));
  EXPECT_EQ(app.state, KEP_APP_STATE_START_PENDING);
  EXPECT_EQ(app.pid, 77);
  EXPECT_EQ(app.startCount, 0u);
  EXPECT_TRUE(log.Contains("KepStartOneApp(): could not find kep-no-such-application[0] in \""))
      << log.Dump();
  app.pid = 0;
}

// A found path cut at 299 characters names nothing: execve fails, the child
// says so and ends with status 1 through _exit, so kep's atexit handlers and
// stdio buffers are not run a second time in the child.
TEST_F(StartExec, AFailedExecveEndsTheChildWithStatusOne) {
  std::string dir = work_.Path();
  while (dir.size() < 300) {
    dir += "/" + std::string(60, 'd');
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  }
  std::string link = dir + "/app";
  ASSERT_EQ(symlink(KEP_TEST_APP, link.c_str()), 0);
  testProcess = getpid();
  atexitMarker = work_.File("atexit-ran");
  static bool registered = false;
  if (!registered) registered = atexit(MarkExitInChild) == 0;
  KepApp &app = Add(TestApp({}));
  app.name = link;
  ASSERT_EQ(KepStartOneApp(&app), 0);
  int status = Reap(app.pid);
  atexitMarker.clear();
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_FALSE(FileExists(work_.File("atexit-ran")));
}

TEST_F(StartExec, TheStartWaitsForTheStartFile) {
  KepMutableSettings().startSyncTime = 1;
  KepApp record = TestApp({"--start=50"});
  record.startFile = sync_.File("kep-test-app-start");
  record.envList = {"KEP_START_FILE=" + *record.startFile};
  KepApp &app = Add(record);
  LogCapture log;
  ASSERT_EQ(KepStartOneApp(&app), 0);
  EXPECT_EQ(KepReadSyncFile(app.startFile->c_str(), app.pid, nullptr), 0);
  EXPECT_EQ(log.Count("KepWaitForSyncFile"), 0u) << log.Dump();
}

TEST_F(StartExec, AStartFileNeverWrittenTimesOutWithAWarning) {
  KepMutableSettings().startSyncTime = 1;
  KepApp record = TestApp({"--no-start"});
  record.startFile = sync_.File("kep-test-app-start");
  record.envList = {"KEP_START_FILE=" + *record.startFile};
  KepApp &app = Add(record);
  LogCapture log;
  ASSERT_EQ(KepStartOneApp(&app), 0);
  EXPECT_EQ(app.state, KEP_APP_STATE_RUNNING);
  EXPECT_TRUE(log.Contains("KepStartOneApp(): KepWaitForSyncFile(" + *app.startFile + ", " +
                           std::to_string(app.pid) + ", 1) for " + KEP_TEST_APP +
                           "[0] failed (1036)."))
      << log.Dump();
}

}  // namespace
