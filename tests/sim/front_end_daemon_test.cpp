// Daemonizing against the fake fork(). The child side changes its session and
// mask, so it runs in a death test (a process of its own); the foreground exit
// is shown end to end (-b).
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

// Plays the new process and reports what DaemonizeProcess left there.
[[noreturn]] void RunChildSide() {
  programName = nullptr;  // the child would open the real log file otherwise
  World().forkReturnsChild = true;
  umask(0);
  int status = DaemonizeProcess();
  fprintf(stderr, "status=%d leader=%d mask=%03o\n", status, getsid(0) == getpid() ? 1 : 0,
          static_cast<unsigned>(umask(0)));
  _exit(0);
}

}  // namespace

TEST(DaemonizeDeathTest, TheChildLeadsANewSessionWithMask022AndAFailedForkReturns) {
  kep::fake::Reset();
  EXPECT_EXIT(RunChildSide(), ::testing::ExitedWithCode(0), "status=0 leader=1 mask=022");

  World().forkResult = EAGAIN;
  LogCapture log;
  EXPECT_EQ(DaemonizeProcess(), 1002);
  EXPECT_EQ(log.Dump(), "[1] DaemonizeProcess(): fork() failed, errno = 11.\n");

  // Started by process 1: already a daemon; nothing is forked and the log stays open.
  log.Clear();
  World().parentPid = 1;
  logWriteOpen = 1;
  EXPECT_EQ(DaemonizeProcess(), 1037);
  EXPECT_EQ(log.Dump(), "[1] Process is already daemon.\n");
  EXPECT_EQ(logWriteOpen, 1);
  EXPECT_TRUE(World().forked.empty());
  logWriteOpen = 0;
}
