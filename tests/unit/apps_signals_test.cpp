// The signal handlers as installed, and the SIGCHLD mask around the handlers.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>

#include "kep_main.h"

namespace {

// Puts back the dispositions and the mask a test changed.
class Signals : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int s : {SIGTERM, SIGINT, SIGCHLD}) sigaction(s, nullptr, &saved_[s]);
    sigprocmask(SIG_BLOCK, nullptr, &savedMask_);
    shutdownRequested = 0;
  }
  void TearDown() override {
    for (int s : {SIGTERM, SIGINT, SIGCHLD}) sigaction(s, &saved_[s], nullptr);
    sigprocmask(SIG_SETMASK, &savedMask_, nullptr);
    shutdownRequested = 0;
  }
  static struct sigaction Current(int signal) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    sigaction(signal, nullptr, &action);
    return action;
  }
  static bool SigchldBlocked() {
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGCHLD) == 1;
  }

  struct sigaction saved_[NSIG];
  sigset_t savedMask_;
};

constexpr int kFlagsOfInterest = SA_SIGINFO | SA_NOCLDSTOP | SA_RESTART | SA_RESETHAND;

// No SA_RESTART anywhere: a signal must cut the state machine's sleep short.
TEST_F(Signals, HandlersAreInstalledWithSiginfoAndWithoutRestart) {
  ASSERT_EQ(SetSigTermHandler(), 0);
  ASSERT_EQ(SetSigChildHandler(), 0);
  for (int s : {SIGTERM, SIGINT}) {
    struct sigaction action = Current(s);
    EXPECT_EQ(action.sa_sigaction, &SigTermHandler) << s;
    EXPECT_EQ(action.sa_flags & kFlagsOfInterest, SA_SIGINFO) << s;
  }
  struct sigaction child = Current(SIGCHLD);
  EXPECT_EQ(child.sa_sigaction, &SigChildHandler);
  EXPECT_EQ(child.sa_flags & kFlagsOfInterest, SA_SIGINFO | SA_NOCLDSTOP);
}

TEST_F(Signals, SigtermAndSigintOnlyRequestTheShutdown) {
  ASSERT_EQ(SetSigTermHandler(), 0);
  for (int s : {SIGINT, SIGTERM}) {
    shutdownRequested = 0;
    raise(s);
    EXPECT_EQ(shutdownRequested, 1) << s;
    raise(s);
    EXPECT_EQ(shutdownRequested, 1) << s;
  }
}

TEST_F(Signals, BlockingSigchldDoesNotNest) {
  EXPECT_EQ(KepBlockSigChild(), 0);
  EXPECT_EQ(KepBlockSigChild(), 0);
  EXPECT_TRUE(SigchldBlocked());
  EXPECT_EQ(KepUnblockSigChild(), 0);
  EXPECT_FALSE(SigchldBlocked());
  EXPECT_EQ(KepControlSigChild(7), 0);
  EXPECT_TRUE(SigchldBlocked());
  EXPECT_EQ(KepControlSigChild(0), 0);
  EXPECT_FALSE(SigchldBlocked());
}

}  // namespace
