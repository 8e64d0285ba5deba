// The state machine with real processes (the test application), real signals
// and real time. The test acts from the logging hook, on the main thread, when
// the supervisor reports what it has just done; it sends itself SIGTERM there,
// as an operator would.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "ZelKepLib.h"
#include "ZelLog.h"
#include "kep_main.h"
#include "kep_test.h"

namespace {

// A run that hangs is ended in order after this many seconds (and fails).
constexpr unsigned int kHangGuardSeconds = 60;

std::vector<std::string> lines;
std::function<void(const std::string &)> onLine;
volatile sig_atomic_t hangGuardFired = 0;

void Hook(int, int, const char *, const char *text) {
  lines.emplace_back(text != nullptr ? text : "");
  if (onLine) onLine(lines.back());
}

void OnHangGuard(int) {
  hangGuardFired = 1;
  shutdownRequested = 1;
}

bool Has(const std::string &line, const std::string &needle) {
  return line.find(needle) != std::string::npos;
}

class StateMachineExec : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetModel();
    currentState = KEP_STATE_INVALID;
    rebootRequested = 0;
    shutdownRequested = 0;
    stopReason = KEP_STOP_REASON_INVALID;
    resetAppName.clear();
    resetAppCount = 0;
    rebootAppCount = 0;
    rebootPath_ = dir_.File("rebootApplicationData");
    rebootFilePath = rebootPath_.c_str();
    savedSyncDir_ = kepSyncFilesDir;
    kepSyncFilesDir = syncDir_.Path().c_str();
    KepMutableSettings().killDelay = 2;
    lines.clear();
    onLine = nullptr;
    hangGuardFired = 0;
    Log_SetExtLogFn(Hook);

    sigaction(SIGCHLD, nullptr, &savedChld_);
    sigaction(SIGTERM, nullptr, &savedTerm_);
    sigaction(SIGINT, nullptr, &savedInt_);
    sigaction(SIGALRM, nullptr, &savedAlrm_);
    ASSERT_EQ(SetSigChildHandler(), 0);
    ASSERT_EQ(SetSigTermHandler(), 0);
    struct sigaction guard = {};
    guard.sa_handler = OnHangGuard;
    sigaction(SIGALRM, &guard, nullptr);
  }

  void TearDown() override {
    alarm(0);
    onLine = nullptr;
    Log_SetExtLogFn(nullptr);
    sigaction(SIGCHLD, &savedChld_, nullptr);
    sigaction(SIGTERM, &savedTerm_, nullptr);
    sigaction(SIGINT, &savedInt_, nullptr);
    sigaction(SIGALRM, &savedAlrm_, nullptr);
    KepUnblockSigChild();

    // Nothing may be left behind: no child alive and none unreaped.
    int status = 0;
    pid_t left = waitpid(-1, &status, WNOHANG);
    EXPECT_TRUE(left < 0 && errno == ECHILD) << "a child is left behind (" << left << ")";
    if (left >= 0) {
      for (const KepApp &app : KepGetAppList()) {
        if (app.pid > 1) kill(app.pid, SIGKILL);
      }
      while (waitpid(-1, &status, 0) > 0) {
      }
    }

    ResetModel();
    rebootFilePath = kKepDefaultRebootFilePath;
    kepSyncFilesDir = savedSyncDir_;
    currentState = KEP_STATE_INVALID;
    shutdownRequested = 0;
    rebootRequested = 0;
  }

  // A record of the test application under its own name (a link), so that the
  // log and its synchronisation files tell the applications apart.
  KepApp &Add(const std::string &name, uint32_t deathAction, uint32_t startLevel,
              std::vector<std::string> args) {
    std::string path = dir_.File(name);
    EXPECT_EQ(symlink(KEP_TEST_APP, path.c_str()), 0);
    KepApp app;
    app.name = path;
    app.deathAction = deathAction;
    app.startLevel = startLevel;
    app.state = KEP_APP_STATE_CONFIGURED;
    app.index = static_cast<uint32_t>(KepGetAppList().size());
    app.argList.assign(args.begin(), args.end());
    KepGetAppList().push_back(app);
    return KepGetAppList().back();
  }

  void AwaitInitFile(KepApp &app) {
    app.initFile = syncDir_.File(app.name.substr(app.name.rfind('/') + 1) + "-init");
    app.envList.push_back("KEP_INIT_FILE=" + *app.initFile);
  }

  uint32_t Run() {
    KepSetState(KEP_STATE_INITIALIZING, "test", __LINE__);
    alarm(kHangGuardSeconds);
    uint32_t end = KepStateMachine();
    alarm(0);
    EXPECT_EQ(hangGuardFired, 0) << "the run hung and was stopped";
    return end;
  }

  std::vector<std::string> Transitions() const {
    std::vector<std::string> found;
    const std::string prefix = "KepSetState(): ";
    for (const std::string &text : lines) {
      if (text.rfind(prefix, 0) == 0) {
        found.push_back(text.substr(prefix.size(), text.find(" (") - prefix.size()));
      }
    }
    return found;
  }

  static std::string Dump() {
    std::string all;
    for (const std::string &line : lines) all += line + "\n";
    return all;
  }

  TempDir dir_;
  TempDir syncDir_;
  std::string rebootPath_;
  const char *savedSyncDir_ = nullptr;
  struct sigaction savedChld_ = {};
  struct sigaction savedTerm_ = {};
  struct sigaction savedInt_ = {};
  struct sigaction savedAlrm_ = {};
};

TEST_F(StateMachineExec, AnEmptyListRunsUpAndHaltsOnSigterm) {
  onLine = [](const std::string &line) {
    if (Has(line, "=> Running:4")) kill(getpid(), SIGTERM);
  };
  EXPECT_EQ(Run(), KEP_STATE_EXITING);
  EXPECT_EQ(Transitions(), (std::vector<std::string>{
                               "Invalid:0 => Initializing:2",
                               "Initializing:2 => StartingApps:3",
                               "StartingApps:3 => Running:4",
                               "Running:4 => StoppingApps:5",
                               "StoppingApps:5 => Exiting:9",
                           }))
      << Dump();
  EXPECT_EQ(stopReason, KEP_STOP_REASON_HALT);
  EXPECT_EQ(rebootRequested, 0);
}

TEST_F(StateMachineExec, LevelsStartInOrderAndAWaitingInitFileHoldsTheNextLevelBack) {
  // a reports its initialisation late and stays; b and c end at once.
  KepApp &a = Add("level0-a", KEP_DEATH_ACTION_NONE, 0, {"--init=300"});
  KepApp &b = Add("level0-b", KEP_DEATH_ACTION_NONE, 0, {"--exit=0"});
  KepApp &c = Add("level5-c", KEP_DEATH_ACTION_NONE, 5, {"--exit=0"});
  AwaitInitFile(a);
  std::vector<std::string> started;
  onLine = [&](const std::string &line) {
    if (Has(line, "successfully started")) {
      started.push_back(line.substr(line.rfind('/') + 1, 8));
      // Same level: b does not wait for a's initialisation ...
      if (Has(line, "level0-b")) {
        EXPECT_EQ(a.state, KEP_APP_STATE_INITIALIZING);
      }
      // ... the next level does.
      if (Has(line, "level5-c")) {
        EXPECT_EQ(a.state, KEP_APP_STATE_RUNNING);
        EXPECT_EQ(b.startCount, 1u);
      }
    }
    // Stop once b and c have gone, so that only a is left to stop.
    bool settled = KepGetState() == KEP_STATE_RUNNING && b.state == KEP_APP_STATE_REAPED &&
                   c.state == KEP_APP_STATE_REAPED;
    if (settled && (Has(line, "=> Running:4") || Has(line, "processes exited"))) {
      kill(getpid(), SIGTERM);
    }
  };
  EXPECT_EQ(Run(), KEP_STATE_EXITING);
  EXPECT_EQ(started, (std::vector<std::string>{"level0-a", "level0-b", "level5-c"})) << Dump();
  EXPECT_EQ(stopReason, KEP_STOP_REASON_HALT);
  for (const KepApp &app : KepGetAppList()) {
    EXPECT_EQ(app.state, KEP_APP_STATE_REAPED) << app.name;
    EXPECT_EQ(app.startCount, 1u) << app.name;
  }
  EXPECT_EQ(b.exitStatus, 0);
  EXPECT_EQ(c.exitStatus, 0);
  // a was stopped with SIGTERM.
  EXPECT_EQ(a.signalNum, static_cast<uint32_t>(SIGTERM));
}

TEST_F(StateMachineExec, ARestartApplicationThatDiesIsStartedAgain) {
  KepApp &app = Add("restarted", KEP_DEATH_ACTION_RESTART, 0, {"--exit=3"});
  onLine = [&](const std::string &line) {
    // The next start runs it without the exit, so that it stays.
    if (Has(line, "*** EXITED ***") && app.startCount == 1) app.argList.clear();
    if (Has(line, "=> Running:4") && app.startCount == 2) kill(getpid(), SIGTERM);
  };
  EXPECT_EQ(Run(), KEP_STATE_EXITING);
  EXPECT_EQ(app.startCount, 2u);
  bool exited3 = false;
  for (const std::string &line : lines) {
    exited3 = exited3 ||
              Has(line, "*** EXITED *** exitStatus: 3, signalNum: 0, deathAction: restart (3).");
  }
  EXPECT_TRUE(exited3) << Dump();
  std::vector<std::string> transitions = Transitions();
  ASSERT_GE(transitions.size(), 3u);
  EXPECT_EQ(transitions.back(), "StoppingApps:5 => Exiting:9");
  EXPECT_EQ(transitions[transitions.size() - 2], "Running:4 => StoppingApps:5");
  EXPECT_EQ(stopReason, KEP_STOP_REASON_HALT);
  EXPECT_EQ(app.state, KEP_APP_STATE_REAPED);
}

TEST_F(StateMachineExec, SigtermWhileAnInitFileIsAwaitedStopsEverythingWithHalt) {
  KepApp &app = Add("never-ready", KEP_DEATH_ACTION_RESTART, 0, {"--no-init"});
  AwaitInitFile(app);
  onLine = [](const std::string &line) {
    if (Has(line, "successfully started")) kill(getpid(), SIGTERM);
  };
  EXPECT_EQ(Run(), KEP_STATE_EXITING);
  EXPECT_EQ(Transitions(), (std::vector<std::string>{
                               "Invalid:0 => Initializing:2",
                               "Initializing:2 => StartingApps:3",
                               "StartingApps:3 => StoppingApps:5",
                               "StoppingApps:5 => Exiting:9",
                           }))
      << Dump();
  bool announced = false;
  for (const std::string &line : lines) {
    announced =
        announced || line == "KepStartingAppsState(): Shutdown requested during start app state.";
  }
  EXPECT_TRUE(announced) << Dump();
  EXPECT_EQ(stopReason, KEP_STOP_REASON_HALT);
  EXPECT_EQ(app.state, KEP_APP_STATE_REAPED);
  EXPECT_EQ(app.signalNum, static_cast<uint32_t>(SIGTERM));
  EXPECT_EQ(app.startCount, 1u);
}

}  // namespace
