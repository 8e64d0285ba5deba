// Daemonizing against the fake fork(). The calling process ends inside the call
// and the child changes its session and mask, so each case runs in a death test
// (a process of its own).
#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fake.h"
#include "kep_main.h"
#include "kep_test.h"

namespace {

using kep::fake::World;

class DaemonizeDeathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (getppid() == 1) GTEST_SKIP() << "started by process 1: kep would take itself for a daemon";
    kep::fake::Reset();
    // Keeps the real log file closed: the child only opens it when the name is set.
    savedName_ = programName;
    programName = nullptr;
    logWriteOpen = 0;
  }
  void TearDown() override { programName = savedName_; }

  const char *savedName_ = nullptr;
};

// The child side, in its own process: reports what it saw on standard error and
// ends with 0 when the call returned 0.
[[noreturn]] void RunChildSide() {
  World().forkReturnsChild = true;
  umask(0);
  int status = DaemonizeProcess();
  mode_t mask = umask(0);
  fprintf(stderr, "status=%d leader=%d mask=%03o\n", status, getsid(0) == getpid() ? 1 : 0,
          static_cast<unsigned>(mask));
  _exit(status == 0 ? 0 : 1);
}

}  // namespace

TEST_F(DaemonizeDeathTest, TheCallingProcessEndsWithStatusZero) {
  EXPECT_EXIT(DaemonizeProcess(), ::testing::ExitedWithCode(0), "");
}

TEST_F(DaemonizeDeathTest, TheChildLeadsANewSessionWithMask022) {
  EXPECT_EXIT(RunChildSide(), ::testing::ExitedWithCode(0), "status=0 leader=1 mask=022");
}

TEST_F(DaemonizeDeathTest, AFailedForkLeavesTheCallerRunning) {
  World().forkResult = EAGAIN;
  LogCapture log;
  EXPECT_EQ(DaemonizeProcess(), 1002);
  EXPECT_EQ(log.Texts(),
            std::vector<std::string>{"DaemonizeProcess(): fork() failed, errno = 11."});
  EXPECT_EQ(log.Lines()[0].level, 1);
}
