// The signal handlers as installed, and the SIGCHLD mask around the handlers.
#include <gtest/gtest.h>
#include <signal.h>

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

  struct sigaction saved_[NSIG];
  sigset_t savedMask_;
};

// No SA_RESTART anywhere: a signal must cut the state machine's sleep short.
// SIGINT does what SIGTERM does, and a second signal changes nothing.
TEST_F(Signals, SigtermAndSigintOnlyRequestTheShutdownAndNoHandlerRestartsCalls) {
  ASSERT_EQ(SetSigTermHandler(), 0);
  ASSERT_EQ(SetSigChildHandler(), 0);
  const struct {
    int signal;
    void (*handler)(int, siginfo_t *, void *);
    int flags;
  } expected[] = {{SIGTERM, SigTermHandler, SA_SIGINFO},
                  {SIGINT, SigTermHandler, SA_SIGINFO},
                  {SIGCHLD, SigChildHandler, SA_SIGINFO | SA_NOCLDSTOP}};
  for (const auto &e : expected) {
    struct sigaction action = {};
    sigaction(e.signal, nullptr, &action);
    EXPECT_EQ(action.sa_sigaction, e.handler) << e.signal;
    EXPECT_EQ(action.sa_flags & (SA_SIGINFO | SA_NOCLDSTOP | SA_RESTART | SA_RESETHAND), e.flags)
        << e.signal;
  }
  for (int s : {SIGINT, SIGTERM}) {
    shutdownRequested = 0;
    raise(s);
    raise(s);
    EXPECT_EQ(shutdownRequested, 1) << s;
  }
}

// One unblock undoes any number of blocks.
TEST_F(Signals, BlockingSigchldDoesNotNest) {
  auto blocked = [] {
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGCHLD) == 1;
  };
  EXPECT_EQ(KepBlockSigChild(), 0);
  EXPECT_EQ(KepControlSigChild(7), 0);
  EXPECT_TRUE(blocked());
  EXPECT_EQ(KepUnblockSigChild(), 0);
  EXPECT_FALSE(blocked());
}

}  // namespace
