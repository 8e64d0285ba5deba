// The signal handlers as installed, and the SIGCHLD mask around the handlers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kep_main.h"
#include "kep_test.h"

namespace {

// Puts back the dispositions and the mask a test changed.
class Signals : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int s = 1; s < NSIG; ++s) kept_[s] = sigaction(s, nullptr, &saved_[s]) == 0;
    sigprocmask(SIG_BLOCK, nullptr, &savedMask_);
    shutdownRequested = 0;
  }
  void TearDown() override {
    for (int s = 1; s < NSIG; ++s) {
      if (kept_[s]) sigaction(s, &saved_[s], nullptr);
    }
    sigprocmask(SIG_SETMASK, &savedMask_, nullptr);
    shutdownRequested = 0;
  }

  bool kept_[NSIG] = {};
  struct sigaction saved_[NSIG];
  sigset_t savedMask_;
};

// No SA_RESTART anywhere: a signal must cut the state machine's sleep short.
// SIGINT, SIGHUP and SIGQUIT do what SIGTERM does, and a second signal changes
// nothing. Other signals that would end kep are ignored or only logged, even a
// SIGSEGV when it is sent rather than raised by a fault.
TEST_F(Signals, SigtermAndSigintOnlyRequestTheShutdownAndNoHandlerRestartsCalls) {
  ASSERT_EQ(SetSigTermHandler(), 0);
  ASSERT_EQ(SetSigChildHandler(), 0);
  ASSERT_EQ(SetSigStrayHandler(), 0);
  const struct {
    int signal;
    void (*handler)(int, siginfo_t *, void *);  // null: SIG_IGN
    int flags;
  } expected[] = {{SIGTERM, SigTermHandler, SA_SIGINFO},
                  {SIGINT, SigTermHandler, SA_SIGINFO},
                  {SIGHUP, SigTermHandler, SA_SIGINFO},
                  {SIGQUIT, SigTermHandler, SA_SIGINFO},
                  {SIGCHLD, SigChildHandler, SA_SIGINFO | SA_NOCLDSTOP},
                  {SIGPIPE, nullptr, 0},
                  {SIGXFSZ, nullptr, 0},
                  {SIGUSR2, SigStrayHandler, SA_SIGINFO},
                  {SIGSEGV, SigStrayHandler, SA_SIGINFO},
                  {SIGRTMAX, SigStrayHandler, SA_SIGINFO}};
  for (const auto &e : expected) {
    struct sigaction action = {};
    sigaction(e.signal, nullptr, &action);
    EXPECT_TRUE(e.handler != nullptr ? action.sa_sigaction == e.handler
                                     : action.sa_handler == SIG_IGN)
        << e.signal;
    EXPECT_EQ(action.sa_flags & (SA_SIGINFO | SA_NOCLDSTOP | SA_RESTART | SA_RESETHAND), e.flags)
        << e.signal;
  }
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    shutdownRequested = 0;
    raise(s);
    raise(s);
    EXPECT_EQ(shutdownRequested, 1) << s;
  }
  LogCapture log;
  for (int s : {SIGUSR1, SIGUSR1, SIGSEGV, SIGPIPE}) raise(s);
  KepLogStraySignals();
  KepLogStraySignals();
  EXPECT_EQ(log.Texts(), (std::vector<std::string>{
                             "KepLogStraySignals(): signal 10 (User defined signal 1) ignored, "
                             "received 2 time(s), the last from pid " +
                                 std::to_string(getpid()) + ".",
                             "KepLogStraySignals(): signal 11 (Segmentation fault) ignored, "
                             "received 1 time(s), the last from pid " +
                                 std::to_string(getpid()) + "."}));
}

// A real fault still ends kep (with a core), so that it is restarted.
TEST_F(Signals, ARealFaultStillEndsTheProcess) {
  pid_t child = fork();
  if (child == 0) {
    const struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    SetSigStrayHandler();
    raise(SIGSEGV);
    *static_cast<volatile char *>(
        mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) = 1;
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;
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
